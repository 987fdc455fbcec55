#include "storerows.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

namespace StoreRows {

StoredNote note(const QSqlQuery &query)
{
    StoredNote note;
    note.id = query.value(0).toString();
    note.body.sourceClientId = query.value(1).toString();
    note.body.startedAt = query.value(2).toLongLong();
    note.body.endedAt = query.value(3).toLongLong();
    note.body.sourceLanguage = query.value(4).toString();
    note.body.targetLanguage = query.value(5).toString();
    note.body.onlyTranscript = query.value(6).toInt() != 0;
    note.body.timezone = query.value(7).toString();
    note.createdAtMs = query.value(8).toLongLong();
    note.title = query.value(9).toString();
    note.overview = query.value(10).toString();
    return note;
}

StoredNote listedNote(const QSqlQuery &query)
{
    StoredNote listed = note(query);
    listed.entryCount = query.value(11).toLongLong();
    listed.firstLine = query.value(12).toString();
    listed.firstTranslation = query.value(13).toString();
    return listed;
}

NoteEntry entry(const QSqlQuery &query)
{
    return NoteEntry{query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString(),
                     query.value(3).toInt() != 0, query.value(4).toString(), query.value(5).toString()};
}

void readCredentials(const QSqlQuery &query, const QString &email, Credentials &found)
{
    found.account = Account{query.value(0).toLongLong(), email, query.value(4).toLongLong()};
    found.password.salt = query.value(1).toByteArray();
    found.password.hash = query.value(2).toByteArray();
    found.password.iterations = query.value(3).toInt();
}

RefreshTokenRecord refreshToken(const QSqlQuery &query, const QString &digest)
{
    RefreshTokenRecord token;
    token.digest = digest;
    token.accountId = query.value(0).toLongLong();
    if (!query.value(1).isNull())
        token.usedAtMs = query.value(1).toLongLong();
    token.revoked = query.value(2).toInt() != 0;
    token.createdAtMs = query.value(3).toLongLong();
    token.family = query.value(4).toString();
    return token;
}

void bindPassword(QSqlQuery &query, const StoredPassword &password)
{
    query.addBindValue(password.salt.isNull() ? QByteArray("") : password.salt);
    query.addBindValue(password.hash);
    query.addBindValue(password.iterations);
}

void bindEntry(QSqlQuery &query, const QString &noteId, qsizetype position, const NoteEntry &entry)
{
    query.addBindValue(noteId);
    query.addBindValue(qint64(position));
    query.addBindValue(entry.t);
    query.addBindValue(entry.text);
    query.addBindValue(entry.lang);
    query.addBindValue(entry.translated);
    // A null string binds as NULL.
    query.addBindValue(entry.speaker.isNull() ? QStringLiteral("") : entry.speaker);
    query.addBindValue(entry.source.isNull() ? QStringLiteral("") : entry.source);
}

NoteSummary summary(const QString &status, const QString &reason, const QByteArray &content)
{
    NoteSummary kept;
    const auto named = NoteSummary::statusNamed(status);
    const ParsedSummary parsed = summaryFromJson(QJsonDocument::fromJson(content).object());
    kept.status = named.value_or(NoteSummary::Status::Failed);
    kept.reason = reason;
    kept.summary = parsed.summary.value_or(Summary());
    if (!named || (kept.status == NoteSummary::Status::Ready && !parsed.summary)) {
        kept.status = NoteSummary::Status::Failed;
        kept.reason = QStringLiteral("The kept summary could not be read; summarise again.");
    }
    return kept;
}

SignInFailures signInFailures(bool ok, QSqlQuery &query, std::optional<qint64> countedAt)
{
    SignInFailures state;
    state.ok = ok;
    if (ok && query.next()) {
        state.failures = query.value(0).toInt();
        state.lockedUntilMs = query.value(1).toLongLong();
        state.counted = countedAt && state.lockedUntilMs <= *countedAt;
    }
    return state;
}

} // namespace StoreRows
