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

public:
    static inline const QString targetLanguageKey = QStringLiteral("languageB");
    static inline const QString transcriptOnlyKey = QStringLiteral("transcriptOnly");

    using QObject::QObject;

    // The stored code exactly as it is, empty when none is stored.
    [[nodiscard]] QString targetLanguage() const;
    void setTargetLanguage(const QString &code);
    [[nodiscard]] bool transcriptOnly() const;
    void setTranscriptOnly(bool value);

Q_SIGNALS:
    void targetLanguageChanged(const QString &code);
    void transcriptOnlyChanged(bool transcriptOnly);
};
