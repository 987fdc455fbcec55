#pragma once

#include <QObject>
#include <QString>

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

public:
    static inline const QString targetLanguageKey = QStringLiteral("languageB");
    static inline const QString transcriptOnlyKey = QStringLiteral("transcriptOnly");

    using QObject::QObject;

    // The stored code exactly as it is, empty when none is stored.
    [[nodiscard]] QString targetLanguage() const;
    void setTargetLanguage(const QString &code);
    [[nodiscard]] bool transcriptOnly() const;
    void setTranscriptOnly(bool value);

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
};
