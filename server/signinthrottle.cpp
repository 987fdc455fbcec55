#include "signinthrottle.h"

#include <QHostAddress>

#include <algorithm>

namespace {

// Bounds the table; unlocked keys make room first.
constexpr qsizetype maxEntries = 100'000;

} // namespace

SignInThrottle::SignInThrottle(Rule rule)
    : m_rule(rule)
{
}

QString SignInThrottle::keyFor(const QString &account, const QHostAddress &peer, bool forwarded)
{
    bool isIpv4 = false;
    const QHostAddress plain(peer.toIPv4Address(&isIpv4));
    const bool shared = forwarded || peer.isNull() || peer.isLoopback() || (isIpv4 && plain.isLoopback());
    return shared ? account : account + QLatin1Char(' ') + (isIpv4 ? plain : peer).toString();
}

qint64 SignInThrottle::admit(const QString &key, qint64 nowMs)
{
    if (m_entries.size() >= maxEntries)
        forgetOld(nowMs);
    Entry &entry = m_entries[key];
    if (entry.lockedUntilMs > nowMs)
        return (entry.lockedUntilMs - nowMs + 999) / 1000;
    // The ones being checked may still lock the key; their outcome is a moment away.
    if (entry.inFlight >= m_rule.maxInFlight)
        return 1;
    entry.inFlight += 1;
    entry.failures += 1;
    entry.lastMs = nowMs;
    const int over = entry.failures - m_rule.freeFailures + 1;
    if (over > 0)
        entry.lockedUntilMs = nowMs + std::min(m_rule.maxLockMs, m_rule.firstLockMs << std::min(over - 1, 30));
    return 0;
}

void SignInThrottle::finished(const QString &key, bool succeeded)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return;
    if (succeeded) {
        m_entries.erase(it);
        return;
    }
    it->inFlight = std::max(0, it->inFlight - 1);
}

void SignInThrottle::forgetOld(qint64 nowMs)
{
    // Locked keys and keys being checked stay: forgetting them would undo the backoff.
    m_entries.removeIf([&](const QHash<QString, Entry>::iterator it) {
        return it->lockedUntilMs <= nowMs && it->inFlight == 0
            && (nowMs - it->lastMs > m_rule.maxLockMs || m_entries.size() >= maxEntries);
    });
}
