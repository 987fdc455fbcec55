#include "callmixer.h"

#include "echocanceller.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Each side's pace is smoothed over about this many arrivals (three seconds).
constexpr double paceSmoothing = 32;
// At most one sample is dropped or repeated per this many frames: 1500 ppm,
// far more than two sound cards drift, and too rare to be heard.
constexpr int framesPerCorrection = 4;
// Speech stands this far above the quietest recent sound (12 dB) and above
// the canceller's comfort noise.
constexpr double voiceOverFloor = 4.0;
constexpr double quietestVoice = 0.005;
// The floor creeps up 2 dB a second, so it follows a room that got louder.
constexpr double floorRise = 1.0023;
// What is left of an echo after the canceller lies far below the sound it
// echoes; the user speaking over the others is rarely 20 dB quieter than them.
constexpr double echoMargin = 0.1;

double squares(const int16_t *samples, qsizetype count)
{
    double sum = 0;
    for (qsizetype i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return sum;
}

double rmsOf(double squares, qsizetype count)
{
    return count > 0 ? std::sqrt(squares / double(count)) / 32768.0 : 0.0;
}

} // namespace

void SampleQueue::take(int16_t *into, qsizetype count)
{
    std::memcpy(into, m_samples.data() + m_head, size_t(count) * sizeof(int16_t));
    discard(count);
}

void SampleQueue::discard(qsizetype count)
{
    m_head += size_t(std::min(count, size()));
    // Moved down once the used part outweighs the rest, so appends stay cheap.
    if (m_head > 4096 && m_head * 2 > m_samples.size()) {
        m_samples.erase(m_samples.begin(), m_samples.begin() + qsizetype(m_head));
        m_head = 0;
    }
}

bool CallMixer::Level::voice(double rms) const
{
    return rms >= quietestVoice && rms >= floor * voiceOverFloor;
}

void CallMixer::Level::follow(double rms)
{
    floor = std::max(1e-5, std::min(rms, floor * floorRise));
}

CallMixer::CallMixer(std::unique_ptr<EchoCanceller> canceller, Tuning tuning)
    : m_canceller(std::move(canceller))
    , m_tuning(tuning)
{
}

CallMixer::CallMixer(std::unique_ptr<EchoCanceller> canceller)
    : CallMixer(std::move(canceller), Tuning{})
{
}

CallMixer::~CallMixer() = default;

int16_t CallMixer::limit(int32_t sum)
{
    constexpr double knee = 24576; // -2.5 dBFS
    constexpr double room = 32767 - knee;
    const double magnitude = std::abs(double(sum));
    if (magnitude <= knee)
        return int16_t(sum);
    const double bent = knee + room * std::tanh((magnitude - knee) / room);
    return int16_t(std::lrint(sum < 0 ? -bent : bent));
}

CallMixer::Chunk CallMixer::addMic(const int16_t *samples, qsizetype count, Clock::time_point arrived)
{
    m_mic.append(samples, count);
    m_micPace.arrive(count, secondsSince(arrived));
    watchPairing();
    return mix();
}

CallMixer::Chunk CallMixer::addSystem(const int16_t *samples, qsizetype count, Clock::time_point arrived)
{
    if (!m_systemLive)
        return {};
    // The microphone's sound from before the computer's began, beyond the
    // span this first piece covers, is paired with silence: otherwise the
    // microphone stays behind by what it waited, further than an echo reaches.
    if (!std::exchange(m_systemHeard, true))
        m_catchUp = std::max<qsizetype>(0, m_mic.size() - count);
    m_systemPace.arrive(count, secondsSince(arrived));
    // What silence already stood in for is not played twice.
    const qsizetype skipped = std::min(m_debt, count);
    m_debt -= skipped;
    m_systemConsumed += skipped;
    m_system.append(samples + skipped, count - skipped);
    if (const qsizetype excess = m_system.size() - m_tuning.systemLimit; excess > 0) {
        m_system.discard(excess);
        m_systemConsumed += excess;
    }
    watchPairing();
    return mix();
}

CallMixer::Chunk CallMixer::endSystem()
{
    m_systemLive = false;
    m_systemConsumed += m_system.size();
    m_system.discard(m_system.size());
    m_debt = 0;
    return mix();
}

double CallMixer::secondsSince(Clock::time_point at)
{
    if (!m_start)
        m_start = at;
    return std::chrono::duration<double>(at - *m_start).count();
}

