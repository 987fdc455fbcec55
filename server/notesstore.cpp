#include "notesstore.h"

#include "database.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <cmath>
#include <variant>

namespace {

constexpr qsizetype maxEntries = 200000;
constexpr qsizetype maxTextLength = 100000;

// JSON numbers are doubles: accept only integral values that doubles hold exactly.
std::optional<qint64> integral(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9007199254740992.0)
        return std::nullopt;
    return static_cast<qint64>(d);
}

QString missing(QLatin1StringView key, QLatin1StringView type)
{
    return QStringLiteral("\"%1\" must be %2.").arg(key, type);
}

QString previewOf(const QString &text)
{
    QString preview = text.simplified();
    if (preview.size() > 140)
        preview = preview.left(139) + QChar(0x2026);
    return preview;
}

// One line of the notes, or the sentence saying what is wrong with it.
std::variant<NoteEntry, QString> parseEntry(const QJsonValue &value, const QString &where)
{
    if (!value.isObject())
        return QStringLiteral("\"%1\" must be an object.").arg(where);
    const QJsonObject item = value.toObject();
    const auto t = integral(item.value(QLatin1StringView("t")));
    const QJsonValue textValue = item.value(QLatin1StringView("text"));
    const QJsonValue lang = item.value(QLatin1StringView("lang"));
    const QJsonValue translated = item.value(QLatin1StringView("translated"));
    if (!t)
        return QStringLiteral("\"%1.t\" must be an integer.").arg(where);
    if (!textValue.isString() || textValue.toString().size() > maxTextLength)
        return QStringLiteral("\"%1.text\" must be a string.").arg(where);
    if (!lang.isString())
        return QStringLiteral("\"%1.lang\" must be a string.").arg(where);
    if (!translated.isBool())
        return QStringLiteral("\"%1.translated\" must be true or false.").arg(where);
    NoteEntry entry;
    entry.t = *t;
    entry.text = textValue.toString();
    entry.lang = lang.toString();
    entry.translated = translated.toBool();
    return entry;
}

} // namespace

NotesBody::Parsed NotesBody::parse(const QByteArray &json)
{
    Parsed parsed;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        parsed.error = QStringLiteral("The body must be a JSON object.");
        return parsed;
    }
    const QJsonObject object = document.object();
    NotesBody body;

    const auto text = [&](QLatin1StringView key, QString &out) {
        const QJsonValue value = object.value(key);
        if (!value.isString()) {
            parsed.error = missing(key, QLatin1StringView("a string"));
            return false;
        }
        out = value.toString();
        return true;
    };
    const auto number = [&](QLatin1StringView key, qint64 &out) {
        const auto value = integral(object.value(key));
        if (!value) {
            parsed.error = missing(key, QLatin1StringView("an integer"));
            return false;
        }
        out = *value;
        return true;
    };
    if (!text(QLatin1StringView("sourceClientId"), body.sourceClientId)
        || !number(QLatin1StringView("startedAt"), body.startedAt)
        || !number(QLatin1StringView("endedAt"), body.endedAt)
        || !text(QLatin1StringView("sourceLanguage"), body.sourceLanguage)
        || !text(QLatin1StringView("targetLanguage"), body.targetLanguage)
        || !text(QLatin1StringView("timezone"), body.timezone))
        return parsed;
    const QJsonValue only = object.value(QLatin1StringView("onlyTranscript"));
    if (!only.isBool()) {
        parsed.error = missing(QLatin1StringView("onlyTranscript"), QLatin1StringView("true or false"));
        return parsed;
    }
    body.onlyTranscript = only.toBool();
    if (body.sourceClientId.trimmed().isEmpty()) {
        parsed.error = QStringLiteral("\"sourceClientId\" must not be empty.");
        return parsed;
    }

    const QJsonValue entries = object.value(QLatin1StringView("entries"));
    if (!entries.isArray()) {
        parsed.error = missing(QLatin1StringView("entries"), QLatin1StringView("an array"));
        return parsed;
    }
    const QJsonArray array = entries.toArray();
    if (array.isEmpty()) {
        parsed.error = QStringLiteral("\"entries\" must hold at least one line.");
        return parsed;
    }
    if (array.size() > maxEntries) {
        parsed.error = QStringLiteral("\"entries\" holds too many lines.");
        return parsed;
    }
    for (qsizetype i = 0; i < array.size(); ++i) {
        std::variant<NoteEntry, QString> entry = parseEntry(array.at(i), QStringLiteral("entries[%1]").arg(i));
        if (const QString *problem = std::get_if<QString>(&entry)) {
            parsed.error = *problem;
            return parsed;
        }
        body.entries.append(std::get<NoteEntry>(entry));
    }
    parsed.body = body;
    return parsed;
}

NotesStore::NotesStore(Database &database)
    : m_database(database)
{
}

