#include "accounts.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTimeZone>
#include <QRandomGenerator>
#include <QUuid>

#include <sodium.h>

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

// A successor kept in the store is sealed with a key made from the token it
// replaced: the store alone never yields a usable token, and whoever holds the
// replaced token may have its successor during the reuse interval anyway.
QByteArray sealingKey(const QString &rotated)
{
    return QCryptographicHash::hash("zarno rotation\n" + rotated.toUtf8(), QCryptographicHash::Sha256);
}

QByteArray seal(const QString &successor, const QString &rotated)
{
    const QByteArray key = sealingKey(rotated);
    const QByteArray nonce = randomBytes(crypto_secretbox_NONCEBYTES);
    const QByteArray plain = successor.toUtf8();
    QByteArray box(qsizetype(crypto_secretbox_MACBYTES) + plain.size(), Qt::Uninitialized);
    crypto_secretbox_easy(reinterpret_cast<unsigned char *>(box.data()),
                          reinterpret_cast<const unsigned char *>(plain.constData()), quint64(plain.size()),
                          reinterpret_cast<const unsigned char *>(nonce.constData()),
                          reinterpret_cast<const unsigned char *>(key.constData()));
    return nonce + box;
}

// The successor, or nothing when the sealed bytes are not the rotated token's.
QString unseal(const QByteArray &sealed, const QString &rotated)
{
    constexpr qsizetype overhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (sealed.size() <= overhead)
        return {};
    const QByteArray key = sealingKey(rotated);
    const QByteArray box = sealed.mid(crypto_secretbox_NONCEBYTES);
    QByteArray plain(box.size() - qsizetype(crypto_secretbox_MACBYTES), Qt::Uninitialized);
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char *>(plain.data()),
                                   reinterpret_cast<const unsigned char *>(box.constData()), quint64(box.size()),
                                   reinterpret_cast<const unsigned char *>(sealed.constData()),
                                   reinterpret_cast<const unsigned char *>(key.constData()))
        != 0)
        return {};
    return QString::fromUtf8(plain);
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

Accounts::Accounts(Store &store, const ServiceOptions &options)
    : m_store(store)
    , m_options(options)
{
    // Sealing needs it; PasswordHash reports a library that cannot start.
    if (sodium_init() < 0)
        qWarning("libsodium could not start");
}

qint64 Accounts::refreshLifetimeMs() const
{
    return std::max<qint64>(0, m_options.refreshTtlSeconds) * 1000;
}

QString Accounts::publicKey()
{
    if (m_publicKey.isEmpty()) {
        const QString candidate = QStringLiteral("zarno-local-") + newToken();
        m_publicKey = m_store.settledValue(QStringLiteral("public_key"), candidate).value_or(candidate);
    }
    return m_publicKey;
}

QString Accounts::normalisedEmail(const QString &email)
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


std::optional<GrantResult> Accounts::refuseSignInInput(const QString &address, const QString &password)
{
    if (address.isEmpty())
        return failure(400, QStringLiteral("validation_failed"), QStringLiteral("Enter a valid e-mail address."));
    if (password.size() < minimumPasswordLength)
        return failure(400, QStringLiteral("weak_password"), QStringLiteral("Password should be at least 6 characters."));
    return std::nullopt;
}

Credentials Accounts::credentials(const QString &address)
{
    return m_store.credentials(address);
}

std::optional<Account> Accounts::createAccount(const QString &address, const StoredPassword &password)
{
    if (password.hash.isEmpty())
        return std::nullopt;
    return m_store.createAccount(address, password, m_options.nowMs());
}

bool Accounts::replacePassword(qint64 accountId, const StoredPassword &password)
{
    return !password.hash.isEmpty() && m_store.replacePassword(accountId, password);
}

GrantResult Accounts::startFamily(const Account &account)
{
    const QString refreshToken = newToken();
    const QString family = QUuid::createUuid().toString(QUuid::WithoutBraces);
    std::optional<TokenGrant> grant;
    if (m_store.addRefreshToken({digestOf(refreshToken), account.id, family, m_options.nowMs(), std::nullopt, false}))
        grant = issue(account, refreshToken, family);
    if (!grant)
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    GrantResult result;
    result.grant = grant;
    return result;
}


bool Accounts::signOut(const QString &accessToken)
{
    if (accessToken.isEmpty())
        return false;
    const QString digest = digestOf(accessToken);
    const auto token = m_store.accessToken(digest);
    if (!token)
        return false;
    if (!token->family.isEmpty())
        m_store.revokeFamily(token->family);
    m_store.removeAccessToken(digest);
    return true;
}

