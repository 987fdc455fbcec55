#include "accountstore.h"

#include "database.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTimeZone>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <array>

namespace {

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

qint64 AccountStore::refreshLifetimeMs() const
{
    return std::max<qint64>(0, m_options.refreshTtlSeconds) * 1000;
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

std::optional<GrantResult> AccountStore::refuseSignInInput(const QString &address, const QString &password)
{
    if (address.isEmpty())
        return failure(400, QStringLiteral("validation_failed"), QStringLiteral("Enter a valid e-mail address."));
    if (password.size() < minimumPasswordLength)
        return failure(400, QStringLiteral("weak_password"), QStringLiteral("Password should be at least 6 characters."));
    return std::nullopt;
}

AccountStore::Credentials AccountStore::credentials(const QString &address)
{
    Credentials found;
    QSqlQuery query(m_database.db());
    query.prepare(QStringLiteral("SELECT id, salt, hash, iterations, created_at FROM accounts WHERE email = ?"));
    query.addBindValue(address);
    if (!query.exec()) {
        found.ok = false;
        return found;
    }
    if (query.next()) {
        found.account = Account{query.value(0).toLongLong(), address, query.value(4).toLongLong()};
        found.password.salt = query.value(1).toByteArray();
        found.password.hash = query.value(2).toByteArray();
        found.password.iterations = query.value(3).toInt();
    }
    return found;
}

std::optional<Account> AccountStore::createAccount(const QString &address, const StoredPassword &password)
{
    if (password.hash.isEmpty())
        return std::nullopt;
    Account account{0, address, nowMs()};
    QSqlQuery insert(m_database.db());
    insert.prepare(QStringLiteral("INSERT INTO accounts (email, salt, hash, iterations, created_at) VALUES (?, ?, ?, ?, ?)"));
    insert.addBindValue(address);
    insert.addBindValue(password.salt.isNull() ? QByteArray("") : password.salt);
    insert.addBindValue(password.hash);
    insert.addBindValue(password.iterations);
    insert.addBindValue(account.createdAtMs);
    if (!insert.exec())
        return std::nullopt;
    account.id = insert.lastInsertId().toLongLong();
    return account;
}

bool AccountStore::replacePassword(qint64 accountId, const StoredPassword &password)
{
    if (password.hash.isEmpty())
        return false;
    QSqlQuery update(m_database.db());
    update.prepare(QStringLiteral("UPDATE accounts SET salt = ?, hash = ?, iterations = ? WHERE id = ?"));
    update.addBindValue(password.salt.isNull() ? QByteArray("") : password.salt);
    update.addBindValue(password.hash);
    update.addBindValue(password.iterations);
    update.addBindValue(accountId);
    return update.exec() && update.numRowsAffected() == 1;
}

GrantResult AccountStore::startFamily(const Account &account)
{
    const QString refreshToken = newToken();
    const QString family = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSqlQuery store(m_database.db());
    store.prepare(QStringLiteral("INSERT INTO refresh_tokens (digest, account_id, created_at, family) VALUES (?, ?, ?, ?)"));
    store.addBindValue(digestOf(refreshToken));
    store.addBindValue(account.id);
    store.addBindValue(nowMs());
    store.addBindValue(family);
    if (!store.exec())
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    auto grant = issue(account, refreshToken, family);
    if (!grant)
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    GrantResult result;
    result.grant = grant;
    return result;
}

void AccountStore::revokeFamily(const QString &family)
{
    QSqlQuery query(m_database.db());
    query.prepare(QStringLiteral("UPDATE refresh_tokens SET revoked = 1 WHERE family = ?"));
    query.addBindValue(family);
    query.exec();
    query.prepare(QStringLiteral("DELETE FROM access_tokens WHERE family = ?"));
    query.addBindValue(family);
    query.exec();
}

bool AccountStore::signOut(const QString &accessToken)
{
    if (accessToken.isEmpty())
        return false;
    const QString digest = digestOf(accessToken);
    QSqlQuery query(m_database.db());
    query.prepare(QStringLiteral("SELECT family FROM access_tokens WHERE digest = ?"));
    query.addBindValue(digest);
    if (!query.exec() || !query.next())
        return false;
    const QString family = query.value(0).toString();
    if (!family.isEmpty())
        revokeFamily(family);
    query.prepare(QStringLiteral("DELETE FROM access_tokens WHERE digest = ?"));
    query.addBindValue(digest);
    query.exec();
    return true;
}

std::optional<TokenGrant> AccountStore::issue(const Account &account, const QString &refreshToken, const QString &family)
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
    query.prepare(QStringLiteral("DELETE FROM refresh_tokens WHERE created_at < ?"));
    query.addBindValue(now - refreshLifetimeMs() - 24 * 3600 * 1000LL);
    query.exec();
    query.prepare(QStringLiteral("INSERT INTO access_tokens (digest, account_id, expires_at, family) VALUES (?, ?, ?, ?)"));
    query.addBindValue(digestOf(grant.accessToken));
    query.addBindValue(account.id);
    query.addBindValue(now + ttl * 1000);
    query.addBindValue(family);
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
    query.prepare(QStringLiteral("SELECT account_id, used_at, revoked, created_at, COALESCE(family, digest) FROM refresh_tokens WHERE digest = ?"));
    query.addBindValue(digest);
    if (!query.exec())
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The account store is not available."));
    if (!query.next() || query.value(2).toInt() != 0)
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    const auto account = accountById(query.value(0).toLongLong());
    if (!account)
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    const QString family = query.value(4).toString();
    if (now - query.value(3).toLongLong() > refreshLifetimeMs())
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Expired"));

    if (!query.value(1).isNull()) {
        // A client that lost the answer to its own rotation gets the active token again.
        QString current;
        QString at = digest;
        while (m_recentRotations.contains(at)) {
            current = m_recentRotations.value(at).successor;
            at = digestOf(current);
        }
        const qint64 usedAt = query.value(1).toLongLong();
        if (now - usedAt > reuseMs) {
            // Someone holds a copy of a spent token: nothing of this sign-in can be trusted.
            revokeFamily(family);
            return invalidGrant(QStringLiteral("Invalid Refresh Token: Already Used"));
        }
        if (current.isEmpty())
            return invalidGrant(QStringLiteral("Invalid Refresh Token: Already Used"));
        auto grant = issue(*account, current, family);
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
    insert.prepare(QStringLiteral("INSERT INTO refresh_tokens (digest, account_id, created_at, family) VALUES (?, ?, ?, ?)"));
    insert.addBindValue(digestOf(successor));
    insert.addBindValue(account->id);
    insert.addBindValue(now);
    insert.addBindValue(family);
    if (!mark.exec() || mark.numRowsAffected() != 1 || !insert.exec()) {
        db.rollback();
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    }
    auto grant = issue(*account, successor, family);
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
