#include "sidetimeline.h"

#include <algorithm>

namespace {

// Some margin behind the last words marked: an engine may still send a
// translation or a late word of them.
constexpr qint64 keptBehindMs = 60'000;
// A bound for an engine that sends no times, so nothing is ever forgotten:
// at a change of side every 100 ms, almost two hours.
constexpr std::size_t maxRuns = 65'536;

} // namespace

void SideTimeline::add(const ChunkSides &sides)
{
    if (sides.samples <= 0)
        return;
    Lead lead = Lead::Silence;
    if (sides.micVoice && sides.systemVoice)
        lead = sides.systemLevel > sides.micLevel ? Lead::System : Lead::Mic;
    else if (sides.micVoice)
        lead = Lead::Mic;
    else if (sides.systemVoice)
        lead = Lead::System;
    std::lock_guard lock(m_mutex);
    const qint64 end = (m_runs.empty() ? m_start : m_runs.back().end) + sides.samples;
    if (!m_runs.empty() && m_runs.back().lead == lead)
        m_runs.back().end = end;
    else
        m_runs.push_back({end, lead});
    if (m_runs.size() > maxRuns) {
        m_start = m_runs.front().end;
        m_runs.pop_front();
    }
}

Side SideTimeline::sideOf(qint64 startMs, qint64 endMs) const
{
    std::lock_guard lock(m_mutex);
    if (m_runs.empty())
        return Side::Mic;
    const qint64 length = std::max<qint64>(endMs - startMs, 1) * samplesPerMs;
    const qint64 last = m_runs.back().end;
    qint64 from = std::max(startMs * samplesPerMs, m_start);
    qint64 to = from + length;
    if (from >= last) {
        from = std::max(m_start, last - length);
        to = last;
    }
    qint64 mic = 0;
    qint64 system = 0;
    auto run = std::upper_bound(m_runs.begin(), m_runs.end(), from, [](qint64 at, const Run &r) { return at < r.end; });
    qint64 runStart = run == m_runs.begin() ? m_start : std::prev(run)->end;
    for (; run != m_runs.end() && runStart < to; runStart = run->end, ++run) {
        const qint64 overlap = std::min(run->end, to) - std::max(runStart, from);
        if (run->lead == Lead::Mic)
            mic += overlap;
        else if (run->lead == Lead::System)
            system += overlap;
    }
    return system > mic ? Side::System : Side::Mic;
}

void SideTimeline::forgetBefore(qint64 ms)
{
    const qint64 at = ms * samplesPerMs;
    std::lock_guard lock(m_mutex);
    // The last run stays: later chunks extend it or follow it.
    while (m_runs.size() > 1 && m_runs.front().end < at) {
        m_start = m_runs.front().end;
        m_runs.pop_front();
    }
}

qsizetype SideTimeline::runs() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_runs.size());
}

void markSides(QList<SpokenPiece> &pieces, SideTimeline *timeline, HeardBefore &last)
{
    qint64 markedUpTo = -1;
    for (SpokenPiece &piece : pieces) {
        if (!piece.final)
            continue;
        if (piece.startMs) {
            const qint64 end = piece.endMs.value_or(*piece.startMs);
            piece.source = timeline ? timeline->sideOf(*piece.startMs, end) : Side::Mic;
            markedUpTo = std::max(markedUpTo, end);
            if (!piece.translation)
                last = {piece.source, piece.speaker, true};
        } else if (last.known) {
            piece.source = last.source;
            if (!piece.speaker)
                piece.speaker = last.speaker;
        }
    }
    if (timeline && markedUpTo > keptBehindMs)
        timeline->forgetBefore(markedUpTo - keptBehindMs);
}
