#pragma once

#include "serviceoptions.h"

#include <QHash>
#include <QJsonObject>
#include <QString>

#include <optional>

class Database;

struct Account
{
    qint64 id = 0;
    QString email;
    qint64 createdAtMs = 0;
};

// A fresh token set, answered by both grants.
struct TokenGrant
{
    QString accessToken;
    QString refreshToken;
    qint64 expiresIn = 0; // seconds
    qint64 expiresAt = 0; // seconds since 1970
    Account account;

    [[nodiscard]] QJsonObject toJson() const;
};

// The outcome of a grant: a token set, or the HTTP status and error object to answer.
struct GrantResult
{
    std::optional<TokenGrant> grant;
    int status = 200;
    QString error;
    QString description;

    [[nodiscard]] QJsonObject errorJson() const;
};

// Accounts, their salted password hashes and their tokens. Tokens are random,
// stored only as digests, and checked against the injected clock.
class AccountStore
{
public:
    enum class AccessState { Valid, Expired, Unknown };
    struct AccessCheck
    {
        AccessState state = AccessState::Unknown;
        Account account;
    };

    AccountStore(Database &database, const ServiceOptions &options);

    // The public key clients send as "apikey"; made once per data directory.
    [[nodiscard]] QString publicKey();

    // The password grant: the first sign-in of an address creates its account.
    GrantResult signIn(const QString &email, const QString &password);
    // The refresh-token grant with rotation and a short reuse interval.
    GrantResult refresh(const QString &refreshToken);
    [[nodiscard]] AccessCheck checkAccess(const QString &accessToken);

    [[nodiscard]] static QString normalisedEmail(const QString &email);

private:
    [[nodiscard]] qint64 nowMs() const;
    std::optional<TokenGrant> issue(const Account &account, const QString &refreshToken);
    std::optional<Account> accountById(qint64 id);

    Database &m_database;
    const ServiceOptions &m_options;
    QString m_publicKey;
    // Successors of recently rotated refresh tokens, kept in memory only for
    // the reuse interval: digest of the old token -> the new token itself.
    struct Rotation
    {
        QString successor;
        qint64 atMs = 0;
    };
    QHash<QString, Rotation> m_recentRotations;
};
