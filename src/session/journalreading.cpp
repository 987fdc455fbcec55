#include "journalreading.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 weekSeconds = 7 * 24 * 3600;

// The times a journal can sound hold: none before 2020, none more than a day
// past now (room for a clock set right between two launches).
struct SaneTimes
{
    qint64 earliest;
    qint64 latest;

    explicit SaneTimes(const QDateTime &now)
        : earliest(QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch())
        , latest(now.toMSecsSinceEpoch() + 24 * 3600 * 1000)
    {
    }

    [[nodiscard]] std::optional<QDateTime> operator()(const QJsonValue &value) const
    {
        const qint64 ms = value.toInteger(-1);
        if (ms < earliest || ms > latest)
            return std::nullopt;
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    }
};

std::optional<JournalSession> sessionRecord(const QJsonObject &record, const SaneTimes &sane)
{
    const std::optional<QDateTime> startedAt = sane(record.value("startedAt"_L1));
    const QJsonValue id = record.value("sourceClientId"_L1);
    const QJsonValue a = record.value("languageA"_L1);
    const QJsonValue b = record.value("languageB"_L1);
    const QJsonValue only = record.value("transcriptOnly"_L1);
    if (record.value("r"_L1) != "session"_L1 || !startedAt || id.toString().isEmpty() || !a.isString()
        || !b.isString() || !only.isBool())
        return std::nullopt;
    return JournalSession{*startedAt, id.toString(), a.toString(), b.toString(), only.toBool()};
}

std::optional<TranscriptLine> lineRecord(const QJsonObject &record, const SaneTimes &sane)
{
    const std::optional<QDateTime> t = sane(record.value("t"_L1));
    const QJsonValue text = record.value("text"_L1);
    const QJsonValue translated = record.value("translated"_L1);
    const QJsonValue lang = record.value("lang"_L1);
    const QJsonValue complete = record.value("complete"_L1);
    if (!t || !text.isString() || !translated.isBool() || !(lang.isString() || lang.isNull()) || !complete.isBool())
        return std::nullopt;
    // Journals written before zarno heard the computer's sound have neither.
    const QJsonValue source = record.value("source"_L1);
    const QJsonValue speaker = record.value("speaker"_L1);
    const std::optional<Side> side = source.isUndefined() ? Side::Mic : sideNamed(source.toString());
    if (!side || !(speaker.isUndefined() || speaker.isString()))
        return std::nullopt;
    return TranscriptLine{
        .id = QUuid::createUuid(),
        .text = text.toString(),
        .isTranslation = translated.toBool(),
        .lang = lang.isString() ? std::optional<QString>(lang.toString()) : std::nullopt,
        .t = *t,
        .complete = complete.toBool(),
        .source = *side,
        .speaker = speaker.isString() ? std::optional<QString>(speaker.toString()) : std::nullopt,
    };
}

// What the records after the session record build up.
struct Replay
{
    Replay(RecoveredSession &found, const SaneTimes &sane)
        : found(found)
        , sane(sane)
    {
    }

    RecoveredSession &found;
    const SaneTimes &sane;
    qint64 lastRow = -1; // the journal's row of the last line kept
    std::optional<QDateTime> legStart;
    QDateTime lastSeen;

    // False for a damaged record, which changes nothing.
    bool apply(const QJsonObject &record)
    {
        const QJsonValue kind = record.value("r"_L1);
        const qint64 row = record.value("row"_L1).toInteger(-1);
        if (kind == "line"_L1) {
            // Rows only grow; a gap is a damaged line, and the lines after it count.
            const std::optional<TranscriptLine> line = lineRecord(record, sane);
            if (!line || row <= lastRow)
                return false;
            found.lines.append(*line);
            lastRow = row;
            lastSeen = std::max(lastSeen, line->t);
            return true;
        }
        if (kind == "more"_L1) {
            const QJsonValue text = record.value("text"_L1);
            const QJsonValue complete = record.value("complete"_L1);
            if (row < 0 || row != lastRow || !text.isString() || !complete.isBool())
                return false;
            found.lines.last().text += text.toString();
            found.lines.last().complete = complete.toBool();
            return true;
        }
        if (kind == "leg"_L1 || kind == "time"_L1) {
            const std::optional<QDateTime> at = sane(record.value("at"_L1));
            if (!at)
                return false;
            if (kind == "leg"_L1)
                legStart = at;
            lastSeen = kind == "leg"_L1 ? *at : std::max(lastSeen, *at);
            return true;
        }
        if (kind == "pause"_L1) {
            const qint64 seconds = record.value("seconds"_L1).toInteger(-1);
            if (seconds < 0 || seconds > weekSeconds)
                return false;
            found.seconds = seconds;
            legStart.reset();
            return true;
        }
        return false;
    }

    // A leg still open when zarno died lasted until its last sign of life.
    bool closeOpenLeg()
    {
        if (!legStart)
            return true;
        const qint64 seconds = std::max<qint64>(legStart->msecsTo(lastSeen) / 1000, 0);
        if (seconds > weekSeconds)
            return false;
        found.seconds += seconds;
        return true;
    }
};

} // namespace

JournalReading readJournal(QByteArrayView bytes, const QDateTime &now)
{
    JournalReading reading;
    if (bytes.isEmpty())
        return reading;
    const SaneTimes sane(now);
    // Bytes after the last line end are a record cut off mid-write.
    const qsizetype end = bytes.lastIndexOf('\n') + 1;
    std::optional<Replay> replay;
    qsizetype from = 0;
    while (from < end) {
        const qsizetype to = bytes.indexOf('\n', from);
        const QJsonObject record = QJsonDocument::fromJson(bytes.sliced(from, to - from).toByteArray()).object();
        from = to + 1;
        if (!replay) {
            // A journal starts with its session; anything else is not one.
            const std::optional<JournalSession> session = sessionRecord(record, sane);
            if (!session)
                break;
            reading.session.session = *session;
            replay.emplace(reading.session, sane);
            continue;
        }
        if (!replay->apply(record))
            ++reading.damaged;
    }
    if (!replay) {
        reading.kind = JournalReading::Kind::Unreadable;
        return reading;
    }
    if (!replay->closeOpenLeg())
        ++reading.damaged;
    reading.kind = JournalReading::Kind::Session;
    return reading;
}
