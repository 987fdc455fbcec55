#pragma once

#include <QHash>
#include <QString>

class QHostAddress;
class Store;

// Backoff for password guessing, one key per account. Every attempt counts as
// a failure when it is let through, before its password is hashed, so that
// guesses sent all at once meet the lock as surely as guesses sent in turn;
// only a handful of one key's attempts are checked at a time. The attempt
// that reaches the allowance locks the key for a second, each later one twice
// as long as the one before, up to a couple of minutes. A success clears the key.
// Failures and locks live in the store, so that every instance on it counts
// the same guesses; how many of one key's attempts this instance is checking
// is its own.
class SignInThrottle
{
public:
    struct Rule
    {
        int freeFailures = 5; // the failure that locks first
        int maxInFlight = 3;  // attempts of one key being checked at once
        qint64 firstLockMs = 1000;
        qint64 maxLockMs = 2 * 60 * 1000;
    };

    explicit SignInThrottle(Store &store);
    SignInThrottle(Store &store, Rule rule);

    // The key of one account's attempts: the account, and the client's address
    // when it is the client's own. Every client of a loopback service, and
    // every client behind a proxy, shares one address, which must not let one
    // of them lock out the others.
    [[nodiscard]] static QString keyFor(const QString &account, const QHostAddress &peer, bool forwarded);

    // 0 when the attempt may be checked now (it is counted as failed until
    // finished() says otherwise); otherwise the seconds until one may.
    [[nodiscard]] qint64 admit(const QString &key, qint64 nowMs);
    // An admitted attempt's check is over.
    void finished(const QString &key, bool succeeded);

private:
    Store &m_store;
    Rule m_rule;
    QHash<QString, int> m_inFlight;
};
