// The PostgreSQL store's side of what every instance must see of sign-ins
// and live connections: the throttle's failures and locks, the successors of
// recent rotations, and the claims of live connections.
#include "pgliveclaims.h"
#include "pgstore.h"
#include "storerows.h"

#include <QVariant>

bool PgStore::addSignInTables(QSqlQuery &query)
{
    return query.exec(QStringLiteral("CREATE TABLE rotations (digest TEXT PRIMARY KEY, successor BYTEA NOT NULL,"
                                     " at BIGINT NOT NULL)"))
        && query.exec(QStringLiteral("CREATE INDEX rotations_by_time ON rotations (at)"))
        && query.exec(QStringLiteral("CREATE TABLE sign_in_failures (key TEXT PRIMARY KEY, failures INTEGER NOT NULL,"
                                     " locked_until BIGINT NOT NULL, last_at BIGINT NOT NULL)"))
        && query.exec(QStringLiteral("CREATE INDEX sign_in_failures_by_time ON sign_in_failures (last_at)"));
}

bool PgStore::keepRotation(const QString &digest, const QByteArray &sealedSuccessor, qint64 atMs, qint64 forgetBeforeMs)
{
    return retrying([&] {
        return run(QStringLiteral("DELETE FROM rotations WHERE at < ?"), {forgetBeforeMs})
            && run(QStringLiteral("INSERT INTO rotations (digest, successor, at) VALUES (?, ?, ?) ON CONFLICT (digest)"
                                  " DO UPDATE SET successor = EXCLUDED.successor, at = EXCLUDED.at"),
                   {digest, sealedSuccessor, atMs});
    });
}

std::optional<QByteArray> PgStore::rotation(const QString &digest, qint64 notBeforeMs)
{
    return retrying([&]() -> std::optional<QByteArray> {
        QSqlQuery query = prepared(QStringLiteral("SELECT successor FROM rotations WHERE digest = ? AND at >= ?"),
                                   {digest, notBeforeMs});
        if (!exec(query) || !query.next())
            return std::nullopt;
        return query.value(0).toByteArray();
    });
}

SignInFailures PgStore::countSignInFailure(const QString &key, qint64 nowMs, qint64 forgetIdleBeforeMs)
{
    return retrying([&] {
        run(QStringLiteral("DELETE FROM sign_in_failures WHERE last_at < ? AND locked_until <= ?"),
            {forgetIdleBeforeMs, nowMs});
        // One statement: attempts on several instances at once are each counted.
        QSqlQuery query = prepared(
            QStringLiteral("INSERT INTO sign_in_failures AS f (key, failures, locked_until, last_at) VALUES (?, 1, 0, ?)"
                           " ON CONFLICT (key) DO UPDATE SET"
                           " failures = f.failures + CASE WHEN f.locked_until <= EXCLUDED.last_at THEN 1 ELSE 0 END,"
                           " last_at = CASE WHEN f.locked_until <= EXCLUDED.last_at THEN EXCLUDED.last_at ELSE f.last_at END"
                           " RETURNING failures, locked_until"),
            {key, nowMs});
        const bool ok = exec(query);
        return StoreRows::signInFailures(ok, query, nowMs);
    });
}

SignInFailures PgStore::signInFailures(const QString &key)
{
    return retrying([&] {
        QSqlQuery query = prepared(QStringLiteral("SELECT failures, locked_until FROM sign_in_failures WHERE key = ?"), {key});
        const bool ok = exec(query);
        return StoreRows::signInFailures(ok, query);
    });
}

void PgStore::lockSignIns(const QString &key, qint64 untilMs)
{
    retrying([&] {
        return run(QStringLiteral("UPDATE sign_in_failures SET locked_until = GREATEST(locked_until, ?) WHERE key = ?"),
                   {untilMs, key});
    });
}

void PgStore::clearSignInFailures(const QString &key)
{
    retrying([&] { return run(QStringLiteral("DELETE FROM sign_in_failures WHERE key = ?"), {key}); });
}

std::unique_ptr<LiveClaims> PgStore::makeLiveClaims()
{
    return std::make_unique<PgLiveClaims>(m_connectionName);
}
