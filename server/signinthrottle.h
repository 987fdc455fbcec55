#pragma once

#include <QHash>
#include <QString>

// Backoff for password guessing, per account and per client address. The
// failure that reaches a key's allowance locks it for a second; each further
// failure locks it twice as long as the one before (capped). A success
// clears the key.
class SignInThrottle
{
public:
    struct Rule
    {
        int freeFailures = 5; // the failure that locks first
        qint64 firstLockMs = 1000;
        qint64 maxLockMs = 15 * 60 * 1000;
    };

    SignInThrottle(Rule perAccount, Rule perAddress);

    // Seconds until the next attempt may be checked (0: now), the larger of both keys.
    [[nodiscard]] qint64 retryAfterSeconds(const QString &account, const QString &address, qint64 nowMs) const;
    void failed(const QString &account, const QString &address, qint64 nowMs);
    void succeeded(const QString &account, const QString &address);

private:
    struct Entry
    {
        int failures = 0;
        qint64 lockedUntilMs = 0;
        qint64 lastMs = 0;
    };
    void fail(QHash<QString, Entry> &entries, const QString &key, const Rule &rule, qint64 nowMs);
    static qint64 remainingMs(const QHash<QString, Entry> &entries, const QString &key, qint64 nowMs);
    static void forgetOld(QHash<QString, Entry> &entries, const Rule &rule, qint64 nowMs);

    Rule m_accountRule;
    Rule m_addressRule;
    QHash<QString, Entry> m_accounts;
    QHash<QString, Entry> m_addresses;
};
