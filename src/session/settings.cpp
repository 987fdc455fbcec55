#include "settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#ifndef ZARNO_DEFAULT_SERVER_URL
#error "ZARNO_DEFAULT_SERVER_URL must be set by the build"
#endif

namespace {

bool isNumber(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

// A string key read as text; a list (an unquoted comma) is no language code,
// so it counts as missing like any other garbage.
QString readString(const QSettings &store, const QString &key, const QString &fallback)
{
    if (store.value(key).typeId() == QMetaType::QStringList)
        return fallback;
    return storedText(store, key).value_or(fallback);
}

// A Boolean key: true, yes or a non-zero number count as true; anything
// else, garbage included, as false.
bool readBool(const QSettings &store, const QString &key)
{
    const QVariant value = store.value(key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (isNumber(value))
        return value.toDouble() != 0;
    if (value.typeId() != QMetaType::QString)
        return false;
    const QString text = value.toString().trimmed();
    if (text.compare(QLatin1StringView("true"), Qt::CaseInsensitive) == 0
        || text.compare(QLatin1StringView("yes"), Qt::CaseInsensitive) == 0)
        return true;
    bool isInteger = false;
    const qlonglong number = text.toLongLong(&isInteger);
    return isInteger && number != 0;
}

QString encoded(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

const QList<TargetLanguage> &supportedTargetLanguages()
{
    static const QList<TargetLanguage> languages = {
        {QStringLiteral("en"), QStringLiteral("English")},
        {QStringLiteral("zh"), QStringLiteral("Chinese")},
        {QStringLiteral("es"), QStringLiteral("Spanish")},
        {QStringLiteral("ja"), QStringLiteral("Japanese")},
        {QStringLiteral("ko"), QStringLiteral("Korean")},
        {QStringLiteral("fr"), QStringLiteral("French")},
        {QStringLiteral("de"), QStringLiteral("German")},
        {QStringLiteral("pt"), QStringLiteral("Portuguese")},
    };
    return languages;
}

QString ZarnoSettings::defaultServerURL()
{
    return QStringLiteral(ZARNO_DEFAULT_SERVER_URL);
}

ZarnoSettings ZarnoSettings::load(const QSettings &store)
{
    ZarnoSettings settings;
    // An address may hold a comma; a language code never does.
    settings.serverURL = storedText(store, QStringLiteral("serverURL")).value_or(defaultServerURL());
    settings.languageA = readString(store, QStringLiteral("languageA"), QStringLiteral("any"));
    settings.languageB = readString(store, QStringLiteral("languageB"), QStringLiteral("en"));
    settings.transcriptOnly = readBool(store, QStringLiteral("transcriptOnly"));
    return settings;
}

std::optional<QString> ZarnoSettings::storeProblem(const QSettings &store)
{
    const QFileInfo file(store.fileName());
    if (store.status() == QSettings::NoError && (!file.exists() || (file.isFile() && file.isReadable())))
        return std::nullopt;
    return QStringLiteral("zarno can't read its settings file %1 — make it a file you can read, or move it away.")
        .arg(QDir::toNativeSeparators(file.absoluteFilePath()));
}

std::optional<QString> ZarnoSettings::storeProblem()
{
    const QSettings store = standardStore();
    return storeProblem(store);
}

QSettings ZarnoSettings::standardStore()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("zarno"), QStringLiteral("zarno"));
}

ZarnoSettings ZarnoSettings::load()
{
    const QSettings store = standardStore();
    return load(store);
}

std::optional<QUrl> ZarnoSettings::baseURL() const
{
    const QUrl url(serverURL, QUrl::StrictMode);
    // "localhost:8790" parses with the scheme "localhost" and no host: a
    // relative reference like that has nowhere to connect to.
    if (serverURL.isEmpty() || !url.isValid() || url.host().isEmpty())
        return std::nullopt;
    // The service speaks HTTP and WebSocket only; an ftp: or file: address
    // would only fail later, looking like a lost connection.
    const QString scheme = url.scheme(); // already lower case
    if (!scheme.isEmpty() && scheme != u"http" && scheme != u"https")
        return std::nullopt;
    return url;
}

std::optional<QUrl> ZarnoSettings::serviceURL(const QString &path) const
{
    std::optional<QUrl> url = baseURL();
    if (!url)
        return std::nullopt;
    url->setPath(path, QUrl::StrictMode);
    if (!url->isValid())
        return std::nullopt;
    return url;
}

std::optional<QUrl> ZarnoSettings::transcribeURL(const QString &token) const
{
    std::optional<QUrl> url = baseURL();
    if (!url)
        return std::nullopt;
    // QUrl lower-cases schemes; plain ws is kept for exactly "http" as written.
    url->setScheme(serverURL.startsWith(QLatin1StringView("http:")) ? QStringLiteral("ws") : QStringLiteral("wss"));
    url->setPath(QStringLiteral("/ws/transcribe"));
    QString query = QLatin1StringView("a=") + encoded(languageA) + QLatin1StringView("&b=") + encoded(languageB)
        + QLatin1StringView("&token=") + encoded(token);
    if (transcriptOnly)
        query += QLatin1StringView("&onlyTranscript=true");
    url->setQuery(query, QUrl::StrictMode);
    // A fragment is never part of a WebSocket address.
    url->setFragment(QString());
    if (!url->isValid())
        return std::nullopt;
    return url;
}

std::optional<QString> storedText(const QSettings &store, const QString &key)
{
    const QVariant value = store.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    if (value.typeId() == QMetaType::QString || isNumber(value))
        return value.toString();
    return std::nullopt;
}

namespace OwnerOnly {

void prepare(const QSettings &store)
{
    const QFileInfo file(store.fileName());
    QDir().mkpath(file.absolutePath());
    QFile::setPermissions(file.absolutePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!file.exists()) {
        QFile empty(file.absoluteFilePath());
        if (!empty.open(QIODevice::WriteOnly))
            return;
    }
    QFile::setPermissions(file.absoluteFilePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void close(QSettings &store)
{
    store.sync();
    QFile::setPermissions(store.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace OwnerOnly
