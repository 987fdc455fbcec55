#pragma once

#include <QByteArray>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

// A failure to start the microphone, shown to the user by its description.
struct MicError
{
    QString domain; // "zarno" for the capture's own errors
    int code = 0;   // 1: no input device, 2: the device did not respond, 3: it stopped delivering
    QString description;
};

// How each side of the call sounded in one chunk of what is sent: the user's
// microphone (after the echo of the computer's sound is taken out) and the
// computer's own sound, the other side of a call.
struct ChunkSides
{
    qsizetype samples = 0; // 16 kHz samples of the chunk this describes
    float micLevel = 0;    // RMS, 1.0 is full scale
    float systemLevel = 0;
    bool micVoice = false; // someone speaking, not just noise
    bool systemVoice = false;
};

// What the session controller needs of the microphone; MicCapture is the real one.
class Microphone
{
public:
    using ChunkHandler = std::function<void(const QByteArray &)>;
    using FailureHandler = std::function<void(const MicError &)>;
    using SidesHandler = std::function<void(const ChunkSides &)>;

    virtual ~Microphone() = default;

    // Set before each start. Called off the GUI thread with one chunk of
    // 16 kHz mono signed 16-bit native-endian PCM at a time; must not block.
    virtual void setOnChunk(ChunkHandler handler) = 0;
    // Set before each start. Called off the GUI thread, at most once per
    // start, when a running capture ends on its own: the device failed, went
    // away with its sound server, or stopped delivering. Must not block.
    virtual void setOnFailure(FailureHandler handler) = 0;
    // Set before each start. Called on the chunk's thread just before each
    // chunk, describing it; a capture of the microphone alone never calls it.
    virtual void setOnSides(SidesHandler handler) { Q_UNUSED(handler); }
    // Resolves with nothing once the capture runs, or with the error; at the
    // latest when the timeout has passed.
    [[nodiscard]] virtual QCoro::Task<std::optional<MicError>> start(std::chrono::milliseconds timeout) = 0;
    // Returns at once; harmless when nothing runs.
    virtual void stop() = 0;
};

// Whether the user lets zarno hear them. Linux has no such gate; a macOS
// build asks the system here.
class MicPermission
{
public:
    enum class Status { NotDetermined, Restricted, Denied, Authorized };

    virtual ~MicPermission() = default;
    [[nodiscard]] virtual Status status() const = 0;
    // Asks the user once; true when access was granted.
    [[nodiscard]] virtual QCoro::Task<bool> request() = 0;
};
