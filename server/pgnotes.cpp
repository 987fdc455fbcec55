// The PostgreSQL store's notes: saving, lists, search (tsvector), titles,
// deleting and the summaries kept beside them.
#include "pgstore.h"

#include "notestext.h"
#include "storerows.h"

#include <QJsonDocument>
#include <QVariant>

namespace {

const char noteColumns[] =
    "SELECT s.id, s.source_client_id, s.started_at, s.ended_at, s.source_language, s.target_language,"
    " s.only_transcript::int, s.timezone, s.created_at, coalesce(s.title, ''),"
    " coalesce((SELECT m.overview FROM summaries m WHERE m.session_id = s.id AND m.status = 'ready'), '')";

// A list's columns after noteColumns: lines, first line, first translation.
const char listColumns[] =
    ", (SELECT count(*) FROM entries e WHERE e.session_id = s.id),"
    " (SELECT text FROM entries e WHERE e.session_id = s.id AND NOT translated"
    " AND trim(text) <> '' ORDER BY position LIMIT 1),"
    " (SELECT text FROM entries e WHERE e.session_id = s.id AND translated"
    " AND trim(text) <> '' ORDER BY position LIMIT 1)";

// What search finds and quotes: the user's title and the ready overview
// (weighted above), then every line and translation. The snippet's marks
// never stand in it.
const char reindex[] =
    "UPDATE sessions s SET index_name = x.name, index_words = x.words,"
    " search = setweight(to_tsvector('zarno_words', x.name), 'A') || setweight(to_tsvector('zarno_words', x.words), 'B')"
    " FROM (SELECT coalesce(n.title, '') || chr(10) || coalesce((SELECT m.overview FROM summaries m"
    " WHERE m.session_id = n.id AND m.status = 'ready'), '') AS name,"
    " translate(coalesce((SELECT string_agg(e.text, chr(10) ORDER BY e.position) FROM entries e"
    " WHERE e.session_id = n.id), ''), ?, '') AS words FROM sessions n WHERE n.id = ?) x WHERE s.id = ?";

// About a dozen words around the first match, as SQLite's snippet gives.
QString headlineOptions()
{
    return QStringLiteral("StartSel=%1, StopSel=%2, MaxWords=12, MinWords=6, ShortWord=0, MaxFragments=1")
        .arg(NoteSearch::markOpen)
        .arg(NoteSearch::markClose);
}

// The headline with its markup as text again and an ellipsis where it does
// not reach the start or the end of its text.
QString snippetFrom(QString headline, const QString &source)
{
    headline.replace(QLatin1StringView("&lt;"), QLatin1StringView("<"))
        .replace(QLatin1StringView("&gt;"), QLatin1StringView(">"))
        .replace(QLatin1StringView("&amp;"), QLatin1StringView("&"));
    QString plain = headline;
    plain.remove(NoteSearch::markOpen).remove(NoteSearch::markClose);
    const QString trimmed = plain.trimmed();
    const QString whole = source.trimmed();
    QString snippet = headline.trimmed();
    if (!whole.startsWith(trimmed))
        snippet.prepend(QChar(0x2026));
    if (!whole.endsWith(trimmed))
        snippet.append(QChar(0x2026));
    return snippet;
}

} // namespace

std::optional<QString> PgStore::saveNote(qint64 accountId, const NotesBody &body, const QString &newId, qint64 nowMs)
{
    return retrying([&]() -> std::optional<QString> {
        if (!begin())
            return std::nullopt;
        // One statement, so two instances saving the same note at once keep one row.
        QSqlQuery upsert = prepared(
            QStringLiteral("INSERT INTO sessions (id, account_id, source_client_id, started_at, ended_at, source_language,"
                           " target_language, only_transcript, timezone, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                           " ON CONFLICT (account_id, source_client_id) DO UPDATE SET started_at = excluded.started_at,"
                           " ended_at = excluded.ended_at, source_language = excluded.source_language,"
                           " target_language = excluded.target_language, only_transcript = excluded.only_transcript,"
                           " timezone = excluded.timezone RETURNING id"),
            {newId, accountId, body.sourceClientId, body.startedAt, body.endedAt, body.sourceLanguage,
             body.targetLanguage, body.onlyTranscript, body.timezone, nowMs});
        const bool ok = exec(upsert) && upsert.next();
        const QString id = ok ? upsert.value(0).toString() : QString();
        if (!ok || !writeEntries(id, body.entries) || !reindexNote(id)) {
            rollback();
            return std::nullopt;
        }
        if (!commit())
            return std::nullopt;
        return id;
    });
}

