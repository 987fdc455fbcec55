#pragma once

#include "microphone.h"

#include <QAudioDevice>

#include <functional>
#include <memory>

class QThread;
class MicWorker;

// Captures the default audio input through Qt Multimedia and hands it out as
// 16 kHz mono signed 16-bit chunks, one per 4096 device frames (about 85 ms at
// 48 kHz). Set-up and tear-down run in call order on the capture's own worker
// thread ("zarno.mic"), which also delivers the chunks: never the GUI thread.
class MicCapture final : public Microphone
{
public:
    // Finds the device to open; runs on the worker. The default takes the
    // system's default input. A null device means there is none.
    using DeviceFinder = std::function<QAudioDevice()>;

    static constexpr qsizetype framesPerChunk = 4096;

    explicit MicCapture(DeviceFinder findDevice = {});
    ~MicCapture() override;
    MicCapture(const MicCapture &) = delete;
    MicCapture &operator=(const MicCapture &) = delete;

    // Takes effect on the worker, in order with start() and stop(); safe while
    // audio flows, and the handler never waits on the GUI thread.
    void setOnChunk(ChunkHandler handler) override;
    [[nodiscard]] QCoro::Task<std::optional<MicError>> start(std::chrono::milliseconds timeout) override;
    void stop() override;

    [[nodiscard]] static MicError noInputDeviceError();
    [[nodiscard]] static MicError noResponseError();

private:
    std::unique_ptr<QThread> m_thread;
    MicWorker *m_worker = nullptr; // lives on m_thread
};

// Ends the process with `exitCode` without running library destructors. Qt
// 6.4's PulseAudio back end disconnects from the sound server at exit without
// holding its main loop's lock; if the server is still talking to the process
// then (a stream has just closed, a device changed) it aborts or crashes on
// its way out. Call it once everything worth keeping has been written.
[[noreturn]] void leaveWithoutAudioTeardown(int exitCode);
