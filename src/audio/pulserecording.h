#pragma once

#include "microphone.h"

#include <QAudio>
#include <QByteArray>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class PulseLink;
struct RecordingSink;

// What a microphone's source failing is reported as.
[[nodiscard]] MicError sourceError(QAudio::Error error);

// One recording from the sound server, on a connection of its own: a server
// that went away and came back is simply reached again by the next recording
// (Qt's shared connection gives up on it for good). The server's own default
// source is used unless a source is named, so a default changed in the sound
// settings counts from the next recording on. The connection runs on the
// thread of `loopContext` (a thread with Qt's GLib event loop): given the
// socket's, each chunk is sent from where it arrives, one thread woken for it
// instead of two.
class PulseRecording
{
public:
    using StartResult = std::optional<MicError>;

    static constexpr std::chrono::milliseconds openLimit{5000};
    static constexpr std::chrono::milliseconds closeLimit{3000};

    // The handlers are called on the loop's thread, never after close().
    PulseRecording(QObject *loopContext, std::function<void(QByteArray)> onChunk, std::function<void()> onFailure);
    ~PulseRecording();
    PulseRecording(const PulseRecording &) = delete;
    PulseRecording &operator=(const PulseRecording &) = delete;

    // Blocks until the source records or fails, five seconds at most. The
    // stream is named for what it records; `pinned` keeps it on its source:
    // should that go, the stream fails rather than moving to another.
    StartResult open(const QByteArray &source, const QByteArray &name = "zarno microphone", bool pinned = false);
    // When sound last arrived, on the steady clock; never before the first.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> lastDelivery() const;
    // Nothing is handed over once this returns; the connection closes on
    // its own thread, waited for a while.
    void close();

private:
    bool onLoop(std::function<void()> job);

    QPointer<QObject> m_loopContext;
    std::shared_ptr<RecordingSink> m_sink;
    std::shared_ptr<PulseLink> m_link;
};
