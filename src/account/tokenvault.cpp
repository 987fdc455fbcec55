#include "tokenvault.h"

#include "logging.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSettings>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace {

const QString accessKey = QStringLiteral("authAccessToken");
const QString refreshKey = QStringLiteral("authRefreshToken");
constexpr int keyringPatienceMs = 5000;

QString fileString(const QSettings &store, const QString &key)
{
    const QVariant value = store.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

QByteArray encode(const TokenVault::Tokens &tokens)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("access"), tokens.access}, {QStringLiteral("refresh"), tokens.refresh}})
        .toJson(QJsonDocument::Compact);
}

std::optional<TokenVault::Tokens> decode(const QByteArray &data)
{
    const QJsonObject object = QJsonDocument::fromJson(data).object();
    const QJsonValue access = object.value(QStringLiteral("access"));
    const QJsonValue refresh = object.value(QStringLiteral("refresh"));
    if (!access.isString() || !refresh.isString())
        return std::nullopt;
    return TokenVault::Tokens{access.toString(), refresh.toString()};
}

// Runs a keyring job to its end, or gives up after a while (a keyring that
// prompts or hangs must not hold zarno's start for long).
struct JobOutcome
{
    bool finished = false;
    QKeychain::Error error = QKeychain::NoError;
    QString errorText;
    QByteArray data;
};

JobOutcome runJob(QKeychain::Job *job, QKeychain::ReadPasswordJob *reader = nullptr)
{
    auto outcome = std::make_shared<JobOutcome>();
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [outcome, reader, &loop](QKeychain::Job *done) {
        outcome->finished = true;
        outcome->error = done->error();
        outcome->errorText = done->errorString();
        if (reader && done->error() == QKeychain::NoError)
            outcome->data = reader->binaryData();
        loop.quit();
    });
    QTimer::singleShot(keyringPatienceMs, &loop, &QEventLoop::quit);
    job->start();
    if (!outcome->finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return *outcome;
}

} // namespace

const QString TokenVault::keyringService = QStringLiteral("zarno");
const QString TokenVault::keyringKey = QStringLiteral("sign-in");

TokenVault &TokenVault::shared()
{
    static TokenVault vault;
    return vault;
}

TokenVault::TokenVault()
{
    auto *reader = new QKeychain::ReadPasswordJob(keyringService);
    reader->setAutoDelete(true);
    reader->setKey(keyringKey);
    const JobOutcome read = runJob(reader, reader);
    if (!read.finished) {
        useSettingsFile(QStringLiteral("the keyring did not answer"));
        return;
    }
    if (read.error != QKeychain::NoError && read.error != QKeychain::EntryNotFound) {
        useSettingsFile(read.errorText);
        return;
    }
    m_place = Place::Keyring;
    if (read.error == QKeychain::NoError)
        m_cached = decode(read.data).value_or(Tokens{});

    // Tokens still in the file move to the keyring once: they are the newer
    // ones, as nothing writes them there while the keyring answers.
    QSettings store = ZarnoSettings::standardStore();
    const Tokens inFile{fileString(store, accessKey), fileString(store, refreshKey)};
    if (inFile.refresh.isEmpty())
        return;
    m_cached = inFile;
    auto *writer = new QKeychain::WritePasswordJob(keyringService);
    writer->setAutoDelete(true);
    writer->setKey(keyringKey);
    writer->setBinaryData(encode(inFile));
    const JobOutcome moved = runJob(writer);
    if (!moved.finished || moved.error != QKeychain::NoError) {
        useSettingsFile(moved.finished ? moved.errorText : QStringLiteral("the keyring did not answer"));
        return;
    }
    store.remove(accessKey);
    store.remove(refreshKey);
    OwnerOnly::close(store);
    qCInfo(lcAuth) << "The sign-in moved from the settings file to the keyring.";
}

void TokenVault::useSettingsFile(const QString &why)
{
    if (m_place == Place::Keyring) {
        // What the keyring held lives on in the file from now on.
        QSettings store = ZarnoSettings::standardStore();
        OwnerOnly::prepare(store);
        if (m_cached.refresh.isEmpty()) {
            store.remove(accessKey);
            store.remove(refreshKey);
        } else {
            store.setValue(accessKey, m_cached.access);
            store.setValue(refreshKey, m_cached.refresh);
        }
        OwnerOnly::close(store);
    }
    m_place = Place::SettingsFile;
    m_cached = {};
    qCWarning(lcAuth).noquote() << QStringLiteral("No keyring to keep the sign-in in (%1); it stays in the settings "
                                                  "file, readable by you only.")
                                       .arg(why);
}

TokenVault::Tokens TokenVault::tokens() const
{
    if (m_place == Place::Keyring)
        return m_cached;
    const QSettings store = ZarnoSettings::standardStore();
    return {fileString(store, accessKey), fileString(store, refreshKey)};
}

void TokenVault::store(const Tokens &tokens)
{
    if (m_place == Place::Keyring) {
        m_cached = tokens;
        writeToKeyring(tokens);
        return;
    }
    QSettings store = ZarnoSettings::standardStore();
    OwnerOnly::prepare(store);
    store.setValue(accessKey, tokens.access);
    store.setValue(refreshKey, tokens.refresh);
    OwnerOnly::close(store);
}

void TokenVault::forget()
{
    if (m_place == Place::Keyring) {
        m_cached = {};
        ++m_pendingWrites;
        auto *job = new QKeychain::DeletePasswordJob(keyringService);
        job->setAutoDelete(true);
        job->setKey(keyringKey);
        QObject::connect(job, &QKeychain::Job::finished, [this](QKeychain::Job *) { --m_pendingWrites; });
        job->start();
        return;
    }
    QSettings store = ZarnoSettings::standardStore();
    store.remove(accessKey);
    store.remove(refreshKey);
    OwnerOnly::close(store);
}

void TokenVault::writeToKeyring(const Tokens &tokens)
{
    ++m_pendingWrites;
    auto *job = new QKeychain::WritePasswordJob(keyringService);
    job->setAutoDelete(true);
    job->setKey(keyringKey);
    job->setBinaryData(encode(tokens));
    // Jobs run one after another in the order they were started, so the
    // newest tokens are the ones that stay.
    QObject::connect(job, &QKeychain::Job::finished, [this](QKeychain::Job *done) {
        --m_pendingWrites;
        if (done->error() != QKeychain::NoError && m_place == Place::Keyring)
            useSettingsFile(done->errorString());
    });
    job->start();
}

void TokenVault::flush()
{
    const QDeadlineTimer patience(keyringPatienceMs);
    while (m_pendingWrites > 0 && !patience.hasExpired())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 50);
}
