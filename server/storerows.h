#pragma once

// Rows as both stores read them back: the same columns give the same note.

#include "store.h"

#include <QSqlQuery>

namespace StoreRows {

// id, source_client_id, started_at, ended_at, source_language,
// target_language, only_transcript, timezone, created_at, title, overview.
[[nodiscard]] StoredNote note(const QSqlQuery &query);
// The same, then lines, first line, first translation.
[[nodiscard]] StoredNote listedNote(const QSqlQuery &query);
// A line: t, text, lang, translated, speaker, source.
[[nodiscard]] NoteEntry entry(const QSqlQuery &query);
// An account's row: id, salt, hash, iterations, created_at.
void readCredentials(const QSqlQuery &query, const QString &email, Credentials &found);
// A refresh token's row: account_id, used_at, revoked, created_at, family.
[[nodiscard]] RefreshTokenRecord refreshToken(const QSqlQuery &query, const QString &digest);
// Binds salt, hash and iterations, in this order.
void bindPassword(QSqlQuery &query, const StoredPassword &password);
// Binds a line's session_id, position, t, text, lang, translated, speaker, source.
void bindEntry(QSqlQuery &query, const QString &noteId, qsizetype position, const NoteEntry &entry);

// A sign-in key's row: failures, locked_until, of a query that ran when `ok`.
// `countedAt`: the time of an attempt the query counted unless the key was locked then.
[[nodiscard]] SignInFailures signInFailures(bool ok, QSqlQuery &query, std::optional<qint64> countedAt = std::nullopt);

// A kept summary from its status, reason and JSON content; a row that
// cannot be read is a failed summary that says so.
[[nodiscard]] NoteSummary summary(const QString &status, const QString &reason, const QByteArray &content);

} // namespace StoreRows
