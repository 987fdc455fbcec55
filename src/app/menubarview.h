#pragma once

#include "buttons.h"

#include <QCoroTask>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

class SessionController;
class AuthSession;
class LiveHUD;
class QAbstractButton;
class QLabel;
class QMenu;
class SignInHarvestHook;
class UserSettings;
class WrappedText;

// Where the panel sends the user out of itself. Missing hooks do nothing.
struct MenuBarActions
{
    // "Open zarno" and "Sign in": open the main window and bring it forward.
    std::function<void()> openMainWindow;
    // "Quit zarno": the only way the application ends.
    std::function<void()> quit;
    // "Settings…": the settings window.
    std::function<void()> openSettings;
};

// The language menu's button: the zap icon, "Auto-detect → " and the
// language's name, and the menu's chevron. Drawn faded while disabled.
class LanguageMenuButton : public FieldButton
{
    Q_OBJECT

public:
    static constexpr qreal disabledOpacity = 0.55;

    explicit LanguageMenuButton(QWidget *parent = nullptr);

    // Colours follow the mode: faint while transcribing only.
    void setFaint(bool faint);
    [[nodiscard]] bool isFaint() const { return m_faint; }
    [[nodiscard]] QColor textColor() const;
    [[nodiscard]] QColor iconColor() const;
    [[nodiscard]] qreal drawnOpacity() const { return isEnabled() ? 1.0 : disabledOpacity; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;
    // The label as drawn at the present width.
    [[nodiscard]] QString shownText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    [[nodiscard]] QRectF textArea() const;

    bool m_faint = false;
};

// One half of the Translate/Transcript switch.
class ModeSegment : public QAbstractButton
{
    Q_OBJECT

public:
    explicit ModeSegment(const QString &title, QWidget *parent = nullptr);

    void setSelected(bool selected);
    [[nodiscard]] bool isSelected() const { return m_selected; }
    [[nodiscard]] QColor textColor() const;
    [[nodiscard]] QColor backgroundColor() const;
    [[nodiscard]] QFont labelFont() const;

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_selected = false;
};

// The panel of the tray icon: mode and language, a detected meeting, the
// session's controls and its last save, and the ways into the rest of the
// application. It only reads the session's state and calls its operations;
// it keeps nothing of its own. The same widget works as a popup, embedded,
// or as a window of its own.
class MenuBarView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int panelWidth = 320;

    static inline const QString languagePrefix = QStringLiteral("Auto-detect → ");
    static inline const QString notOfferedTip = QStringLiteral("Not available on this server");
    static inline const QString callSoundText = QStringLiteral("Include the call's sound");

    // `harvest` copies the web page's sign-in (the web view holder in the
    // application); `hud` defaults to the shared live panel.
    MenuBarView(SessionController &state, UserSettings &settings, AuthSession &auth, SignInHarvestHook &harvest,
                MenuBarActions actions, LiveHUD *hud = nullptr, QWidget *parent = nullptr);

    // The name shown for a stored language code; unknown codes read "English".
    [[nodiscard]] static QString languageName(const QString &code);

    // Reads everything shown afresh and lays the panel out again.
    void refresh();
    // Only the running time, on the buttons that carry it.
    void showElapsed();

    // For tests and the application's keyboard and verb handling.
    [[nodiscard]] ModeSegment *translateSegment() const { return m_translate; }
    [[nodiscard]] ModeSegment *transcriptSegment() const { return m_transcript; }
    [[nodiscard]] LanguageMenuButton *languageButton() const { return m_language; }
    [[nodiscard]] QMenu *languageMenu() const { return m_languageMenu; }

Q_SIGNALS:
    // The user went elsewhere (a window, the live panel, quitting): a popup
    // holding this view closes.
    void closeRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QWidget *buildHeader();
    QWidget *buildMeetingCard();
    QWidget *buildControls();
    QWidget *buildSaveLine();
    QWidget *buildRows();
    QWidget *buildQuit();

    void takeNotes();
    void notNow();
    void showLivePanel();
    void openMainWindow();
    void openSettings();
    void quit();
    [[nodiscard]] LiveHUD &hud() const;
    // Asks the server which targets it serves and marks the others.
    QCoro::Task<> askWhatTheServerOffers();
    void markOfferedLanguages();
    // Every button of the panel closes the sentences the user saw before
    // pressing it.
    void closeSeenSentencesOnEveryClick();

    SessionController &m_state;
    UserSettings &m_settings;
    AuthSession &m_auth;
    SignInHarvestHook &m_harvest;
    MenuBarActions m_actions;
    LiveHUD *m_hud;

    ModeSegment *m_translate = nullptr;
    ModeSegment *m_transcript = nullptr;
    LanguageMenuButton *m_language = nullptr;
    QMenu *m_languageMenu = nullptr;
    QWidget *m_meetingCard = nullptr;
    WrappedText *m_meetingText = nullptr;
    QWidget *m_noticeLine = nullptr;
    WrappedText *m_noticeText = nullptr;
    QWidget *m_errorLine = nullptr;
    WrappedText *m_errorText = nullptr;
    QWidget *m_listeningControls = nullptr;
    QWidget *m_pausedControls = nullptr;
    StyledButton *m_stopButton = nullptr;
    StyledButton *m_resumeButton = nullptr;
    QWidget *m_idleControls = nullptr;
    QWidget *m_saveLine = nullptr;
    QWidget *m_savedRow = nullptr;
    WrappedText *m_saveFailure = nullptr;
    QAbstractButton *m_signInRow = nullptr;
    QAbstractButton *m_startAtLoginRow = nullptr;
    QAbstractButton *m_callSoundRow = nullptr;
    bool m_asking = false; // the server is being asked what it offers
    // The sentences on show: as a button went down, and those the user has
    // closed by acting. A closed one stays closed until its text changes.
    struct Sentences
    {
        QString error;
        QString saveFailure;
        QString notice;
    };
    Sentences m_seenAtPress;
    Sentences m_closed;
    QString m_noticeTarget; // the language the notice announced
    QString m_languageNotice;
    QString m_callSoundNotice; // the computer's sound could not be heard
    std::optional<QStringList> m_offeredTargets; // nothing: the server did not say
};
