#include "summarizer.h"

#include <QDateTime>
#include <QHash>
#include <QJsonDocument>
#include <QLocale>
#include <QTimeZone>

namespace {

constexpr int leastBudget = 256; // tokens of transcript per request, however small the context

const QString &answerShape()
{
    static const QString shape = QStringLiteral(
        "Answer with one JSON object and nothing else, of this shape:\n"
        "{\"overview\": \"...\", \"decisions\": [\"...\"], "
        "\"actionItems\": [{\"task\": \"...\", \"owner\": \"...\" or null, \"due\": \"...\" or null}]}\n"
        "overview: what the meeting was about and what came of it, in two to five sentences.\n"
        "decisions: what was agreed or settled, one short sentence each.\n"
        "actionItems: what someone is to do; owner: who, as named in the meeting, or null; due: by when, as "
        "a date when the meeting's date allows it, else as said, or null.\n"
        "Leave a list empty when there is nothing for it. Use only what was said; invent nothing.\n");
    return shape;
}

QString languageRule(const QString &language)
{
    return language.isEmpty() ? QStringLiteral("Write every text in the language the meeting was held in.")
                              : QStringLiteral("Write every text in %1.").arg(language);
}

QString partInstructions(const QString &language)
{
    return QStringLiteral("You summarise meeting transcripts. ") + answerShape() + languageRule(language);
}

QString mergeInstructions(const QString &language)
{
    return QStringLiteral("You combine the summaries of consecutive parts of one meeting into one summary of the "
                          "whole meeting: one overview of all of it, each decision and to-do once, a later part's "
                          "change overriding an earlier one. ")
        + answerShape() + languageRule(language);
}

QString languageName(const QString &code)
{
    if (code.isEmpty() || code == QLatin1StringView("any"))
        return {};
    const QLocale::Language language = QLocale(code).language();
    return language == QLocale::C || language == QLocale::AnyLanguage ? QString() : QLocale::languageToString(language);
}

// The language most of the lines carry, for notes recorded with "any" spoken language.
QString mostCommonLanguage(const QList<NoteEntry> &entries)
{
    QHash<QString, int> counts;
    QString best;
    for (const NoteEntry &entry : entries) {
        const int count = ++counts[entry.lang];
        if (!entry.lang.isEmpty() && (best.isEmpty() || count > counts.value(best)))
            best = entry.lang;
    }
    return best;
}

QString offsetText(qint64 ms)
{
    const qint64 seconds = qMax<qint64>(0, ms / 1000);
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString beganText(const NotesBody &note, qint64 startMs)
{
    const QTimeZone zone(note.timezone.toUtf8());
    const QDateTime began = QDateTime::fromMSecsSinceEpoch(startMs, zone.isValid() ? zone : QTimeZone::utc());
    return QStringLiteral("%1 (%2)").arg(began.toString(QStringLiteral("yyyy-MM-dd HH:mm, dddd")),
                                         zone.isValid() ? note.timezone : QStringLiteral("UTC"));
}

// Cuts one line into pieces of at most `budget` tokens, between words where it can.
QStringList cutLine(const QString &line, int budget)
{
    // No character counts more than four thirds of a token, so this many always fit.
    const qsizetype most = qMax(1, budget * 3 / 4);
    QStringList pieces;
    qsizetype from = 0;
    while (from < line.size()) {
        qsizetype end = qMin(line.size(), from + most);
        if (end < line.size()) {
            const qsizetype space = line.lastIndexOf(QLatin1Char(' '), end);
            if (space > from)
                end = space;
        }
        pieces.append(line.mid(from, end - from).trimmed());
        from = end;
    }
    pieces.removeAll(QString());
    return pieces;
}

QString transcriptMessage(const MeetingText &meeting, const QStringList &part, qsizetype index, qsizetype count)
{
    const QString which = count == 1 ? QStringLiteral("The transcript")
                                     : QStringLiteral("Part %1 of %2 of the transcript").arg(index + 1).arg(count);
    return QStringLiteral("The meeting began %1.\n%2:\n%3").arg(meeting.began, which, part.join(QLatin1Char('\n')));
}

QString summaryText(const Summary &summary)
{
    return QString::fromUtf8(QJsonDocument(summary.toJson()).toJson(QJsonDocument::Compact));
}

// Consecutive summaries in groups that fit one request; every group but a
// lone last one has two or more, so each round of merging shrinks the list.
QList<QList<Summary>> mergeGroups(const QList<Summary> &summaries, int budget)
{
    QList<QList<Summary>> groups;
    int used = 0;
    for (const Summary &summary : summaries) {
        const int tokens = estimatedTokens(summaryText(summary));
        if (groups.isEmpty() || (groups.last().size() >= 2 && used + tokens > budget)) {
            groups.append(QList<Summary>());
            used = 0;
        }
        groups.last().append(summary);
        used += tokens;
    }
    return groups;
}

QString mergeMessage(const MeetingText &meeting, const QList<Summary> &group)
{
    QStringList parts;
    for (qsizetype i = 0; i < group.size(); ++i)
        parts.append(QStringLiteral("Part %1:\n%2").arg(i + 1).arg(summaryText(group.at(i))));
    return QStringLiteral("The meeting began %1.\n%2").arg(meeting.began, parts.join(QStringLiteral("\n\n")));
}

} // namespace

MeetingText meetingText(const NotesBody &note)
{
    QList<NoteEntry> spoken;
    bool translated = false;
    for (const NoteEntry &entry : note.entries) {
        if (entry.translated)
            translated = true;
        else
            spoken.append(entry);
    }
    translated = translated && !note.onlyTranscript;
    // Only translations were kept: they are all there is to read.
    if (spoken.isEmpty())
        spoken = note.entries;

    MeetingText meeting;
    QString code = translated ? note.targetLanguage : note.sourceLanguage;
    if (languageName(code).isEmpty())
        code = mostCommonLanguage(spoken);
    meeting.language = languageName(code);
    const qint64 startMs = note.startedAt > 0 ? note.startedAt : (spoken.isEmpty() ? 0 : spoken.first().t);
    meeting.began = beganText(note, startMs);
    for (const NoteEntry &entry : spoken) {
        const QString text = entry.text.simplified();
        if (!text.isEmpty())
            meeting.lines.append(QStringLiteral("[%1] %2").arg(offsetText(entry.t - startMs), text));
    }
    return meeting;
}

int estimatedTokens(const QString &text)
{
    qint64 units = 0;
    for (const QChar c : text)
        units += c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 ? 2 : 4;
    return int((units + 2) / 3);
}

QList<QStringList> splitLines(const QStringList &lines, int budget)
{
    QList<QStringList> parts;
    int used = 0;
    for (const QString &line : lines) {
        const int tokens = estimatedTokens(line) + 1; // and its line break
        const QStringList pieces = tokens > budget ? cutLine(line, budget - 1) : QStringList{line};
        for (const QString &piece : pieces) {
            const int pieceTokens = estimatedTokens(piece) + 1;
            if (parts.isEmpty() || used + pieceTokens > budget) {
                parts.append(QStringList());
                used = 0;
            }
            parts.last().append(piece);
            used += pieceTokens;
        }
    }
    return parts;
}

Summarizer::Summarizer(ModelSettings settings)
    : m_client(std::move(settings))
{
}

int Summarizer::budget(const QString &instructions) const
{
    // A quarter of the context stays free for the answer.
    const int context = m_client.settings().contextTokens;
    return qMax(leastBudget, context - context / 4 - estimatedTokens(instructions) - 64);
}

QCoro::Task<ParsedSummary> Summarizer::ask(QString instructions, QString text)
{
    const QJsonArray messages{
        QJsonObject{{QStringLiteral("role"), QStringLiteral("system")}, {QStringLiteral("content"), instructions}},
        QJsonObject{{QStringLiteral("role"), QStringLiteral("user")}, {QStringLiteral("content"), text}},
    };
    ChatAnswer answer = co_await m_client.complete(messages, summaryResponseFormat());
    // Servers without structured output may refuse the schema; the plain instructions still hold.
    if (!answer.content && answer.status >= 400 && answer.status < 500 && answer.status != 401 && answer.status != 403
        && answer.reason.contains(QLatin1StringView("response_format"), Qt::CaseInsensitive)) {
        answer = co_await m_client.complete(messages, QJsonObject());
    }
    if (!answer.content)
        co_return ParsedSummary{std::nullopt, answer.reason};
    co_return summaryFromReply(*answer.content);
}

QCoro::Task<SummaryOutcome> Summarizer::summarize(NotesBody note)
{
    const MeetingText meeting = meetingText(note);
    if (meeting.lines.isEmpty())
        co_return SummaryOutcome{std::nullopt, QStringLiteral("The note has no text to summarise.")};

    const QString partRules = partInstructions(meeting.language);
    const QList<QStringList> parts = splitLines(meeting.lines, budget(partRules));
    QList<Summary> summaries;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const ParsedSummary part = co_await ask(partRules, transcriptMessage(meeting, parts.at(i), i, parts.size()));
        if (!part.summary)
            co_return SummaryOutcome{std::nullopt, part.reason};
        summaries.append(*part.summary);
    }

    const QString mergeRules = mergeInstructions(meeting.language);
    while (summaries.size() > 1) {
        QList<Summary> merged;
        for (const QList<Summary> &group : mergeGroups(summaries, budget(mergeRules))) {
            if (group.size() == 1) {
                merged.append(group.first());
                continue;
            }
            const ParsedSummary whole = co_await ask(mergeRules, mergeMessage(meeting, group));
            if (!whole.summary)
                co_return SummaryOutcome{std::nullopt, whole.reason};
            merged.append(*whole.summary);
        }
        summaries = merged;
    }
    co_return SummaryOutcome{summaries.first(), {}};
}
