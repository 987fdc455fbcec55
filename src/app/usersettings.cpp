#include "usersettings.h"

#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

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

QString UserSettings::autostartEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/zarno.desktop");
}

QByteArray UserSettings::autostartEntry(const QString &program)
{
    // Exec quoting of desktop entries: the path in double quotes, with the
    // characters special inside them escaped; then every backslash doubled,
    // as the file's string escapes are undone before the quoting.
    QString quoted = program;
    for (const QChar special : {u'\\', u'"', u'`', u'$'})
        quoted.replace(special, QStringLiteral("\\") + special);
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=zarno\n"
                          "Comment=Notices meetings and offers to take notes\n"
                          "Exec=\"%1\" --hidden\n"
                          "Icon=app.zarno.Zarno\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(quoted)
        .toUtf8();
}

bool UserSettings::startAtLogin() const
{
    return QFileInfo::exists(autostartEntryPath());
}

bool UserSettings::setStartAtLogin(bool value)
{
    if (value == startAtLogin())
        return true;
    const QString path = autostartEntryPath();
    if (value) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QSaveFile entry(path);
        if (!entry.open(QIODevice::WriteOnly)
            || entry.write(autostartEntry(QCoreApplication::applicationFilePath())) < 0 || !entry.commit())
            return false;
    } else if (!QFile::remove(path)) {
        return false;
    }
    Q_EMIT startAtLoginChanged(value);
    return true;
}