std::optional<TokenGrant> Accounts::issue(const Account &account, const QString &refreshToken, const QString &family,
                                          AccessTokenRecord *record)
{
    const qint64 now = m_options.nowMs();
    const qint64 ttl = std::max<qint64>(0, m_options.tokenTtlSeconds);
    TokenGrant grant;
    grant.accessToken = newToken();
    grant.refreshToken = refreshToken;
    grant.expiresIn = ttl;
    grant.expiresAt = now / 1000 + ttl;
    grant.account = account;

    // Long-expired tokens are only kept to tell "expired" from "unknown" for a day.
    m_store.forgetTokens(now - 24 * 3600 * 1000LL, now - refreshLifetimeMs() - 24 * 3600 * 1000LL);
    const AccessTokenRecord access{digestOf(grant.accessToken), account.id, family, now + ttl * 1000};
    if (record)
        *record = access;
    else if (!m_store.addAccessToken(access))
        return std::nullopt;
    return grant;
}

GrantResult Accounts::refresh(const QString &refreshToken)
{
    if (refreshToken.isEmpty())
        return invalidGrant(QStringLiteral("Refresh Token is required"));
    const qint64 now = m_options.nowMs();
    const qint64 reuseMs = std::max<qint64>(0, m_options.refreshReuseSeconds) * 1000;
    const QString digest = digestOf(refreshToken);
    const Found<RefreshTokenRecord> found = m_store.refreshToken(digest);
    if (!found.ok)
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The account store is not available."));
    if (!found.value || found.value->revoked)
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    const RefreshTokenRecord &token = *found.value;
    const auto account = m_store.account(token.accountId);
    if (!account)
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    if (now - token.createdAtMs > refreshLifetimeMs())
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Refresh Token Expired"));
    if (!token.usedAtMs)
        return rotate(*account, refreshToken, token.family);

    if (now - *token.usedAtMs > reuseMs) {
        // Someone holds a copy of a spent token: nothing of this sign-in can be trusted.
        m_store.revokeFamily(token.family);
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Already Used"));
    }
    // A client that lost the answer to its own rotation gets the active token again.
    const QString current = activeSuccessor(refreshToken, now - reuseMs);
    if (current.isEmpty())
        return invalidGrant(QStringLiteral("Invalid Refresh Token: Already Used"));
    GrantResult result;
    result.grant = issue(*account, current, token.family);
    if (!result.grant)
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    return result;
}

QString Accounts::activeSuccessor(const QString &refreshToken, qint64 notBeforeMs)
{
    // Bounded: rows that point in a circle must not hold the service.
    constexpr int longestChain = 64;
    QString current;
    QString at = refreshToken;
    for (int i = 0; i < longestChain; ++i) {
        const auto sealed = m_store.rotation(digestOf(at), notBeforeMs);
        const QString next = sealed ? unseal(*sealed, at) : QString();
        if (next.isEmpty())
            break;
        current = next;
        at = next;
    }
    return current;
}

GrantResult Accounts::rotate(const Account &account, const QString &refreshToken, const QString &family)
{
    const QString digest = digestOf(refreshToken);
    const qint64 now = m_options.nowMs();
    const QString successor = newToken();
    AccessTokenRecord access;
    GrantResult result;
    result.grant = issue(account, successor, family, &access);
    if (!result.grant
        || !m_store.rotate(digest, now, {digestOf(successor), account.id, family, now, std::nullopt, false}, access))
        return failure(500, QStringLiteral("server_error"), QStringLiteral("The sign-in could not be stored."));
    const qint64 reuseMs = std::max<qint64>(0, m_options.refreshReuseSeconds) * 1000;
    m_store.keepRotation(digest, seal(successor, refreshToken), now, now - reuseMs);
    return result;
}

Accounts::AccessCheck Accounts::checkAccess(const QString &accessToken)
{
    AccessCheck check;
    if (accessToken.isEmpty())
        return check;
    const auto token = m_store.accessToken(digestOf(accessToken));
    if (!token)
        return check;
    const auto account = m_store.account(token->accountId);
    if (!account)
        return check;
    check.account = *account;
    check.state = m_options.nowMs() < token->expiresAtMs ? AccessState::Valid : AccessState::Expired;
    return check;
}
