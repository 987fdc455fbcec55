#pragma once

#include <QAudioDevice>
#include <QObject>
#include <QString>

#include <optional>

// The settings the user changes while zarno runs, over the user's settings
// store, with a signal for each change so that every view showing one follows
// it. Values are read from the store each time: a change made elsewhere shows
// the next time a view reads it.
class UserSettings : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString targetLanguage READ targetLanguage WRITE setTargetLanguage NOTIFY targetLanguageChanged)
    Q_PROPERTY(bool transcriptOnly READ transcriptOnly WRITE setTranscriptOnly NOTIFY transcriptOnlyChanged)
    Q_PROPERTY(bool startAtLogin READ startAtLogin WRITE setStartAtLogin NOTIFY startAtLoginChanged)
    Q_PROPERTY(QString serverAddress READ serverAddress NOTIFY serverAddressChanged)
    Q_PROPERTY(QString spokenLanguage READ spokenLanguage WRITE setSpokenLanguage NOTIFY spokenLanguageChanged)
    Q_PROPERTY(QString microphone READ microphone WRITE setMicrophone NOTIFY microphoneChanged)
    Q_PROPERTY(bool includeCallSound READ includeCallSound WRITE setIncludeCallSound NOTIFY includeCallSoundChanged)

public:
    static inline const QString targetLanguageKey = QStringLiteral("languageB");
    static inline const QString transcriptOnlyKey = QStringLiteral("transcriptOnly");
    static inline const QString serverAddressKey = QStringLiteral("serverURL");
    static inline const QString spokenLanguageKey = QStringLiteral("languageA");
    static inline const QString microphoneKey = QStringLiteral("microphone");
    static inline const QString includeCallSoundKey = QStringLiteral("includeCallSound");
    // The spoken language that lets the engine tell which one it hears.
    static inline const QString autoDetect = QStringLiteral("any");

    using QObject::QObject;

    // The stored code exactly as it is, empty when none is stored.
    [[nodiscard]] QString targetLanguage() const;
    void setTargetLanguage(const QString &code);
    [[nodiscard]] bool transcriptOnly() const;
    void setTranscriptOnly(bool value);

    // The server's base address as stored, or the default.
    [[nodiscard]] QString serverAddress() const;
    // Stores an address the settings layer can use; refuses any other with
    // the sentence to show, keeping the stored one.
    std::optional<QString> setServerAddress(const QString &address);
    // A sentence saying why the address cannot be used; nothing when it can.
    [[nodiscard]] static std::optional<QString> serverAddressProblem(const QString &address);

    // The spoken language's code; "any" to detect it.
    [[nodiscard]] QString spokenLanguage() const;
    void setSpokenLanguage(const QString &code);

    // The sound server's name of the chosen microphone; empty for the default.
    [[nodiscard]] QString microphone() const;
    void setMicrophone(const QString &name);
    // The chosen microphone when it is connected; nothing (the sound server's
    // default) when none is chosen or it is unplugged. Callable from any thread.
    [[nodiscard]] static std::optional<QAudioDevice> chosenInput();

    // Whether a leg records the computer's own sound (the others in a call)
    // beside the microphone; on unless the user turns it off. Read at each
    // leg's start, from any thread.
    [[nodiscard]] static bool includesCallSound();
    [[nodiscard]] bool includeCallSound() const { return includesCallSound(); }
    void setIncludeCallSound(bool value);
    // The capture could not hear the computer's sound: the views say so.
    void tellCallSoundMissing(const QString &sentence) { Q_EMIT callSoundMissing(sentence); }

    // Start at login is the desktop's own autostart entry, so turning it off
    // in the desktop's settings shows here too. Off unless the user turns it
    // on; the entry starts this program in the tray, without its window.
    [[nodiscard]] bool startAtLogin() const;
    // Returns false (and changes nothing) when the entry cannot be written.
    bool setStartAtLogin(bool value);
    [[nodiscard]] static QString autostartEntryPath();
    // The entry's text for a program at `program` (an absolute path).
    [[nodiscard]] static QByteArray autostartEntry(const QString &program);

Q_SIGNALS:
    void targetLanguageChanged(const QString &code);
    void transcriptOnlyChanged(bool transcriptOnly);
    void startAtLoginChanged(bool startAtLogin);
    void serverAddressChanged(const QString &address);
    void spokenLanguageChanged(const QString &code);
    void microphoneChanged(const QString &name);
    void includeCallSoundChanged(bool include);
    void callSoundMissing(const QString &sentence);

private:
    // Writes the value; whether it differs from what was stored.
    static bool storeText(const QString &key, const QString &value);
};
