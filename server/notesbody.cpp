#include "notesbody.h"

#include "notestext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

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
    // Labels are optional: anything but a short text is left out, never the line.
    const auto label = [&](QLatin1StringView key) {
        const QString text = item.value(key).toString().simplified();
        return text.size() <= 100 ? text : QString();
    };
    entry.speaker = label(QLatin1StringView("speaker"));
    entry.source = label(QLatin1StringView("source"));
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

namespace {

QJsonObject summaryOf(const StoredNote &note)
{
    const NotesBody &body = note.body;
    return QJsonObject{
        {QStringLiteral("id"), note.id},
        {QStringLiteral("sourceClientId"), body.sourceClientId},
        {QStringLiteral("startedAt"), body.startedAt},
        {QStringLiteral("endedAt"), body.endedAt},
        {QStringLiteral("sourceLanguage"), body.sourceLanguage},
        {QStringLiteral("targetLanguage"), body.targetLanguage},
        {QStringLiteral("onlyTranscript"), body.onlyTranscript},
        {QStringLiteral("timezone"), body.timezone},
        {QStringLiteral("createdAt"), note.createdAtMs},
        {QStringLiteral("title"), titleOf(note)},
    };
}

} // namespace

QString titleOf(const StoredNote &note)
{
    if (!note.title.isEmpty())
        return note.title;
    QString firstLine = note.firstLine;
    QString translation = note.firstTranslation;
    for (const NoteEntry &entry : note.body.entries) {
        if (entry.text.trimmed().isEmpty())
            continue;
        QString &line = entry.translated ? translation : firstLine;
        if (line.trimmed().isEmpty())
            line = entry.text;
    }
    // A note with nothing said in its own language is named by its translation.
    return NoteTitle::automatic(note.overview, firstLine.trimmed().isEmpty() ? translation : firstLine);
}

QJsonObject notesListJson(const QList<StoredNote> &notes)
{
    QJsonArray sessions;
    for (const StoredNote &note : notes) {
        QJsonObject summary = summaryOf(note);
        summary.insert(QStringLiteral("entryCount"), note.entryCount);
        summary.insert(QStringLiteral("preview"), previewOf(note.firstLine));
        if (!note.snippet.isNull())
            summary.insert(QStringLiteral("snippet"), NoteSearch::snippetHtml(note.snippet));
        sessions.append(summary);
    }
    return QJsonObject{{QStringLiteral("sessions"), sessions}};
}

QJsonObject noteJson(const StoredNote &note)
{
    QJsonObject session = summaryOf(note);
    QJsonArray entries;
    for (const NoteEntry &entry : note.body.entries) {
        QJsonObject line{
            {QStringLiteral("t"), entry.t},
            {QStringLiteral("text"), entry.text},
            {QStringLiteral("lang"), entry.lang},
            {QStringLiteral("translated"), entry.translated},
        };
        if (!entry.speaker.isEmpty())
            line.insert(QStringLiteral("speaker"), entry.speaker);
        if (!entry.source.isEmpty())
            line.insert(QStringLiteral("source"), entry.source);
        entries.append(line);
    }
    session.insert(QStringLiteral("entries"), entries);
    return QJsonObject{{QStringLiteral("session"), session}};
}
