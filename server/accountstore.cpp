#include "accountstore.h"

#include "database.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTimeZone>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QVariant>

#include <array>

namespace {

constexpr int saltBytes = 16;
constexpr int hashBytes = 32;
constexpr int minimumPasswordLength = 6;

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        bytes[i] = char(QRandomGenerator::system()->bounded(256));
    return bytes;
}

// 32 random bytes, URL-safe: fits in a query string without encoding.
QString newToken()
{
    return QString::fromLatin1(randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString digestOf(const QString &token)
{
    return QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QByteArray passwordHash(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, iterations, hashBytes);
}

// Compares without an early exit so timing tells nothing about the hash.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

GrantResult failure(int status, const QString &error, const QString &description)
{
    GrantResult result;
    result.status = status;
    result.error = error;
    result.description = description;
    return result;
}

GrantResult invalidGrant(const QString &description)
{
    return failure(400, QStringLiteral("invalid_grant"), description);
}

} // namespace

QJsonObject TokenGrant::toJson() const
{
    const QString created = QDateTime::fromMSecsSinceEpoch(account.createdAtMs, QTimeZone::utc()).toString(Qt::ISODateWithMs);
    return QJsonObject{
        {QStringLiteral("access_token"), accessToken},
        {QStringLiteral("token_type"), QStringLiteral("bearer")},
        {QStringLiteral("expires_in"), expiresIn},
        {QStringLiteral("expires_at"), expiresAt},
        {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("user"), QJsonObject{
             {QStringLiteral("id"), QString::number(account.id)},
             {QStringLiteral("aud"), QStringLiteral("authenticated")},
             {QStringLiteral("role"), QStringLiteral("authenticated")},
             {QStringLiteral("email"), account.email},
             {QStringLiteral("created_at"), created},
         }},
    };
}

QJsonObject GrantResult::errorJson() const
{
    return QJsonObject{{QStringLiteral("error"), error}, {QStringLiteral("error_description"), description}};
}

AccountStore::AccountStore(Database &database, const ServiceOptions &options)
    : m_database(database)
    , m_options(options)
{
}

qint64 AccountStore::nowMs() const
{
    return m_options.clock ? m_options.clock() : QDateTime::currentMSecsSinceEpoch();
}

QString AccountStore::publicKey()
{
    if (!m_publicKey.isEmpty())
        return m_publicKey;
    QSqlQuery query(m_database.db());
    query.prepare(QStringLiteral("SELECT value FROM meta WHERE key = 'public_key'"));
    if (query.exec() && query.next()) {
        m_publicKey = query.value(0).toString();
    } else {
        m_publicKey = QStringLiteral("zarno-local-") + newToken();
        QSqlQuery insert(m_database.db());
        insert.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('public_key', ?)"));
        insert.addBindValue(m_publicKey);
        insert.exec();
    }
    return m_publicKey;
}

QString AccountStore::normalisedEmail(const QString &email)
{
    const QString trimmed = email.trimmed().toLower();
    const qsizetype at = trimmed.indexOf(QLatin1Char('@'));
    if (at <= 0 || at != trimmed.lastIndexOf(QLatin1Char('@')) || at == trimmed.size() - 1)
        return {};
    for (QChar c : trimmed) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return {};
    }
    if (trimmed.size() > 254)
        return {};
    return trimmed;
}

