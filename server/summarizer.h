#pragma once

#include "modelclient.h"
#include "notesbody.h"
#include "summary.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the model reads of a note.
struct MeetingText
{
    QStringList lines; // "[mm:ss] text", the spoken lines in order
    QString language;  // the language to write in, by its English name; empty: the one spoken
    QString began;     // "2026-12-09 14:05 (Europe/Berlin)", so that "Friday" can become a date
};

// The note's lines as spoken, and the language of its summary: the target
// language when it was translated, else the language spoken.
[[nodiscard]] MeetingText meetingText(const NotesBody &note);

// A cautious guess at how many tokens a text takes: about three letters a
// token for Latin script, more for scripts that tokenise less well.
[[nodiscard]] int estimatedTokens(const QString &text);

// Consecutive lines in parts of at most `budget` estimated tokens each; a
// line too long for one part is cut between words.
[[nodiscard]] QList<QStringList> splitLines(const QStringList &lines, int budget);

struct SummaryOutcome
{
    std::optional<Summary> summary;
    QString reason; // one sentence when there is no summary
};

// Asks the model for a note's summary. A meeting too long for the model's
// context is summarised part by part, and the parts are merged in a last call.
class Summarizer
{
public:
    explicit Summarizer(ModelSettings settings);

    [[nodiscard]] const ModelSettings &settings() const { return m_client.settings(); }
    [[nodiscard]] QCoro::Task<SummaryOutcome> summarize(NotesBody note);

private:
    [[nodiscard]] QCoro::Task<ParsedSummary> ask(QString instructions, QString text);
    // How many tokens of transcript (or of parts to merge) one request may carry.
    [[nodiscard]] int budget(const QString &instructions) const;

    ModelClient m_client;
};
