#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <QCoroTask>

#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class UserSettings;

// The window where the user changes what zarno otherwise keeps in its
// settings file: the account, the server, the languages, the microphone and
// starting at login. Each change applies at once, as desktop settings do;
// a value that cannot be used is refused with a sentence beside its field.
class SettingsWindow : public QWidget
{
    Q_OBJECT

public:
    // One answer of the server to "/api/auth/config".
    struct ServerAnswer
    {
        bool reached = false; // an HTTP answer came, whatever its status
        int status = 0;
        QByteArray body;
    };

    // A microphone the sound server offers.
    struct Input
    {
        QString name;        // the sound server's name, which is stored
        QString description; // what the user reads
    };

    // What the window reads and calls beyond the settings themselves.
    struct Parts
    {
        // The signed-in account's address; empty when nobody is signed in.
        std::function<QString()> signedInAs;
        std::function<void()> signOut;
        // Asks a server address for its configuration.
        std::function<QCoro::Task<ServerAnswer>(QUrl)> askServer;
        // The microphones the sound server offers now.
        std::function<QList<Input>()> inputs;
    };

    static inline const QString autoDetectText = QStringLiteral("Auto-detect");
    static inline const QString defaultInputText = QStringLiteral("Default microphone");

    SettingsWindow(UserSettings &settings, Parts parts, QWidget *parent = nullptr);

    // The microphones the sound server lists (never its monitors).
    [[nodiscard]] static QList<Input> soundServerInputs();

    // What the last test of the server said; also shown under the address.
    [[nodiscard]] QString serverReport() const;
    // The sentence under a field ("server", "spoken", "target", "microphone",
    // "login"), empty when there is none.
    [[nodiscard]] QString problem(const QString &field) const;

    // Fills in the fields afresh from the settings and the account.
    void refresh();
    // Tests the address in the field and, when it answers as a zarno server,
    // offers the languages it serves.
    void testServer();

    // The sentence for a server's answer, and the languages it serves.
    [[nodiscard]] static QString describeAnswer(const QString &address, const ServerAnswer &answer);

Q_SIGNALS:
    // A test of the server has been answered (or has failed).
    void serverTested();

private:
    QWidget *makeAccount();
    QWidget *makeServer();
    QWidget *makeLanguages();
    QWidget *makeAudio();
    QWidget *makeLogin();
    void applyServerAddress();
    void fillSpoken();
    void fillTargets();
    void fillInputs();
    enum class Tone { Info, Problem };
    void say(QLabel *line, const QString &sentence, Tone tone = Tone::Info);
    QCoro::Task<> askServer(QString address);

    UserSettings &m_settings;
    Parts m_parts;
    std::optional<QStringList> m_spokenOffer;
    std::optional<QStringList> m_targetOffer;
    bool m_testing = false;

    QLabel *m_account = nullptr;
    QPushButton *m_signOut = nullptr;
    QLineEdit *m_address = nullptr;
    QPushButton *m_test = nullptr;
    QLabel *m_serverLine = nullptr;
    QComboBox *m_spoken = nullptr;
    QLabel *m_spokenLine = nullptr;
    QCheckBox *m_translate = nullptr;
    QComboBox *m_target = nullptr;
    QLabel *m_targetLine = nullptr;
    QComboBox *m_input = nullptr;
    QLabel *m_inputLine = nullptr;
    QCheckBox *m_callSound = nullptr;
    QCheckBox *m_login = nullptr;
    QLabel *m_loginLine = nullptr;
};
