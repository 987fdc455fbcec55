#include "database.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace {

const char *const schema[] = {
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS accounts ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, email TEXT NOT NULL UNIQUE,"
    " salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT NULL,"
    " created_at INTEGER NOT NULL)",
    // Tokens are kept as SHA-256 digests only: the file never holds a usable token.
    "CREATE TABLE IF NOT EXISTS access_tokens ("
    " digest TEXT PRIMARY KEY, account_id INTEGER NOT NULL, expires_at INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS refresh_tokens ("
    " digest TEXT PRIMARY KEY, account_id INTEGER NOT NULL, created_at INTEGER NOT NULL,"
    " used_at INTEGER, successor TEXT, revoked INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS sessions ("
    " id TEXT PRIMARY KEY, account_id INTEGER NOT NULL, source_client_id TEXT NOT NULL,"
    " started_at INTEGER NOT NULL, ended_at INTEGER NOT NULL,"
    " source_language TEXT NOT NULL, target_language TEXT NOT NULL,"
    " only_transcript INTEGER NOT NULL, timezone TEXT NOT NULL, created_at INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS sessions_by_account ON sessions (account_id, started_at)",
    "CREATE TABLE IF NOT EXISTS entries ("
    " session_id TEXT NOT NULL, position INTEGER NOT NULL, t INTEGER NOT NULL,"
    " text TEXT NOT NULL, lang TEXT NOT NULL, translated INTEGER NOT NULL,"
    " PRIMARY KEY (session_id, position))",
};

} // namespace

Database::~Database()
{
    if (m_connectionName.isEmpty())
        return;
    {
        QSqlDatabase connection = QSqlDatabase::database(m_connectionName, false);
        connection.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool Database::open(const QString &filePath)
{
    m_connectionName = QStringLiteral("zarno-server-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSqlDatabase connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    connection.setDatabaseName(filePath);
    if (!connection.open()) {
        m_error = connection.lastError().text();
        return false;
    }
    // The file holds password hashes: owner only.
    QFile::setPermissions(filePath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QSqlQuery query(connection);
    query.exec(QStringLiteral("PRAGMA foreign_keys = ON"));
    query.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    for (const char *statement : schema) {
        if (!query.exec(QLatin1StringView(statement))) {
            m_error = query.lastError().text();
            return false;
        }
    }
    // Files made before token families existed gain the columns; their
    // tokens each stand as a family of their own.
    for (const char *table : {"refresh_tokens", "access_tokens"}) {
        bool hasFamily = false;
        query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(QLatin1StringView(table)));
        while (query.next())
            hasFamily = hasFamily || query.value(1).toString() == QLatin1StringView("family");
        if (!hasFamily && !query.exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN family TEXT").arg(QLatin1StringView(table)))) {
            m_error = query.lastError().text();
            return false;
        }
    }
    query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS refresh_tokens_by_family ON refresh_tokens (family)"));
    query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS access_tokens_by_family ON access_tokens (family)"));
    return true;
}

QSqlDatabase Database::db() const
{
    return QSqlDatabase::database(m_connectionName, false);
}
