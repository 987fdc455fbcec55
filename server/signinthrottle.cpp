#include "signinthrottle.h"

#include "store.h"

#include <QHostAddress>

#include <algorithm>

namespace {

// A key neither locked nor tried for this long starts afresh.
constexpr qint64 idleKeyMs = 24 * 3600 * 1000LL;

qint64 secondsUntil(qint64 lockedUntilMs, qint64 nowMs)
{
    return (lockedUntilMs - nowMs + 999) / 1000;
}

} // namespace

SignInThrottle::SignInThrottle(Store &store)
    : SignInThrottle(store, Rule{})
{
}

SignInThrottle::SignInThrottle(Store &store, Rule rule)
    : m_store(store)
    , m_rule(rule)
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
    // The ones being checked may still lock the key; their outcome is a moment away.
    if (m_inFlight.value(key) >= m_rule.maxInFlight) {
        const SignInFailures state = m_store.signInFailures(key);
        return state.lockedUntilMs > nowMs ? secondsUntil(state.lockedUntilMs, nowMs) : 1;
    }
    const SignInFailures state = m_store.countSignInFailure(key, nowMs, nowMs - idleKeyMs);
    // A store that cannot count cannot check a password either; the check says so.
    if (!state.ok)
        return 0;
    if (!state.counted)
        return std::max<qint64>(1, secondsUntil(state.lockedUntilMs, nowMs));
    m_inFlight[key] += 1;
    const int over = state.failures - m_rule.freeFailures + 1;
    if (over > 0)
        m_store.lockSignIns(key, nowMs + std::min(m_rule.maxLockMs, m_rule.firstLockMs << std::min(over - 1, 30)));
    return 0;
}

void SignInThrottle::finished(const QString &key, bool succeeded)
{
    if (succeeded) {
        m_store.clearSignInFailures(key);
        m_inFlight.remove(key);
        return;
    }
    const auto it = m_inFlight.find(key);
    if (it == m_inFlight.end())
        return;
    if (--*it <= 0)
        m_inFlight.erase(it);
}