bool PgStore::writeEntries(const QString &noteId, const QList<NoteEntry> &entries)
{
    bool ok = run(QStringLiteral("DELETE FROM entries WHERE session_id = ?"), {noteId});
    QSqlQuery line(db());
    line.prepare(QStringLiteral("INSERT INTO entries (session_id, position, t, text, lang, translated, speaker, source)"
                                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    for (qsizetype i = 0; ok && i < entries.size(); ++i) {
        StoreRows::bindEntry(line, noteId, i, entries.at(i));
        ok = exec(line);
    }
    return ok;
}

bool PgStore::reindexNote(const QString &id)
{
    const QString marks = QString(NoteSearch::markOpen) + NoteSearch::markClose;
    return run(QLatin1StringView(reindex), {marks, id, id});
}

QList<StoredNote> PgStore::notes(qint64 accountId)
{
    return retrying([&] {
        QList<StoredNote> notes;
        QSqlQuery query = prepared(QLatin1StringView(noteColumns) + QLatin1StringView(listColumns)
                                       + QStringLiteral(" FROM sessions s WHERE s.account_id = ?"
                                                        " ORDER BY s.started_at DESC, s.created_at DESC, s.seq DESC"),
                                   {accountId});
        if (!exec(query))
            return notes;
        while (query.next())
            notes.append(StoreRows::listedNote(query));
        return notes;
    });
}

QList<StoredNote> PgStore::searchNotes(qint64 accountId, const QStringList &words)
{
    const QString terms = NoteSearch::tsQuery(words);
    if (terms.isEmpty())
        return {};
    return retrying([&] {
        QList<StoredNote> notes;
        // The snippet quotes the title or overview where they match, else the lines.
        QSqlQuery query = prepared(
            QLatin1StringView(noteColumns) + QLatin1StringView(listColumns)
                + QStringLiteral(", h.source,"
                                 // PostgreSQL's parser leaves "<b>" out of a headline, but keeps "&lt;b&gt;".
                                 " ts_headline('zarno_words', replace(replace(replace(h.source, '&', '&amp;'), '<', '&lt;'), '>', '&gt;'), q, ?)"
                                 " FROM sessions s CROSS JOIN to_tsquery('zarno_words', ?) q"
                                 " CROSS JOIN LATERAL (SELECT CASE WHEN to_tsvector('zarno_words', s.index_name) @@ q"
                                 " THEN s.index_name ELSE s.index_words END AS source) h"
                                 " WHERE s.account_id = ? AND s.search @@ q"
                                 " ORDER BY ts_rank('{0, 0, 0.2, 1.0}', s.search, q) DESC, s.started_at DESC LIMIT 100"),
            {headlineOptions(), terms, accountId});
        if (!exec(query))
            return notes;
        while (query.next()) {
            StoredNote note = StoreRows::listedNote(query);
            note.snippet = snippetFrom(query.value(15).toString(), query.value(14).toString());
            notes.append(note);
        }
        return notes;
    });
}

std::optional<StoredNote> PgStore::note(qint64 accountId, const QString &id)
{
    return retrying([&]() -> std::optional<StoredNote> {
        QSqlQuery query = prepared(QLatin1StringView(noteColumns) + QStringLiteral(" FROM sessions s WHERE s.account_id = ? AND s.id = ?"),
                                   {accountId, id});
        if (!exec(query) || !query.next())
            return std::nullopt;
        StoredNote note = StoreRows::note(query);
        QSqlQuery lines = prepared(QStringLiteral("SELECT t, text, lang, translated::int, speaker, source FROM entries"
                                                  " WHERE session_id = ? ORDER BY position"),
                                   {id});
        if (!exec(lines))
            return std::nullopt;
        while (lines.next())
            note.body.entries.append(StoreRows::entry(lines));
        return note;
    });
}

bool PgStore::renameNote(qint64 accountId, const QString &id, const QString &title)
{
    return retrying([&] {
        if (!begin())
            return false;
        QSqlQuery query = prepared(QStringLiteral("UPDATE sessions SET title = ? WHERE account_id = ? AND id = ?"),
                                   {title.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(title), accountId, id});
        if (!exec(query) || query.numRowsAffected() != 1 || !reindexNote(id)) {
            rollback();
            return false;
        }
        return commit();
    });
}

bool PgStore::deleteNote(qint64 accountId, const QString &id)
{
    return retrying([&] {
        // Its lines and summary go with it.
        QSqlQuery query = prepared(QStringLiteral("DELETE FROM sessions WHERE account_id = ? AND id = ?"), {accountId, id});
        return exec(query) && query.numRowsAffected() == 1;
    });
}

NoteSummary PgStore::noteSummary(const QString &noteId)
{
    return retrying([&] {
        QSqlQuery query = prepared(QStringLiteral("SELECT status, reason, content FROM summaries WHERE session_id = ?"), {noteId});
        if (!exec(query) || !query.next())
            return NoteSummary();
        return StoreRows::summary(query.value(0).toString(), query.value(1).toString(), query.value(2).toByteArray());
    });
}

bool PgStore::keepSummary(const QString &noteId, const NoteSummary &summary)
{
    return retrying([&] {
        if (!begin())
            return false;
        // Kept again, a summary goes to the back of the pending queue, as a replaced row does in SQLite.
        QSqlQuery query = prepared(
            QStringLiteral("INSERT INTO summaries (session_id, account_id, status, reason, content, overview)"
                           " SELECT id, account_id, ?, ?, ?, ? FROM sessions WHERE id = ?"
                           " ON CONFLICT (session_id) DO UPDATE SET status = excluded.status, reason = excluded.reason,"
                           " content = excluded.content, overview = excluded.overview, seq = DEFAULT"),
            {NoteSummary::statusName(summary.status), summary.reason.isNull() ? QStringLiteral("") : summary.reason,
             QString::fromUtf8(QJsonDocument(summary.summary.toJson()).toJson(QJsonDocument::Compact)),
             summary.summary.overview.isNull() ? QStringLiteral("") : summary.summary.overview, noteId});
        // A ready overview can name the note, so the index follows it.
        if (!exec(query) || query.numRowsAffected() != 1 || !reindexNote(noteId)) {
            rollback();
            return false;
        }
        return commit();
    });
}

QList<std::pair<qint64, QString>> PgStore::pendingSummaries()
{
    return retrying([&] {
        QList<std::pair<qint64, QString>> pending;
        QSqlQuery query(db());
        if (!query.prepare(QStringLiteral("SELECT account_id, session_id FROM summaries WHERE status = 'pending' ORDER BY seq"))
            || !exec(query))
            return pending;
        while (query.next())
            pending.append({query.value(0).toLongLong(), query.value(1).toString()});
        return pending;
    });
}
