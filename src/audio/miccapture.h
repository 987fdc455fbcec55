#pragma once

#include "microphone.h"

#include <QAudioDevice>

#include <chrono>
#include <functional>
#include <optional>
#include <memory>

class QThread;
class MicWorker;

// How long the capture waits on a device that has gone quiet or a worker
// that does not finish; tests shorten them.
struct MicTiming
{
    // A source that delivered and then nothing for this long has stopped.
    std::chrono::milliseconds stallLimit{3000};
    // The most the destructor waits for the worker before leaving it behind.
    std::chrono::milliseconds teardownWait{3000};
};

// Captures the default audio input from the sound server (PulseAudio or
// PipeWire's PulseAudio service, each start on a connection of its own) and hands it out as
// 16 kHz mono signed 16-bit chunks, one per 4096 device frames (about 85 ms at
// 48 kHz). Set-up and tear-down run in call order on the capture's own worker
// thread ("zarno.mic"); the chunks come from the connection's thread as they
// arrive: the loop thread it was given, or one of its own ("zarno.pulse").
// Never the GUI thread. Switched to the call's sound, it records the monitor
// of the default output on a second connection on the same thread and hands
// out the mix of both sides instead (see CallMixer), each chunk told first.
class MicCapture final : public Microphone
{
public:
    // Finds the device to open; runs on the worker. Without one, or when it
    // finds nothing, each start takes the sound server's default input as it
    // is at that moment. A null device means there is none.
    using DeviceFinder = std::function<std::optional<QAudioDevice>()>;

    static constexpr qsizetype framesPerChunk = 4096;

    explicit MicCapture(DeviceFinder findDevice = {}, MicTiming timing = {});
    ~MicCapture() override;
    MicCapture(const MicCapture &) = delete;
    MicCapture &operator=(const MicCapture &) = delete;

    // Take effect on the worker, in order with start() and stop(); safe while
    // audio flows, and the handlers never wait on the GUI thread. Once the
    // destructor has begun, neither is called again.
    void setOnChunk(ChunkHandler handler) override;
    void setOnFailure(FailureHandler handler) override;
    // Asked on the worker at each start: whether that leg also records the
    // computer's own sound (the monitor of the default output, as it is
    // then), echo-cancelled out of the microphone and mixed into one stream.
    // Without it, the microphone alone. `source` names another source to
    // record as the computer's sound.
    void setSystemSound(std::function<bool()> include, QByteArray source = defaultMonitor());
    [[nodiscard]] static QByteArray defaultMonitor() { return QByteArrayLiteral("@DEFAULT_MONITOR@"); }
    void setOnSides(SidesHandler handler) override;
    // Called off the GUI thread with a sentence for the user that fails
    // nothing: the computer's sound cannot be heard; once until it can again.
    void setOnNotice(std::function<void(const QString &)> handler);
    // Runs the sound server's connection, from the next start on, on the
    // thread of `context`, a thread with Qt's (GLib) event loop. Given the
    // thread that sends the chunks, each is sent from where it arrives: one
    // thread woken per chunk, not two.
    void setLoopContext(QObject *context);
    [[nodiscard]] QCoro::Task<std::optional<MicError>> start(std::chrono::milliseconds timeout) override;
    void stop() override;

    [[nodiscard]] static MicError noInputDeviceError();
    [[nodiscard]] static MicError noResponseError();
    [[nodiscard]] static MicError stoppedDeliveringError();
    [[nodiscard]] static QString noSystemSoundNotice();

private:
    std::unique_ptr<QThread> m_thread;
    MicWorker *m_worker = nullptr; // lives on m_thread
    MicTiming m_timing;
};

// Ends the process with `exitCode` without running library destructors. Qt
// 6.4's PulseAudio back end disconnects from the sound server at exit without
// holding its main loop's lock; if the server is still talking to the process
// then (a stream has just closed, a device changed) it aborts or crashes on
// its way out. Call it once everything worth keeping has been written.
[[noreturn]] void leaveWithoutAudioTeardown(int exitCode);
