#include "sqlitestore.h"

#include "notestext.h"
#include "storerows.h"

#include <QFile>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace {

// 1: accounts, token families and notes. 2: one note per account and sourceClientId.
// 3: summaries beside the notes. 4: titles the user gives, and a full-text index.
// 5: sign-in failures and recent rotations.
constexpr int schemaVersion = 5;

const char *const tables[] = {
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS accounts ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, email TEXT NOT NULL UNIQUE,"
    " salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT NULL,"
    " created_at INTEGER NOT NULL)",
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

// Notes saved more than once before a save was known by its sourceClientId:
// the newest copy stays.
const char olderCopy[] =
    "EXISTS (SELECT 1 FROM sessions n WHERE n.account_id = s.account_id"
    " AND n.source_client_id = s.source_client_id"
    " AND (n.created_at > s.created_at OR (n.created_at = s.created_at AND n.rowid > s.rowid)))";

const char noteColumns[] =
    "SELECT id, source_client_id, started_at, ended_at, source_language, target_language,"
    " only_transcript, timezone, created_at, coalesce(title, ''),"
    " coalesce((SELECT json_extract(m.content, '$.overview') FROM summaries m"
    " WHERE m.session_id = id AND m.status = 'ready' AND json_valid(m.content)), '')";

// A list's columns after noteColumns: lines, first line, first translation.
const char listColumns[] =
    ", (SELECT COUNT(*) FROM entries e WHERE e.session_id = s.id),"
    " (SELECT text FROM entries e WHERE e.session_id = s.id AND translated = 0"
    " AND trim(text) <> '' ORDER BY position LIMIT 1),"
    " (SELECT text FROM entries e WHERE e.session_id = s.id AND translated = 1"
    " AND trim(text) <> '' ORDER BY position LIMIT 1)";

bool createTables(QSqlQuery &query)
{
    for (const char *statement : tables) {
        if (!query.exec(QLatin1StringView(statement)))
            return false;
    }
    // Files made before token families existed gain the columns; their
    // tokens each stand as a family of their own.
    for (const char *table : {"refresh_tokens", "access_tokens"}) {
        bool hasFamily = false;
        query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(QLatin1StringView(table)));
        while (query.next())
            hasFamily = hasFamily || query.value(1).toString() == QLatin1StringView("family");
        if (!hasFamily && !query.exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN family TEXT").arg(QLatin1StringView(table))))
            return false;
    }
    return query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS refresh_tokens_by_family ON refresh_tokens (family)"))
        && query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS access_tokens_by_family ON access_tokens (family)"));
}

bool mergeRepeatedNotes(QSqlQuery &query)
{
    return query.exec(QStringLiteral("DELETE FROM entries WHERE session_id IN (SELECT id FROM sessions s WHERE %1)")
                          .arg(QLatin1StringView(olderCopy)))
        && query.exec(QStringLiteral("DELETE FROM sessions AS s WHERE %1").arg(QLatin1StringView(olderCopy)))
        && query.exec(QStringLiteral(
            "CREATE UNIQUE INDEX IF NOT EXISTS sessions_by_client ON sessions (account_id, source_client_id)"));
}

// Binds the columns that a save of the same note replaces, in this order.
void bindContent(QSqlQuery &query, const NotesBody &body)
{
    query.addBindValue(body.startedAt);
    query.addBindValue(body.endedAt);
    query.addBindValue(body.sourceLanguage);
    query.addBindValue(body.targetLanguage);
    query.addBindValue(body.onlyTranscript ? 1 : 0);
    query.addBindValue(body.timezone);
}

// One statement with its values bound in order.
bool run(const QSqlDatabase &connection, const QString &statement, const QVariantList &values)
{
    QSqlQuery query(connection);
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

} // namespace

SqliteStore::~SqliteStore()
{
    if (m_connectionName.isEmpty())
        return;
    {
        QSqlDatabase connection = QSqlDatabase::database(m_connectionName, false);
        connection.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

QSqlDatabase SqliteStore::db() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

bool SqliteStore::open(const QString &filePath)
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
    {
        QSqlQuery query(connection);
        query.exec(QStringLiteral("PRAGMA foreign_keys = ON"));
        query.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    }
    return upgrade();
}

bool SqliteStore::upgrade()
{
    QSqlDatabase connection = db();
    QSqlQuery query(connection);
    const int version = query.exec(QStringLiteral("PRAGMA user_version")) && query.next() ? query.value(0).toInt() : -1;
    if (version < 0 || version > schemaVersion) {
        m_error = version < 0 ? query.lastError().text()
                              : QStringLiteral("it was written by a newer zarno-server (schema %1).").arg(version);
        return false;
    }
    if (version == schemaVersion)
        return true;
    // All steps or none: a failed upgrade leaves the file as it was.
    bool ok = connection.transaction();
    if (ok && version < 1)
        ok = createTables(query);
    if (ok && version < 2)
        ok = mergeRepeatedNotes(query);
    if (ok && version < 3)
        ok = query.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS summaries (session_id TEXT PRIMARY KEY, account_id INTEGER NOT NULL,"
            " status TEXT NOT NULL, reason TEXT NOT NULL, content TEXT NOT NULL)"));
    if (ok && version < 4 && !addNotesIndex(query)) {
        // Without FTS5 in the SQLite that Qt uses, the service cannot search.
        m_error = QStringLiteral("full-text search (SQLite FTS5) is not available: %1").arg(query.lastError().text());
        connection.rollback();
        return false;
    }
    ok = ok && (version >= 5 || addSignInTables(query));
    ok = ok && query.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion)) && connection.commit();
    if (!ok) {
        m_error = query.lastError().isValid() ? query.lastError().text() : connection.lastError().text();
        connection.rollback();
    }
    return ok;
}