std::optional<Account> AccountStore::accountById(qint64 id)
{
    QSqlQuery query(m_database.db());
    query.prepare(QStringLiteral("SELECT id, email, created_at FROM accounts WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return Account{query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toLongLong()};
}

GrantResult AccountStore::signIn(const QString &email, const QString &password)
{
    const QString address = normalisedEmail(email);
    if (address.isEmpty())
        return failure(400, QStringLiteral("validation_failed"), QStringLiteral("Enter a valid e-mail address."));
    if (password.size() < minimumPasswordLength)
        return failure(400, QStringLiteral("weak_password"), QStringLiteral("Password should be at least 6 characters."));

    QSqlDatabase db = m_database.db();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, salt, hash, iterations, created_at FROM accounts WHERE email = ?"));
    query.addBindValue(address);
    if (!query.exec())
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The account store is not available."));

    Account account;
    account.email = address;
    if (query.next()) {
        account.id = query.value(0).toLongLong();
        account.createdAtMs = query.value(4).toLongLong();
        const QByteArray expected = query.value(2).toByteArray();
        const QByteArray actual = passwordHash(password, query.value(1).toByteArray(), query.value(3).toInt());
        if (!sameBytes(expected, actual))
            return invalidGrant(QStringLiteral("Invalid login credentials"));
    } else {
        const QByteArray salt = randomBytes(saltBytes);
        const int iterations = std::max(1, m_options.passwordIterations);
        account.createdAtMs = nowMs();
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral("INSERT INTO accounts (email, salt, hash, iterations, created_at) VALUES (?, ?, ?, ?, ?)"));
        insert.addBindValue(address);
        insert.addBindValue(salt);
        insert.addBindValue(passwordHash(password, salt, iterations));
        insert.addBindValue(iterations);
        insert.addBindValue(account.createdAtMs);
        if (!insert.exec())
            return failure(500, QStringLiteral("server_error"), QStringLiteral("The account could not be created."));
        account.id = insert.lastInsertId().toLongLong();
    }

    const QString refreshToken = newToken();
    QSqlQuery store(db);
    store.prepare(QStringLiteral("INSERT INTO refresh_tokens (digest, account_id, created_at) VALUES (?, ?, ?)"));
    store.addBindValue(digestOf(refreshToken));
    store.addBindValue(account.id);
    store.addBindValue(nowMs());
    if (!store.exec())
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    auto grant = issue(account, refreshToken);
    if (!grant)
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    GrantResult result;
    result.grant = grant;
    return result;
}

std::optional<TokenGrant> AccountStore::issue(const Account &account, const QString &refreshToken)
{
    const qint64 now = nowMs();
    const qint64 ttl = std::max<qint64>(0, m_options.tokenTtlSeconds);
    TokenGrant grant;
    grant.accessToken = newToken();
    grant.refreshToken = refreshToken;
    grant.expiresIn = ttl;
    grant.expiresAt = now / 1000 + ttl;
    grant.account = account;

    QSqlQuery query(m_database.db());
    // Long-expired tokens are only kept to tell "expired" from "unknown" for a day.
    query.prepare(QStringLiteral("DELETE FROM access_tokens WHERE expires_at < ?"));
    query.addBindValue(now - 24 * 3600 * 1000LL);
    query.exec();
    query.prepare(QStringLiteral("INSERT INTO access_tokens (digest, account_id, expires_at) VALUES (?, ?, ?)"));
    query.addBindValue(digestOf(grant.accessToken));
    query.addBindValue(account.id);
    query.addBindValue(now + ttl * 1000);
    if (!query.exec())
        return std::nullopt;
    return grant;
}

GrantResult AccountStore::refresh(const QString &refreshToken)
{
    if (refreshToken.isEmpty())
        return invalidGrant(QStringLiteral("Refresh Token is required"));
    const qint64 now = nowMs();
    const qint64 reuseMs = std::max<qint64>(0, m_options.refreshReuseSeconds) * 1000;
    for (auto it = m_recentRotations.begin(); it != m_recentRotations.end();) {
        if (now - it->atMs > reuseMs)
            it = m_recentRotations.erase(it);
        else
            ++it;
    }

    QSqlDatabase db = m_database.db();
    const QString digest = digestOf(refreshToken);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT account_id, used_at, revoked FROM refresh_tokens WHERE digest = ?"));
    query.addBindValue(digest);
    if (!query.exec())
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The account store is not available."));
    if (!query.next() || query.value(2).toInt() != 0)
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    const auto account = accountById(query.value(0).toLongLong());
    if (!account)
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));

    if (!query.value(1).isNull()) {
        // A client that lost the answer to its own rotation gets the active token again.
        QString current;
        QString at = digest;
        while (m_recentRotations.contains(at)) {
            current = m_recentRotations.value(at).successor;
            at = digestOf(current);
        }
        const qint64 usedAt = query.value(1).toLongLong();
        if (current.isEmpty() || now - usedAt > reuseMs)
            return invalidGrant(QStringLiteral("Invalid Refresh Token: Already Used"));
        auto grant = issue(*account, current);
        if (!grant)
            return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
        GrantResult result;
        result.grant = grant;
        return result;
    }

    const QString successor = newToken();
    db.transaction();
    QSqlQuery mark(db);
    mark.prepare(QStringLiteral("UPDATE refresh_tokens SET used_at = ?, successor = ? WHERE digest = ? AND used_at IS NULL"));
    mark.addBindValue(now);
    mark.addBindValue(digestOf(successor));
    mark.addBindValue(digest);
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO refresh_tokens (digest, account_id, created_at) VALUES (?, ?, ?)"));
    insert.addBindValue(digestOf(successor));
    insert.addBindValue(account->id);
    insert.addBindValue(now);
    if (!mark.exec() || mark.numRowsAffected() != 1 || !insert.exec()) {
        db.rollback();
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    }
    auto grant = issue(*account, successor);
    if (!grant) {
        db.rollback();
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    }
    db.commit();
    m_recentRotations.insert(digest, Rotation{successor, now});
    GrantResult result;
    result.grant = grant;
    return result;
}

AccountStore::AccessCheck AccountStore::checkAccess(const QString &accessToken)
{
    AccessCheck check;
    if (accessToken.isEmpty())
        return check;
    QSqlQuery query(m_database.db());
    query.prepare(QStringLiteral("SELECT account_id, expires_at FROM access_tokens WHERE digest = ?"));
    query.addBindValue(digestOf(accessToken));
    if (!query.exec() || !query.next())
        return check;
    const auto account = accountById(query.value(0).toLongLong());
    if (!account)
        return check;
    check.account = *account;
    check.state = nowMs() < query.value(1).toLongLong() ? AccessState::Valid : AccessState::Expired;
    return check;
}
