// The store's side of finding notes again: titles the user gives, the
// full-text index (SQLite FTS5) and deleting a note whole.
#include "sqlitestore.h"

#include <QSqlQuery>
#include <QVariant>

namespace {

// One row per note: the user's title and the summary's overview (where an
// automatic title comes from), then every line and translation. The marks a
// snippet uses never stand in the index itself.
const char indexRows[] =
    "INSERT INTO notes_index (note_id, name, words) SELECT s.id,"
    " coalesce(s.title, '') || char(10) || coalesce((SELECT json_extract(m.content, '$.overview') FROM summaries m"
    " WHERE m.session_id = s.id AND m.status = 'ready' AND json_valid(m.content)), ''),"
    " replace(replace(coalesce((SELECT group_concat(text, char(10)) FROM"
    " (SELECT text FROM entries e WHERE e.session_id = s.id ORDER BY position)), ''),"
    " char(57344), ''), char(57345), '') FROM sessions s";

// A statement about one note, its id bound.
bool execForNote(const QSqlDatabase &connection, const QString &statement, const QString &id)
{
    QSqlQuery query(connection);
    query.prepare(statement);
    query.addBindValue(id);
    return query.exec();
}

} // namespace

bool SqliteStore::addNotesIndex(QSqlQuery &query)
{
    bool titled = false;
    query.exec(QStringLiteral("PRAGMA table_info(sessions)"));
    while (query.next())
        titled = titled || query.value(1).toString() == QLatin1StringView("title");
    bool labelled = false;
    query.exec(QStringLiteral("PRAGMA table_info(entries)"));
    while (query.next())
        labelled = labelled || query.value(1).toString() == QLatin1StringView("speaker");
    return (titled || query.exec(QStringLiteral("ALTER TABLE sessions ADD COLUMN title TEXT")))
        // Who spoke and which side of the call, where the app says.
        && (labelled
            || (query.exec(QStringLiteral("ALTER TABLE entries ADD COLUMN speaker TEXT NOT NULL DEFAULT ''"))
                && query.exec(QStringLiteral("ALTER TABLE entries ADD COLUMN source TEXT NOT NULL DEFAULT ''"))))
        // unicode61 with remove_diacritics 2: any case, and "cafe" finds "café".
        && query.exec(QStringLiteral("CREATE VIRTUAL TABLE IF NOT EXISTS notes_index USING fts5(note_id UNINDEXED,"
                                     " name, words, tokenize = 'unicode61 remove_diacritics 2')"))
        && query.exec(QStringLiteral("DELETE FROM notes_index")) && query.exec(QLatin1StringView(indexRows));
}

bool SqliteStore::renameNote(qint64 accountId, const QString &id, const QString &title)
{
    QSqlDatabase connection = db();
    if (!connection.transaction())
        return false;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("UPDATE sessions SET title = ? WHERE account_id = ? AND id = ?"));
    query.addBindValue(title.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(title));
    query.addBindValue(accountId);
    query.addBindValue(id);
    if (!query.exec() || query.numRowsAffected() != 1 || !reindexNote(id) || !connection.commit()) {
        connection.rollback();
        return false;
    }
    return true;
}

bool SqliteStore::deleteNote(qint64 accountId, const QString &id)
{
    QSqlDatabase connection = db();
    if (!connection.transaction())
        return false;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("DELETE FROM sessions WHERE account_id = ? AND id = ?"));
    query.addBindValue(accountId);
    query.addBindValue(id);
    const bool ok = query.exec() && query.numRowsAffected() == 1
        && execForNote(connection, QStringLiteral("DELETE FROM entries WHERE session_id = ?"), id)
        && execForNote(connection, QStringLiteral("DELETE FROM summaries WHERE session_id = ?"), id)
        && execForNote(connection, QStringLiteral("DELETE FROM notes_index WHERE note_id = ?"), id);
    if (!ok || !connection.commit()) {
        connection.rollback();
        return false;
    }
    return true;
}

bool SqliteStore::reindexNote(const QString &id)
{
    return execForNote(db(), QStringLiteral("DELETE FROM notes_index WHERE note_id = ?"), id)
        && execForNote(db(), QLatin1StringView(indexRows) + QStringLiteral(" WHERE s.id = ?"), id);
}
