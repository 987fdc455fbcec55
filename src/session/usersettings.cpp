#include "usersettings.h"

#include "settings.h"

#include <QSettings>

// Setters always write, so the store holds the user's choice in its plain
// form ("true" rather than a hand-written "yes"), and emit only on a change.

QString UserSettings::targetLanguage() const
{
    return ZarnoSettings::standardStore().value(targetLanguageKey).toString();
}

void UserSettings::setTargetLanguage(const QString &code)
{
    {
        QSettings store = ZarnoSettings::standardStore();
        const QString before = store.value(targetLanguageKey).toString();
        store.setValue(targetLanguageKey, code);
        if (before == code)
            return;
    }
    Q_EMIT targetLanguageChanged(code);
}

bool UserSettings::transcriptOnly() const
{
    return ZarnoSettings::load().transcriptOnly;
}

void UserSettings::setTranscriptOnly(bool value)
{
    {
        QSettings store = ZarnoSettings::standardStore();
        const bool before = ZarnoSettings::load(store).transcriptOnly;
        store.setValue(transcriptOnlyKey, value);
        if (before == value)
            return;
    }
    Q_EMIT transcriptOnlyChanged(value);
}
