#pragma once

#include "microphone.h"
#include "transcriptline.h"
#include "transcriptupdate.h"

#include <QList>

#include <deque>
#include <mutex>
#include <optional>

// How the two sides of one connection's audio sounded, by position in that
// audio: it starts at 0 ms with the first chunk sent on the connection. One
// entry per run of chunks with the same side ahead, so a two-hour meeting
// keeps a few runs a second of speech at most, and what lies a while behind
// the words already marked is forgotten. The microphone's thread adds, the
// GUI thread reads.
class SideTimeline
{
public:
    static constexpr qint64 samplesPerMs = 16;

    // The chunk after the last one added.
    void add(const ChunkSides &sides);
    // Which side spoke more from startMs to endMs: the one that had the
    // voice longer there, the louder one where both spoke. Ties, silence
    // and a timeline that knows nothing (the microphone alone) give Mic; a
    // span past the end is judged by as much of the end.
    [[nodiscard]] Side sideOf(qint64 startMs, qint64 endMs) const;
    // Runs ending before this are no longer asked for.
    void forgetBefore(qint64 ms);
    [[nodiscard]] qsizetype runs() const;

private:
    enum class Lead : quint8 { Silence, Mic, System };
    struct Run
    {
        qint64 end = 0; // in samples; a run starts where the one before it ends
        Lead lead = Lead::Silence;
    };

    mutable std::mutex m_mutex;
    std::deque<Run> m_runs;
    qint64 m_start = 0; // where the first kept run starts
};

// Marks the final pieces of one update with the side they were heard on,
// from their times in `timeline` (none: the microphone alone). Pieces
// without times, as translations come, take the side and speaker of the
// words before them, kept in `last` from one update to the next.
struct HeardBefore
{
    Side source = Side::Mic;
    std::optional<QString> speaker;
    bool known = false;
};
void markSides(QList<SpokenPiece> &pieces, SideTimeline *timeline, HeardBefore &last);
