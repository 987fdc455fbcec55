#pragma once

#include "microphone.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class EchoCanceller;

// Samples waiting in order; taken from the front, added at the back.
class SampleQueue
{
public:
    [[nodiscard]] qsizetype size() const { return qsizetype(m_samples.size() - m_head); }
    void append(const int16_t *samples, qsizetype count) { m_samples.insert(m_samples.end(), samples, samples + count); }
    void take(int16_t *into, qsizetype count);
    void discard(qsizetype count);

private:
    std::vector<int16_t> m_samples;
    size_t m_head = 0;
};

// Makes the one stream that is sent out of the two sides of a call: the
// microphone, with the computer's sound taken out of it, plus the computer's
// sound, 10 ms at a time, each side's frame paired with the other's taken at
// the same time. The microphone's clock sets the pace; the computer's sound
// is kept in step with it though the two devices' clocks drift apart, by
// dropping or repeating a sample now and then: each side's count of samples
// against the time it arrived tells how far its clock has run. Not
// thread-safe.
class CallMixer
{
public:
    struct Tuning
    {
        // The microphone waits this long for the computer's sound before
        // going on without it (silence in its place).
        qsizetype waitLimit = 4800;
        // The most of the computer's sound kept waiting; older is dropped.
        qsizetype systemLimit = 16000;
        // Arrivals of the computer's sound before the pairing of the sides is
        // taken as the one to keep.
        int settleArrivals = 96;
        // How far (in samples) the lag may wander before it is corrected.
        qsizetype tolerance = 80;
        // The least that is handed out at once (80 ms).
        qsizetype chunk = 8 * 160;
    };

    struct Chunk
    {
        QByteArray pcm; // 16 kHz mono s16, empty when nothing was ready
        ChunkSides sides;
    };

    static constexpr qsizetype frame = 160; // 10 ms
    using Clock = std::chrono::steady_clock;

    explicit CallMixer(std::unique_ptr<EchoCanceller> canceller, Tuning tuning);
    explicit CallMixer(std::unique_ptr<EchoCanceller> canceller);
    ~CallMixer();
    CallMixer(const CallMixer &) = delete;
    CallMixer &operator=(const CallMixer &) = delete;

    // Each side's samples as they arrive, and when.
    [[nodiscard]] Chunk addMic(const int16_t *samples, qsizetype count, Clock::time_point arrived);
    [[nodiscard]] Chunk addSystem(const int16_t *samples, qsizetype count, Clock::time_point arrived);
    // The computer's sound has stopped for good: the microphone goes on alone.
    [[nodiscard]] Chunk endSystem();

    // For tests and figures: the computer's samples that arrived and were
    // used, dropped or skipped, and the microphone's that were mixed.
    [[nodiscard]] qint64 systemConsumed() const { return m_systemConsumed; }
    [[nodiscard]] qint64 micConsumed() const { return m_micConsumed; }
    [[nodiscard]] qsizetype systemWaiting() const { return m_system.size(); }
    [[nodiscard]] qsizetype micWaiting() const { return m_mic.size(); }

    // The sum of two samples, bent softly near full scale rather than clipped.
    [[nodiscard]] static int16_t limit(int32_t sum);

private:
    struct Level
    {
        double floor = 0.001; // quietest recent frame's RMS
        bool voice(double rms) const;
        void follow(double rms);
    };

    Chunk mix();
    Chunk handOut();
    // How far ahead of the wall clock a side's count of samples runs, smoothed.
    struct Pace
    {
        qint64 arrived = 0;
        double ahead = 0;
        int seen = 0;
        void arrive(qsizetype count, double seconds);
    };

    void watchPairing();
    void takeSystemFrame(int16_t *into);
    [[nodiscard]] double secondsSince(Clock::time_point at);

    std::unique_ptr<EchoCanceller> m_canceller;
    Tuning m_tuning;
    SampleQueue m_mic;
    SampleQueue m_system;
    bool m_systemLive = true;
    bool m_systemHeard = false;
    qsizetype m_catchUp = 0; // the microphone's samples still to pair with silence
    qsizetype m_debt = 0; // the computer's samples stood in for by silence, skipped on arrival
    qint64 m_systemConsumed = 0;
    qint64 m_micConsumed = 0;
    std::optional<Clock::time_point> m_start;
    Pace m_micPace;
    Pace m_systemPace;
    double m_keptPairing = 0;
    int m_correction = 0; // +1 drop, -1 repeat, 0 none
    int m_framesSinceCorrection = 0;
    // Mixed and not yet handed out.
    struct Pending
    {
        QByteArray pcm;
        double micSquares = 0;
        double systemSquares = 0;
    } m_out;
    Level m_micLevel;
    Level m_systemLevel;
};
