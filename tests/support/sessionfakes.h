#pragma once

// Stand-ins for the parts of a session that need a device or a window. The
// connection and the sign-in in these tests are the real ones.

#include "sessioncontroller.h"
#include "microphone.h"
#include "sessionhooks.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QPromise>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

// The phase a preview shows, for tables written as "listening" and "paused".
inline SessionController::Phase previewPhase(bool listening, bool paused)
{
    return listening ? SessionController::Phase::Listening
           : paused  ? SessionController::Phase::Paused
                     : SessionController::Phase::Idle;
}

// Stands in for the microphone: no sound card here is reliable enough to
// drive a controller test, so chunks come from a thread of its own.
class FakeMicrophone : public Microphone
{
public:
    // Held: the start resolves, with the device running, only on release().
    enum class Start { Runs, Held, Fails, Hangs };

    Start nextStart = Start::Runs;
    int starts = 0;
    std::atomic<int> stops = 0;
    std::atomic<bool> running = false;

    void setOnChunk(ChunkHandler handler) override
    {
        std::lock_guard lock(m_mutex);
        m_handler = std::move(handler);
    }

    void setOnFailure(FailureHandler handler) override
    {
        std::lock_guard lock(m_mutex);
        m_onFailure = std::move(handler);
    }

    void setOnSides(SidesHandler handler) override
    {
        std::lock_guard lock(m_mutex);
        m_onSides = std::move(handler);
    }

    QCoro::Task<std::optional<MicError>> start(std::chrono::milliseconds timeout) override
    {
        ++starts;
        switch (nextStart) {
        case Start::Runs:
            running = true;
            co_return std::nullopt;
        case Start::Held: {
            QPromise<void> gate;
            gate.start();
            m_gate = &gate;
            co_await gate.future();
            running = true;
            co_return std::nullopt;
        }
        case Start::Fails:
            co_return MicError{QStringLiteral("zarno"), 1, QStringLiteral("No audio input device available")};
        case Start::Hangs:
            co_await QCoro::sleepFor(timeout);
            co_return MicError{QStringLiteral("zarno"), 2,
                               QStringLiteral("The microphone didn't respond. Reconnect your audio device and try again.")};
        }
        co_return std::nullopt;
    }

    // Lets a held start finish; false when none is waiting.
    bool release()
    {
        if (!m_gate)
            return false;
        std::exchange(m_gate, nullptr)->finish();
        return true;
    }
    bool isHeld() const { return m_gate != nullptr; }

    void stop() override
    {
        ++stops;
        running = false;
    }

    // The running device stops on its own, reported from another thread.
    void fail()
    {
        running = false;
        std::thread([this] {
            std::lock_guard lock(m_mutex);
            if (m_onFailure)
                m_onFailure(MicError{QStringLiteral("QAudio"), 3, QStringLiteral("The audio input stopped working.")});
        }).join();
    }

    // Delivers chunks from another thread, as a sound card would; with
    // `sides`, one for each chunk, as a capture of both sides of a call.
    void deliver(const QList<QByteArray> &chunks, const QList<ChunkSides> &sides = {})
    {
        std::thread([this, chunks, sides] {
            std::lock_guard lock(m_mutex);
            for (qsizetype i = 0; i < chunks.size(); ++i) {
                if (m_onSides && i < sides.size())
                    m_onSides(sides.at(i));
                if (m_handler)
                    m_handler(chunks.at(i));
            }
        }).join();
    }

private:
    std::mutex m_mutex;
    ChunkHandler m_handler;
    FailureHandler m_onFailure;
    SidesHandler m_onSides;
    QPromise<void> *m_gate = nullptr;
};

class FakePermission : public MicPermission
{
public:
    Status current = Status::Authorized;
    bool grants = true;
    int requests = 0;

    Status status() const override { return current; }
    QCoro::Task<bool> request() override
    {
        ++requests;
        co_return grants;
    }
};

// Records what the session asks of the floating panel.
class FakePanel : public LivePanelHook
{
public:
    QList<bool> shows; // the `expanded` argument of each show
    int hides = 0;
    bool isExpanded = false;
    bool visible = false;

    void show(SessionController *, bool expanded) override
    {
        shows.append(expanded);
        if (expanded)
            isExpanded = true;
        visible = true;
    }
    void hide() override
    {
        ++hides;
        isExpanded = false;
        visible = false;
    }
    bool expanded() const override { return isExpanded; }
};

class FakePrompt : public MeetingPromptHook
{
public:
    QStringList shown;
    int closes = 0;
    std::function<void()> take;
    std::function<void()> dismiss;

    void show(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss) override
    {
        shown.append(source);
        take = std::move(onTake);
        dismiss = std::move(onDismiss);
    }
    void close() override { ++closes; }
};

class FakeHarvest : public SignInHarvestHook
{
public:
    int harvests = 0;
    void harvest() override { ++harvests; }
};

class FakeWindow : public MainWindowHook
{
public:
    QList<QUrl> loads;
    int opens = 0;
    void load(const QUrl &url) override { loads.append(url); }
    void open() override { ++opens; }
};

// Stands in for the meeting detector, whose real sources are the programs
// and the sound server of the machine.
class FakeDetector : public MeetingWatch
{
public:
    std::optional<QString> app;
    bool isSuppressed = false;

    std::optional<QString> detectedApp() const override { return app; }
    void setDetectedApp(std::optional<QString> value) override
    {
        app = std::move(value);
        Q_EMIT detectedAppChanged();
    }
    bool suppressed() const override { return isSuppressed; }
    void setSuppressed(bool value) override { isSuppressed = value; }

    void publish(const QString &source)
    {
        if (!isSuppressed)
            setDetectedApp(source);
    }
};
