// The store's side of what every instance must see of sign-ins: the
// throttle's failures and locks, and the successors of recent rotations.
#include "sqlitestore.h"
#include "storerows.h"

#include <QSqlQuery>
#include <QVariant>

bool SqliteStore::addSignInTables(QSqlQuery &query)
{
    return query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS rotations (digest TEXT PRIMARY KEY,"
                                     " successor BLOB NOT NULL, at INTEGER NOT NULL)"))
        && query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS rotations_by_time ON rotations (at)"))
        && query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sign_in_failures (key TEXT PRIMARY KEY,"
                                     " failures INTEGER NOT NULL, locked_until INTEGER NOT NULL,"
                                     " last_at INTEGER NOT NULL)"))
        && query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS sign_in_failures_by_time ON sign_in_failures (last_at)"));
}

bool SqliteStore::keepRotation(const QString &digest, const QByteArray &sealedSuccessor, qint64 atMs,
                               qint64 forgetBeforeMs)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("DELETE FROM rotations WHERE at < ?"));
    query.addBindValue(forgetBeforeMs);
    query.exec();
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO rotations (digest, successor, at) VALUES (?, ?, ?)"));
    query.addBindValue(digest);
    query.addBindValue(sealedSuccessor);
    query.addBindValue(atMs);
    return query.exec();
}

std::optional<QByteArray> SqliteStore::rotation(const QString &digest, qint64 notBeforeMs)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT successor FROM rotations WHERE digest = ? AND at >= ?"));
    query.addBindValue(digest);
    query.addBindValue(notBeforeMs);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return query.value(0).toByteArray();
}

SignInFailures SqliteStore::countSignInFailure(const QString &key, qint64 nowMs, qint64 forgetIdleBeforeMs)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("DELETE FROM sign_in_failures WHERE last_at < ? AND locked_until <= ?"));
    query.addBindValue(forgetIdleBeforeMs);
    query.addBindValue(nowMs);
    query.exec();
    // One statement, so that attempts at once are each counted.
    query.prepare(QStringLiteral(
        "INSERT INTO sign_in_failures (key, failures, locked_until, last_at) VALUES (:key, 1, 0, :now)"
        " ON CONFLICT (key) DO UPDATE SET failures = failures + (locked_until <= :now),"
        " last_at = CASE WHEN locked_until <= :now THEN :now ELSE last_at END"
        " RETURNING failures, locked_until"));
    query.bindValue(QStringLiteral(":key"), key);
    query.bindValue(QStringLiteral(":now"), nowMs);
    const bool ok = query.exec();
    return StoreRows::signInFailures(ok, query, nowMs);
}

SignInFailures SqliteStore::signInFailures(const QString &key)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT failures, locked_until FROM sign_in_failures WHERE key = ?"));
    query.addBindValue(key);
    const bool ok = query.exec();
    return StoreRows::signInFailures(ok, query);
}

void SqliteStore::lockSignIns(const QString &key, qint64 untilMs)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("UPDATE sign_in_failures SET locked_until = max(locked_until, ?) WHERE key = ?"));
    query.addBindValue(untilMs);
    query.addBindValue(key);
    query.exec();
}

void SqliteStore::clearSignInFailures(const QString &key)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("DELETE FROM sign_in_failures WHERE key = ?"));
    query.addBindValue(key);
    query.exec();
}
