#pragma once

#include "serviceoptions.h"
#include "store.h"

#include <QJsonObject>
#include <QString>

#include <optional>

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

// The rules of accounts and their tokens, over the store. Tokens are random,
// stored only as digests, and checked against the injected clock. Each
// sign-in starts a family of refresh tokens; every rotation stays in the family.
class Accounts
{
public:
    enum class AccessState { Valid, Expired, Unknown };
    struct AccessCheck
    {
        AccessState state = AccessState::Unknown;
        Account account;
    };

    Accounts(Store &store, const ServiceOptions &options);

    // The public key clients send as "apikey"; made once per data directory.
    [[nodiscard]] QString publicKey();

    // What the password grant checks before any hashing: a failure to answer, or nothing.
    [[nodiscard]] static std::optional<GrantResult> refuseSignInInput(const QString &address, const QString &password);
    // The stored password of an address; no account when it has none yet.
    [[nodiscard]] Credentials credentials(const QString &address);
    // A new account; nothing when the address already has one or the store failed.
    std::optional<Account> createAccount(const QString &address, const StoredPassword &password);
    bool replacePassword(qint64 accountId, const StoredPassword &password);
    // A sign-in that passed its password check: a new token family.
    GrantResult startFamily(const Account &account);

    // The refresh-token grant with rotation and a short reuse interval; a
    // spent token used after that interval revokes its whole family.
    GrantResult refresh(const QString &refreshToken);
    [[nodiscard]] AccessCheck checkAccess(const QString &accessToken);
    // Ends the sign-in that the access token (even an expired one) belongs
    // to: its family's refresh and access tokens. False for an unknown token.
    bool signOut(const QString &accessToken);

    [[nodiscard]] static QString normalisedEmail(const QString &email);

private:
    [[nodiscard]] qint64 refreshLifetimeMs() const;
    // A grant with a new access token, stored now, or left in *record for the caller to store.
    std::optional<TokenGrant> issue(const Account &account, const QString &refreshToken, const QString &family,
                                    AccessTokenRecord *record = nullptr);
    GrantResult rotate(const Account &account, const QString &refreshToken, const QString &family);
    // The active token of a family whose rotations began with this token, within the reuse interval.
    [[nodiscard]] QString activeSuccessor(const QString &refreshToken, qint64 nowMs);

    Store &m_store;
    const ServiceOptions &m_options;
    QString m_publicKey;
};
