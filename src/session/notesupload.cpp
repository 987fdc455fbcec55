#include "notesupload.h"

#include "clock.h"
#include "transcript.h"

#include <QJsonArray>
#include <QTimeZone>

QList<TranscriptLine> savedLines(const QList<TranscriptLine> &lines)
{
    QList<TranscriptLine> saved;
    for (const TranscriptLine &line : lines) {
        if (!trimmedSpacesAndTabs(line.text).isEmpty())
            saved.append(line);
    }
    return saved;
}

QJsonObject notesBody(const QList<TranscriptLine> &lines, const NotesSession &session, const ZarnoSettings &settings)
{
    QJsonArray entries;
    for (const TranscriptLine &line : lines) {
        QJsonObject entry{
            {QStringLiteral("t"), line.t.toMSecsSinceEpoch()},
            {QStringLiteral("text"), trimmedSpacesAndTabs(line.text)},
            {QStringLiteral("lang"), line.lang.value_or(settings.languageB)},
            {QStringLiteral("translated"), line.isTranslation},
            {QStringLiteral("source"), sideName(line.source)},
        };
        if (line.speaker)
            entry.insert(QStringLiteral("speaker"), *line.speaker);
        entries.append(entry);
    }
    const QDateTime startedAt = session.startedAt.value_or(lines.first().t);
    return QJsonObject{
        {QStringLiteral("sourceClientId"),
         session.sourceClientId.value_or(QStringLiteral("mac_") + QString::number(Clock::now().toSecsSinceEpoch()))},
        {QStringLiteral("startedAt"), startedAt.toMSecsSinceEpoch()},
        {QStringLiteral("endedAt"), lines.last().t.toMSecsSinceEpoch()},
        {QStringLiteral("sourceLanguage"), settings.languageA},
        {QStringLiteral("targetLanguage"), settings.languageB},
        {QStringLiteral("onlyTranscript"), settings.transcriptOnly},
        {QStringLiteral("timezone"), QString::fromUtf8(QTimeZone::systemTimeZoneId())},
        {QStringLiteral("entries"), entries},
    };
}