std::optional<QString> SqliteStore::settledValue(const QString &key, const QString &candidate)
{
    run(db(), QStringLiteral("INSERT OR IGNORE INTO meta (key, value) VALUES (?, ?)"), {key, candidate});
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT value FROM meta WHERE key = ?"));
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return query.value(0).toString();
}

Credentials SqliteStore::credentials(const QString &email)
{
    Credentials found;
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT id, salt, hash, iterations, created_at FROM accounts WHERE email = ?"));
    query.addBindValue(email);
    if (!query.exec()) {
        found.ok = false;
        return found;
    }
    if (query.next()) {
        StoreRows::readCredentials(query, email, found);
    }
    return found;
}

std::optional<Account> SqliteStore::account(qint64 id)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT id, email, created_at FROM accounts WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return Account{query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toLongLong()};
}

std::optional<Account> SqliteStore::createAccount(const QString &email, const StoredPassword &password,
                                                  qint64 createdAtMs)
{
    QSqlQuery insert(db());
    insert.prepare(QStringLiteral("INSERT INTO accounts (email, salt, hash, iterations, created_at) VALUES (?, ?, ?, ?, ?)"));
    insert.addBindValue(email);
    StoreRows::bindPassword(insert, password);
    insert.addBindValue(createdAtMs);
    if (!insert.exec())
        return std::nullopt;
    return Account{insert.lastInsertId().toLongLong(), email, createdAtMs};
}

bool SqliteStore::replacePassword(qint64 accountId, const StoredPassword &password)
{
    QSqlQuery update(db());
    update.prepare(QStringLiteral("UPDATE accounts SET salt = ?, hash = ?, iterations = ? WHERE id = ?"));
    StoreRows::bindPassword(update, password);
    update.addBindValue(accountId);
    return update.exec() && update.numRowsAffected() == 1;
}

bool SqliteStore::addRefreshToken(const RefreshTokenRecord &token)
{
    return run(db(), QStringLiteral("INSERT INTO refresh_tokens (digest, account_id, created_at, family) VALUES (?, ?, ?, ?)"),
               {token.digest, token.accountId, token.createdAtMs, token.family});
}

Found<RefreshTokenRecord> SqliteStore::refreshToken(const QString &digest)
{
    Found<RefreshTokenRecord> found;
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT account_id, used_at, revoked, created_at, COALESCE(family, digest)"
                                 " FROM refresh_tokens WHERE digest = ?"));
    query.addBindValue(digest);
    found.ok = query.exec();
    if (!found.ok || !query.next())
        return found;
    found.value = StoreRows::refreshToken(query, digest);
    return found;
}

