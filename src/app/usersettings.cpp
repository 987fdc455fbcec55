#include "usersettings.h"

#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
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
    if (storeText(targetLanguageKey, code))
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

QString UserSettings::serverAddress() const
{
    return ZarnoSettings::load().serverURL;
}

std::optional<QString> UserSettings::serverAddressProblem(const QString &address)
{
    ZarnoSettings settings;
    settings.serverURL = address.trimmed();
    if (settings.serverURL.isEmpty())
        return QStringLiteral("Enter the server's address, such as %1.").arg(ZarnoSettings::defaultServerURL());
    if (!settings.baseURL())
        return QStringLiteral("“%1” is not a server address zarno can use: give it in full, such as %2.")
            .arg(settings.serverURL, ZarnoSettings::defaultServerURL());
    return std::nullopt;
}

std::optional<QString> UserSettings::setServerAddress(const QString &address)
{
    if (auto problem = serverAddressProblem(address))
        return problem;
    const QString trimmed = address.trimmed();
    if (storeText(serverAddressKey, trimmed))
        Q_EMIT serverAddressChanged(trimmed);
    return std::nullopt;
}

QString UserSettings::spokenLanguage() const
{
    return ZarnoSettings::load().languageA;
}

void UserSettings::setSpokenLanguage(const QString &code)
{
    if (storeText(spokenLanguageKey, code))
        Q_EMIT spokenLanguageChanged(code);
}

QString UserSettings::microphone() const
{
    return storedText(ZarnoSettings::standardStore(), microphoneKey).value_or(QString());
}

void UserSettings::setMicrophone(const QString &name)
{
    if (storeText(microphoneKey, name))
        Q_EMIT microphoneChanged(name);
}

std::optional<QAudioDevice> UserSettings::chosenInput()
{
    const QString chosen = storedText(ZarnoSettings::standardStore(), microphoneKey).value_or(QString());
    if (chosen.isEmpty())
        return std::nullopt;
    for (const QAudioDevice &device : QMediaDevices::audioInputs()) {
        if (QString::fromUtf8(device.id()) == chosen)
            return device;
    }
    return std::nullopt;
}

bool UserSettings::includesCallSound()
{
    const QSettings store = ZarnoSettings::standardStore();
    const QVariant stored = store.value(includeCallSoundKey);
    // Anything but a plain "false" keeps it on, as it was before the key.
    return !stored.isValid() || stored.toString().trimmed().toLower() != QStringLiteral("false");
}

void UserSettings::setIncludeCallSound(bool value)
{
    const bool before = includesCallSound();
    ZarnoSettings::standardStore().setValue(includeCallSoundKey, value);
    if (before != value)
        Q_EMIT includeCallSoundChanged(value);
}

bool UserSettings::storeText(const QString &key, const QString &value)
{
    QSettings store = ZarnoSettings::standardStore();
    const std::optional<QString> before = storedText(store, key);
    store.setValue(key, value);
    return before != value;
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