QString NotesStore::save(qint64 accountId, const NotesBody &body, qint64 nowMs)
{
    QSqlDatabase db = m_database.db();
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!db.transaction())
        return {};
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "INSERT INTO sessions (id, account_id, source_client_id, started_at, ended_at, source_language,"
        " target_language, only_transcript, timezone, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    query.addBindValue(id);
    query.addBindValue(accountId);
    query.addBindValue(body.sourceClientId);
    query.addBindValue(body.startedAt);
    query.addBindValue(body.endedAt);
    query.addBindValue(body.sourceLanguage);
    query.addBindValue(body.targetLanguage);
    query.addBindValue(body.onlyTranscript ? 1 : 0);
    query.addBindValue(body.timezone);
    query.addBindValue(nowMs);
    bool ok = query.exec();
    QSqlQuery line(db);
    line.prepare(QStringLiteral("INSERT INTO entries (session_id, position, t, text, lang, translated) VALUES (?, ?, ?, ?, ?, ?)"));
    for (qsizetype i = 0; ok && i < body.entries.size(); ++i) {
        const NoteEntry &entry = body.entries.at(i);
        line.addBindValue(id);
        line.addBindValue(qint64(i));
        line.addBindValue(entry.t);
        line.addBindValue(entry.text);
        line.addBindValue(entry.lang);
        line.addBindValue(entry.translated ? 1 : 0);
        ok = line.exec();
    }
    if (!ok || !db.commit()) {
        db.rollback();
        return {};
    }
    return id;
}

static QJsonObject summaryOf(const QSqlQuery &query)
{
    return QJsonObject{
        {QStringLiteral("id"), query.value(0).toString()},
        {QStringLiteral("sourceClientId"), query.value(1).toString()},
        {QStringLiteral("startedAt"), query.value(2).toLongLong()},
        {QStringLiteral("endedAt"), query.value(3).toLongLong()},
        {QStringLiteral("sourceLanguage"), query.value(4).toString()},
        {QStringLiteral("targetLanguage"), query.value(5).toString()},
        {QStringLiteral("onlyTranscript"), query.value(6).toInt() != 0},
        {QStringLiteral("timezone"), query.value(7).toString()},
        {QStringLiteral("createdAt"), query.value(8).toLongLong()},
    };
}

static const char sessionColumns[] =
    "SELECT id, source_client_id, started_at, ended_at, source_language, target_language,"
    " only_transcript, timezone, created_at FROM sessions";

QJsonObject NotesStore::list(qint64 accountId)
{
    QSqlDatabase db = m_database.db();
    QSqlQuery query(db);
    query.prepare(QLatin1StringView(sessionColumns)
                  + QStringLiteral(" WHERE account_id = ? ORDER BY started_at DESC, created_at DESC, rowid DESC"));
    query.addBindValue(accountId);
    QJsonArray sessions;
    if (query.exec()) {
        QSqlQuery lines(db);
        lines.prepare(QStringLiteral(
            "SELECT (SELECT COUNT(*) FROM entries WHERE session_id = ?),"
            " (SELECT text FROM entries WHERE session_id = ? AND translated = 0 AND trim(text) <> ''"
            " ORDER BY position LIMIT 1)"));
        while (query.next()) {
            QJsonObject summary = summaryOf(query);
            const QString id = summary.value(QStringLiteral("id")).toString();
            lines.bindValue(0, id);
            lines.bindValue(1, id);
            if (lines.exec() && lines.next()) {
                summary.insert(QStringLiteral("entryCount"), lines.value(0).toLongLong());
                summary.insert(QStringLiteral("preview"), previewOf(lines.value(1).toString()));
            }
            sessions.append(summary);
        }
    }
    return QJsonObject{{QStringLiteral("sessions"), sessions}};
}

std::optional<QJsonObject> NotesStore::note(qint64 accountId, const QString &id)
{
    QSqlDatabase db = m_database.db();
    QSqlQuery query(db);
    query.prepare(QLatin1StringView(sessionColumns) + QStringLiteral(" WHERE account_id = ? AND id = ?"));
    query.addBindValue(accountId);
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    QJsonObject session = summaryOf(query);
    QSqlQuery lines(db);
    lines.prepare(QStringLiteral("SELECT t, text, lang, translated FROM entries WHERE session_id = ? ORDER BY position"));
    lines.addBindValue(id);
    QJsonArray entries;
    if (lines.exec()) {
        while (lines.next()) {
            entries.append(QJsonObject{
                {QStringLiteral("t"), lines.value(0).toLongLong()},
                {QStringLiteral("text"), lines.value(1).toString()},
                {QStringLiteral("lang"), lines.value(2).toString()},
                {QStringLiteral("translated"), lines.value(3).toInt() != 0},
            });
        }
    }
    session.insert(QStringLiteral("entries"), entries);
    return QJsonObject{{QStringLiteral("session"), session}};
}