bool SqliteStore::rotate(const QString &digest, qint64 usedAtMs, const RefreshTokenRecord &successor,
                         const AccessTokenRecord &access)
{
    QSqlDatabase connection = db();
    if (!connection.transaction())
        return false;
    QSqlQuery mark(connection);
    mark.prepare(QStringLiteral("UPDATE refresh_tokens SET used_at = ?, successor = ? WHERE digest = ? AND used_at IS NULL"));
    mark.addBindValue(usedAtMs);
    mark.addBindValue(successor.digest);
    mark.addBindValue(digest);
    if (!mark.exec() || mark.numRowsAffected() != 1 || !addRefreshToken(successor) || !addAccessToken(access)
        || !connection.commit()) {
        connection.rollback();
        return false;
    }
    return true;
}

void SqliteStore::revokeFamily(const QString &family)
{
    run(db(), QStringLiteral("UPDATE refresh_tokens SET revoked = 1 WHERE family = ?"), {family});
    run(db(), QStringLiteral("DELETE FROM access_tokens WHERE family = ?"), {family});
}

bool SqliteStore::addAccessToken(const AccessTokenRecord &token)
{
    return run(db(), QStringLiteral("INSERT INTO access_tokens (digest, account_id, expires_at, family) VALUES (?, ?, ?, ?)"),
               {token.digest, token.accountId, token.expiresAtMs, token.family});
}

std::optional<AccessTokenRecord> SqliteStore::accessToken(const QString &digest)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT account_id, expires_at, family FROM access_tokens WHERE digest = ?"));
    query.addBindValue(digest);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return AccessTokenRecord{digest, query.value(0).toLongLong(), query.value(2).toString(), query.value(1).toLongLong()};
}

void SqliteStore::removeAccessToken(const QString &digest)
{
    run(db(), QStringLiteral("DELETE FROM access_tokens WHERE digest = ?"), {digest});
}

void SqliteStore::forgetTokens(qint64 accessExpiredBeforeMs, qint64 refreshMadeBeforeMs)
{
    run(db(), QStringLiteral("DELETE FROM access_tokens WHERE expires_at < ?"), {accessExpiredBeforeMs});
    run(db(), QStringLiteral("DELETE FROM refresh_tokens WHERE created_at < ?"), {refreshMadeBeforeMs});
}