void CallMixer::Pace::arrive(qsizetype count, double seconds)
{
    arrived += count;
    const double now = double(arrived) - seconds * 16000;
    ahead = seen++ == 0 ? now : ahead + (now - ahead) / paceSmoothing;
}

// The pairing is which of the computer's samples goes with the
// microphone's next one, against the one taken at the same moment, as the
// paces tell. It stays where it settled: a drifting clock moves it, and a
// dropped or repeated sample moves it back.
void CallMixer::watchPairing()
{
    if (!m_systemHeard || !m_systemLive || m_micPace.seen == 0)
        return;
    const double pairing = double(m_systemConsumed - m_micConsumed) - (m_systemPace.ahead - m_micPace.ahead);
    if (m_systemPace.seen < m_tuning.settleArrivals) {
        m_keptPairing = pairing;
        return;
    }
    const double off = pairing - m_keptPairing;
    if (m_correction == 0 && std::abs(off) > double(m_tuning.tolerance))
        m_correction = off > 0 ? -1 : 1;
    else if (m_correction != 0 && std::abs(off) < double(m_tuning.tolerance) / 5)
        m_correction = 0;
}

// One frame of the computer's sound, one sample dropped (its clock runs
// fast) or repeated (slow) in the middle when a correction is due.
void CallMixer::takeSystemFrame(int16_t *into)
{
    constexpr qsizetype half = frame / 2;
    const int correction = ++m_framesSinceCorrection >= framesPerCorrection ? m_correction : 0;
    if (correction != 0)
        m_framesSinceCorrection = 0;
    m_system.take(into, half);
    if (correction > 0)
        m_system.discard(1);
    if (correction < 0) {
        into[half] = into[half - 1];
        m_system.take(into + half + 1, frame - half - 1);
    } else {
        m_system.take(into + half, frame - half);
    }
    m_systemConsumed += frame + correction;
}

CallMixer::Chunk CallMixer::mix()
{
    int16_t system[frame];
    int16_t mic[frame];
    while (m_mic.size() >= frame) {
        const bool haveSystem = m_catchUp < frame && m_system.size() >= frame + 1;
        if (haveSystem) {
            takeSystemFrame(system);
        } else {
            // Waited long enough, or nothing is coming: silence stands in.
            if (m_catchUp < frame && m_systemLive && m_mic.size() <= m_tuning.waitLimit)
                break;
            std::fill(std::begin(system), std::end(system), int16_t(0));
            if (m_catchUp >= frame)
                m_catchUp -= frame;
            else if (m_systemLive && m_systemHeard)
                m_debt = std::min(m_debt + frame, m_tuning.systemLimit);
        }
        m_mic.take(mic, frame);
        m_micConsumed += frame;
        if (m_canceller && m_systemLive)
            m_canceller->process(system, mic);
        const double micFrame = squares(mic, frame), systemFrame = squares(system, frame);
        m_out.micSquares += micFrame;
        m_out.systemSquares += systemFrame;
        m_micLevel.follow(rmsOf(micFrame, frame));
        m_systemLevel.follow(rmsOf(systemFrame, frame));
        const qsizetype mixed = m_out.pcm.size() / 2;
        m_out.pcm.resize((mixed + frame) * 2);
        auto *into = reinterpret_cast<int16_t *>(m_out.pcm.data()) + mixed;
        for (qsizetype i = 0; i < frame; ++i)
            into[i] = limit(int32_t(mic[i]) + system[i]);
    }
    return handOut();
}

// What is mixed goes out in pieces of about the microphone's size: each
// side's arrival can finish a few frames, and sending each few on its own
// would double the messages for the same sound.
CallMixer::Chunk CallMixer::handOut()
{
    const qsizetype mixed = m_out.pcm.size() / 2;
    if (mixed < m_tuning.chunk)
        return {};
    Chunk out;
    out.pcm = std::exchange(m_out.pcm, {});
    m_out.pcm.reserve(m_tuning.chunk * 4);
    out.sides.samples = mixed;
    out.sides.micLevel = float(rmsOf(std::exchange(m_out.micSquares, 0), mixed));
    out.sides.systemLevel = float(rmsOf(std::exchange(m_out.systemSquares, 0), mixed));
    out.sides.systemVoice = m_systemLevel.voice(out.sides.systemLevel);
    out.sides.micVoice = m_micLevel.voice(out.sides.micLevel)
                         && !(out.sides.systemVoice && out.sides.micLevel < out.sides.systemLevel * echoMargin);
    return out;
}
