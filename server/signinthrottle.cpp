#include "signinthrottle.h"

#include <algorithm>

namespace {

// Bounds each table; unlocked keys make room first.
constexpr qsizetype maxEntries = 100'000;

} // namespace

SignInThrottle::SignInThrottle(Rule perAccount, Rule perAddress)
    : m_accountRule(perAccount)
    , m_addressRule(perAddress)
{
}

qint64 SignInThrottle::remainingMs(const QHash<QString, Entry> &entries, const QString &key, qint64 nowMs)
{
    const auto it = entries.constFind(key);
    return it == entries.cend() ? 0 : std::max<qint64>(0, it->lockedUntilMs - nowMs);
}

qint64 SignInThrottle::retryAfterSeconds(const QString &account, const QString &address, qint64 nowMs) const
{
    const qint64 ms = std::max(remainingMs(m_accounts, account, nowMs), remainingMs(m_addresses, address, nowMs));
    return (ms + 999) / 1000;
}

void SignInThrottle::fail(QHash<QString, Entry> &entries, const QString &key, const Rule &rule, qint64 nowMs)
{
    if (entries.size() >= maxEntries)
        forgetOld(entries, rule, nowMs);
    Entry &entry = entries[key];
    entry.failures += 1;
    entry.lastMs = nowMs;
    const int over = entry.failures - rule.freeFailures + 1;
    if (over > 0) {
        const qint64 lock = std::min(rule.maxLockMs, rule.firstLockMs << std::min(over - 1, 30));
        entry.lockedUntilMs = nowMs + lock;
    }
}

void SignInThrottle::forgetOld(QHash<QString, Entry> &entries, const Rule &rule, qint64 nowMs)
{
    // Locked keys stay: forgetting them would undo the backoff.
    entries.removeIf([&](const QHash<QString, Entry>::iterator it) {
        return it->lockedUntilMs <= nowMs && (nowMs - it->lastMs > rule.maxLockMs || entries.size() >= maxEntries);
    });
}

void SignInThrottle::failed(const QString &account, const QString &address, qint64 nowMs)
{
    fail(m_accounts, account, m_accountRule, nowMs);
    fail(m_addresses, address, m_addressRule, nowMs);
}

void SignInThrottle::succeeded(const QString &account, const QString &address)
{
    m_accounts.remove(account);
    m_addresses.remove(address);
}