std::optional<QString> SqliteStore::saveNote(qint64 accountId, const NotesBody &body, const QString &newId,
                                             qint64 nowMs)
{
    QSqlDatabase connection = db();
    if (!connection.transaction())
        return std::nullopt;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT id FROM sessions WHERE account_id = ? AND source_client_id = ?"));
    query.addBindValue(accountId);
    query.addBindValue(body.sourceClientId);
    bool ok = query.exec();
    const bool known = ok && query.next();
    const QString id = known ? query.value(0).toString() : newId;
    if (known) {
        query.prepare(QStringLiteral("UPDATE sessions SET started_at = ?, ended_at = ?, source_language = ?,"
                                     " target_language = ?, only_transcript = ?, timezone = ? WHERE id = ?"));
        bindContent(query, body);
        query.addBindValue(id);
    } else {
        query.prepare(QStringLiteral(
            "INSERT INTO sessions (started_at, ended_at, source_language, target_language, only_transcript, timezone,"
            " id, account_id, source_client_id, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        bindContent(query, body);
        query.addBindValue(id);
        query.addBindValue(accountId);
        query.addBindValue(body.sourceClientId);
        query.addBindValue(nowMs);
    }
    ok = ok && query.exec() && writeEntries(id, body.entries) && reindexNote(id) && connection.commit();
    if (!ok) {
        connection.rollback();
        return std::nullopt;
    }
    return id;
}

bool SqliteStore::writeEntries(const QString &noteId, const QList<NoteEntry> &entries)
{
    bool ok = run(db(), QStringLiteral("DELETE FROM entries WHERE session_id = ?"), {noteId});
    QSqlQuery line(db());
    line.prepare(QStringLiteral("INSERT INTO entries (session_id, position, t, text, lang, translated, speaker, source)"
                                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    for (qsizetype i = 0; ok && i < entries.size(); ++i) {
        StoreRows::bindEntry(line, noteId, i, entries.at(i));
        ok = line.exec();
    }
    return ok;
}

QList<StoredNote> SqliteStore::notes(qint64 accountId)
{
    QSqlQuery query(db());
    query.prepare(QLatin1StringView(noteColumns) + QLatin1StringView(listColumns)
                  + QStringLiteral(" FROM sessions s WHERE account_id = ?"
                                   " ORDER BY started_at DESC, created_at DESC, rowid DESC"));
    query.addBindValue(accountId);
    QList<StoredNote> notes;
    if (!query.exec())
        return notes;
    while (query.next())
        notes.append(StoreRows::listedNote(query));
    return notes;
}

QList<StoredNote> SqliteStore::searchNotes(qint64 accountId, const QStringList &words)
{
    const QString expression = NoteSearch::matchExpression(words);
    if (expression.isEmpty())
        return {};
    QSqlQuery query(db());
    // Titles and overviews weigh more than lines; ties go to the newest note.
    query.prepare(QLatin1StringView(noteColumns) + QLatin1StringView(listColumns)
                  + QStringLiteral(", snippet(notes_index, -1, char(57344), char(57345), '\u2026', 12)"
                                   " FROM sessions s JOIN notes_index ON notes_index.note_id = s.id"
                                   " WHERE notes_index MATCH ? AND s.account_id = ?"
                                   " ORDER BY bm25(notes_index, 0.0, 5.0, 1.0), s.started_at DESC LIMIT 100"));
    query.addBindValue(expression);
    query.addBindValue(accountId);
    QList<StoredNote> notes;
    if (!query.exec())
        return notes;
    while (query.next()) {
        StoredNote note = StoreRows::listedNote(query);
        note.snippet = query.value(14).toString();
        notes.append(note);
    }
    return notes;
}

std::optional<StoredNote> SqliteStore::note(qint64 accountId, const QString &id)
{
    QSqlDatabase connection = db();
    QSqlQuery query(connection);
    query.prepare(QLatin1StringView(noteColumns) + QStringLiteral(" FROM sessions s WHERE account_id = ? AND id = ?"));
    query.addBindValue(accountId);
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    StoredNote note = StoreRows::note(query);
    QSqlQuery lines(connection);
    lines.prepare(QStringLiteral("SELECT t, text, lang, translated, speaker, source FROM entries WHERE session_id = ? ORDER BY position"));
    lines.addBindValue(id);
    if (lines.exec()) {
        while (lines.next())
            note.body.entries.append(StoreRows::entry(lines));
    }
    return note;
}

NoteSummary SqliteStore::noteSummary(const QString &noteId)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT status, reason, content FROM summaries WHERE session_id = ?"));
    query.addBindValue(noteId);
    if (!query.exec() || !query.next())
        return {};
    return StoreRows::summary(query.value(0).toString(), query.value(1).toString(), query.value(2).toByteArray());
}

bool SqliteStore::keepSummary(const QString &noteId, const NoteSummary &summary)
{
    QSqlQuery query(db());
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO summaries (session_id, account_id, status, reason, content)"
                                 " SELECT id, account_id, ?, ?, ? FROM sessions WHERE id = ?"));
    query.addBindValue(NoteSummary::statusName(summary.status));
    query.addBindValue(summary.reason.isNull() ? QStringLiteral("") : summary.reason); // a null string binds as NULL
    query.addBindValue(QString::fromUtf8(QJsonDocument(summary.summary.toJson()).toJson(QJsonDocument::Compact)));
    query.addBindValue(noteId);
    // A ready overview can name the note, so the index follows it.
    return query.exec() && query.numRowsAffected() == 1 && reindexNote(noteId);
}

QList<std::pair<qint64, QString>> SqliteStore::pendingSummaries()
{
    QList<std::pair<qint64, QString>> pending;
    QSqlQuery query(db());
    if (!query.exec(QStringLiteral("SELECT account_id, session_id FROM summaries WHERE status = 'pending' ORDER BY rowid")))
        return pending;
    while (query.next())
        pending.append({query.value(0).toLongLong(), query.value(1).toString()});
    return pending;
}
