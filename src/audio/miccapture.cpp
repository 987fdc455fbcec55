#include "miccapture.h"

#include "callmixer.h"
#include "echocanceller.h"
#include "logging.h"
#include "pulserecording.h"
#include "strand.h"

#include <QAudio>
#include <QCoroFuture>
#include <QDeadlineTimer>
#include <QPromise>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>


using namespace std::chrono_literals;

namespace {

using StartResult = std::optional<MicError>;

const QString errorDomain = QStringLiteral("zarno");

// Hands the caller the outcome of one start exactly once: whichever of the
// start on the worker and the deadline on the caller's thread comes first
// wins, and the later one is told it lost.
class ResumeOnce
{
public:
    ResumeOnce() { m_promise.start(); }

    [[nodiscard]] QFuture<StartResult> future() { return m_promise.future(); }

    bool resume(StartResult result)
    {
        std::lock_guard lock(m_mutex);
        if (m_settled)
            return false;
        m_settled = true;
        m_promise.addResult(std::move(result));
        m_promise.finish();
        return true;
    }

private:
    std::mutex m_mutex;
    bool m_settled = false;
    QPromise<StartResult> m_promise;
};

} // namespace

// Everything that touches the device; used only on the worker thread, but
// for retire(), which the owner calls from its own.
class MicWorker : public QObject
{
public:
    MicWorker(MicCapture::DeviceFinder findDevice, std::chrono::milliseconds stallLimit)
        : m_findDevice(std::move(findDevice))
        , m_stallLimit(stallLimit)
    {
        m_stall.setSingleShot(true);
        QObject::connect(&m_stall, &QTimer::timeout, this, &MicWorker::checkDelivery);
    }

    void setChunkHandler(Microphone::ChunkHandler handler)
    {
        std::lock_guard lock(m_handlerMutex);
        if (!m_retired)
            m_onChunk = std::move(handler);
    }

    void setFailureHandler(Microphone::FailureHandler handler)
    {
        std::lock_guard lock(m_handlerMutex);
        if (!m_retired)
            m_onFailure = std::move(handler);
    }

    void setSidesHandler(Microphone::SidesHandler handler)
    {
        std::lock_guard lock(m_handlerMutex);
        if (!m_retired)
            m_onSides = std::move(handler);
    }

    void setNoticeHandler(std::function<void(const QString &)> handler)
    {
        std::lock_guard lock(m_handlerMutex);
        if (!m_retired)
            m_onNotice = std::move(handler);
    }

    void setSystemSound(std::function<bool()> include, QByteArray source)
    {
        m_includeSystem = std::move(include);
        m_systemSource = std::move(source);
    }

    // From here on no handler is called; one being called now finishes
    // first. What the handlers reach may go away once this returns, even if
    // the worker itself is left behind stuck in the audio back end.
    void retire()
    {
        std::lock_guard lock(m_handlerMutex);
        m_retired = true;
        m_onChunk = {};
        m_onFailure = {};
        m_onSides = {};
        m_onNotice = {};
    }

    [[nodiscard]] bool retired() const
    {
        std::lock_guard lock(m_handlerMutex);
        return m_retired;
    }

    StartResult open()
    {
        close();
        if (retired())
            return MicCapture::noResponseError();
        QByteArray source; // the server's default
        if (const std::optional<QAudioDevice> device = m_findDevice ? m_findDevice() : std::nullopt) {
            if (device->isNull())
                return MicCapture::noInputDeviceError();
            source = device->id();
        }
        const bool withSystem = m_includeSystem && m_includeSystem();
        if (withSystem) {
            std::lock_guard lock(m_mixMutex);
            // Without noise suppression: it took a few of the recogniser's
            // word errors away on the librivox recordings (bench_server
            // --echo), but turned "meters" into "years" in goforward.raw and
            // cost the audio thread 0.6 % of a core more in the app.
            m_mixer = std::make_unique<CallMixer>(std::make_unique<EchoCanceller>(false));
        }
        auto recording = std::make_unique<PulseRecording>(
            loopContext(), [this](const QByteArray &chunk) { deliver(chunk); },
            whileCurrent([this] { failLater(sourceError(QAudio::FatalError)); }));
        if (const StartResult failed = recording->open(source))
            return failed;
        m_recording = std::move(recording);
        // After the microphone: the computer's sound, begun a little later,
        // never leads it, so the canceller sees each sound before its echo.
        if (withSystem)
            openSystem();
        m_stall.start(m_stallLimit);
        return std::nullopt;
    }

    void close()
    {
        ++m_capture; // what the old recordings still report is void
        m_stall.stop();
        if (std::unique_ptr<PulseRecording> recording = std::move(m_recording))
            recording->close();
        if (std::unique_ptr<PulseRecording> monitor = std::move(m_monitor))
            monitor->close();
        std::lock_guard lock(m_mixMutex);
        m_mixer.reset();
        m_systemEnded = false;
    }

    // The "zarno.mic" queue: set-up and tear-down in call order, never one
    // inside another.
    void post(std::function<void()> task) { m_strand.post(std::move(task)); }

    void setLoopContext(QObject *context) { m_loopContext = context; }

    // Ends the connection thread of its own, if it made one.
    void stopOwnLoop()
    {
        if (!m_ownLoop)
            return;
        m_ownLoop->quit();
        m_ownLoop->wait();
        delete m_ownAnchor;
        m_ownAnchor = nullptr;
        m_ownLoop.reset();
    }

private:
    // Where recordings run: the thread they were given, or one of their own
    // ("zarno.pulse") made the first time.
    QObject *loopContext()
    {
        if (m_loopContext)
            return m_loopContext;
        if (!m_ownLoop) {
            m_ownLoop = std::make_unique<QThread>();
            m_ownLoop->setObjectName(QStringLiteral("zarno.pulse"));
            m_ownAnchor = new QObject;
            m_ownAnchor->moveToThread(m_ownLoop.get());
            m_ownLoop->start();
        }
        return m_ownAnchor;
    }

    // A recording's failure, handled here, and only while the capture that
    // made the recording is still the one running.
    std::function<void()> whileCurrent(std::function<void()> handle)
    {
        return [this, capture = m_capture, handle = std::move(handle)] {
            QMetaObject::invokeMethod(
                this,
                [this, capture, handle] {
                    if (capture == m_capture)
                        handle();
                },
                Qt::QueuedConnection);
        };
    }

    // The monitor of the default output as it is now, pinned to it: when
    // that output goes, the computer's side rests until the next start.
    void openSystem()
    {
        auto monitor = std::make_unique<PulseRecording>(
            loopContext(), [this](const QByteArray &chunk) { deliverSystem(chunk); },
            whileCurrent([this] { endSystem(); }));
        if (const StartResult failed = monitor->open(m_systemSource, "zarno computer sound", true)) {
            qCInfo(lcAudio).noquote() << "The computer's sound could not be recorded:" << failed->description;
            endSystem();
            if (!std::exchange(m_systemMissing, true)) {
                std::lock_guard lock(m_handlerMutex);
                if (m_onNotice)
                    m_onNotice(MicCapture::noSystemSoundNotice());
            }
            return;
        }
        m_systemMissing = false;
        m_monitor = std::move(monitor);
    }

    // The mixer is told on the recordings' thread, with the next chunk.
    void endSystem()
    {
        if (std::unique_ptr<PulseRecording> monitor = std::move(m_monitor))
            monitor->close();
        std::lock_guard lock(m_mixMutex);
        m_systemEnded = true;
    }

    // On the recording's thread.
    void deliver(const QByteArray &chunk)
    {
        CallMixer::Chunk rest, mixed;
        {
            std::lock_guard lock(m_mixMutex);
            if (m_mixer) {
                if (std::exchange(m_systemEnded, false))
                    rest = m_mixer->endSystem();
                mixed = m_mixer->addMic(samplesOf(chunk), chunk.size() / 2, CallMixer::Clock::now());
            } else {
                mixed.pcm = chunk;
            }
        }
        handOut(rest);
        handOut(mixed);
    }

    // On the monitor's thread, the same as the microphone's.
    void deliverSystem(const QByteArray &chunk)
    {
        CallMixer::Chunk mixed;
        {
            std::lock_guard lock(m_mixMutex);
            if (!m_mixer)
                return;
            mixed = m_mixer->addSystem(samplesOf(chunk), chunk.size() / 2, CallMixer::Clock::now());
        }
        handOut(mixed);
    }

    // A chunk of the microphone alone has no sides to tell.
    void handOut(const CallMixer::Chunk &chunk)
    {
        if (chunk.pcm.isEmpty())
            return;
        std::lock_guard lock(m_handlerMutex);
        if (m_onSides && chunk.sides.samples > 0)
            m_onSides(chunk.sides);
        if (m_onChunk)
            m_onChunk(chunk.pcm);
    }

    static const int16_t *samplesOf(const QByteArray &pcm) { return reinterpret_cast<const int16_t *>(pcm.constData()); }

    // Once a source has delivered, its going quiet for the stall limit means
    // it stopped. Looked at about once per limit, rather than a timer re-armed
    // on this thread for every chunk.
    void checkDelivery()
    {
        if (!m_recording)
            return;
        const auto last = m_recording->lastDelivery();
        if (!last) {
            m_stall.start(m_stallLimit);
            return;
        }
        const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - *last);
        if (quiet >= m_stallLimit)
            failLater(MicCapture::stoppedDeliveringError());
        else
            m_stall.start(m_stallLimit - quiet);
    }

    // Reported from the queue, after what is already in it: the capture is
    // torn down first, and only if it is still the one that failed.
    void failLater(MicError error)
    {
        post([this, capture = m_capture, error = std::move(error)] {
            if (capture != m_capture)
                return;
            close();
            qCWarning(lcAudio).noquote() << "The microphone stopped:" << error.description;
            std::lock_guard lock(m_handlerMutex);
            if (m_onFailure)
                m_onFailure(error);
        });
    }

    MicCapture::DeviceFinder m_findDevice;
    std::chrono::milliseconds m_stallLimit;
    mutable std::mutex m_handlerMutex;
    Microphone::ChunkHandler m_onChunk;     // guarded by m_handlerMutex
    Microphone::FailureHandler m_onFailure; // likewise
    Microphone::SidesHandler m_onSides;     // likewise
    std::function<void(const QString &)> m_onNotice; // likewise
    bool m_retired = false;                 // likewise
    std::function<bool()> m_includeSystem;
    QByteArray m_systemSource;
    bool m_systemMissing = false; // told once, until it is heard again
    std::mutex m_mixMutex;
    std::unique_ptr<CallMixer> m_mixer; // guarded by m_mixMutex
    bool m_systemEnded = false;         // likewise
    std::unique_ptr<PulseRecording> m_recording;
    std::unique_ptr<PulseRecording> m_monitor;
    QPointer<QObject> m_loopContext;
    std::unique_ptr<QThread> m_ownLoop;
    QObject *m_ownAnchor = nullptr; // lives on m_ownLoop
    quint64 m_capture = 0;
    QTimer m_stall{this};
    Strand m_strand{this};
};

MicCapture::MicCapture(DeviceFinder findDevice, MicTiming timing)
    : m_thread(std::make_unique<QThread>())
    , m_worker(new MicWorker(std::move(findDevice), timing.stallLimit))
    , m_timing(timing)
{
    m_thread->setObjectName(QStringLiteral("zarno.mic"));
    m_worker->moveToThread(m_thread.get());
    m_thread->start();
}

MicCapture::~MicCapture()
{
    // Whatever becomes of the worker, its owner hears nothing more from it.
    m_worker->retire();
    m_worker->post([worker = m_worker] {
        worker->close();
        QThread::currentThread()->quit();
    });
    // A device stuck in its start keeps the worker busy; rather than hang the
    // caller, leave the worker behind (it is only ever stopped at exit).
    if (!m_thread->wait(QDeadlineTimer(m_timing.teardownWait))) {
        qCWarning(lcAudio) << "The microphone's thread did not finish; it is left behind.";
        (void)m_thread.release();
        return;
    }
    m_worker->stopOwnLoop();
    delete m_worker;
}

void MicCapture::setLoopContext(QObject *context)
{
    m_worker->post([worker = m_worker, context = QPointer<QObject>(context)] { worker->setLoopContext(context); });
}

void MicCapture::setOnChunk(ChunkHandler handler)
{
    m_worker->post([worker = m_worker, handler = std::move(handler)]() mutable {
        worker->setChunkHandler(std::move(handler));
    });
}

void MicCapture::setOnSides(SidesHandler handler)
{
    m_worker->post([worker = m_worker, handler = std::move(handler)]() mutable {
        worker->setSidesHandler(std::move(handler));
    });
}

void MicCapture::setOnNotice(std::function<void(const QString &)> handler)
{
    m_worker->post([worker = m_worker, handler = std::move(handler)]() mutable {
        worker->setNoticeHandler(std::move(handler));
    });
}

void MicCapture::setSystemSound(std::function<bool()> include, QByteArray source)
{
    m_worker->post([worker = m_worker, include = std::move(include), source = std::move(source)]() mutable {
        worker->setSystemSound(std::move(include), std::move(source));
    });
}

void MicCapture::setOnFailure(FailureHandler handler)
{
    m_worker->post([worker = m_worker, handler = std::move(handler)]() mutable {
        worker->setFailureHandler(std::move(handler));
    });
}

QCoro::Task<std::optional<MicError>> MicCapture::start(std::chrono::milliseconds timeout)
{
    auto outcome = std::make_shared<ResumeOnce>();
    QFuture<StartResult> result = outcome->future();

    m_worker->post([worker = m_worker, outcome] {
        StartResult started = worker->open();
        // Its owner went away while it opened: nobody will ever stop it.
        if (!started && worker->retired()) {
            worker->close();
            started = noResponseError();
        }
        // The caller has already been told it failed: nobody listens to this
        // capture, so it must not keep the microphone open.
        if (!outcome->resume(started) && !started)
            worker->close();
    });
    QTimer::singleShot(timeout, [outcome] { outcome->resume(noResponseError()); });

    co_return co_await result;
}

void MicCapture::stop()
{
    m_worker->post([worker = m_worker] { worker->close(); });
}

MicError MicCapture::noInputDeviceError()
{
    return {errorDomain, 1, QStringLiteral("No audio input device available")};
}

MicError MicCapture::noResponseError()
{
    return {errorDomain, 2, QStringLiteral("The microphone didn't respond. Reconnect your audio device and try again.")};
}

MicError MicCapture::stoppedDeliveringError()
{
    return {errorDomain, 3, QStringLiteral("The microphone stopped delivering sound.")};
}

QString MicCapture::noSystemSoundNotice()
{
    return QStringLiteral("zarno can't hear this computer's sound, so it listens to the microphone alone.");
}

void leaveWithoutAudioTeardown(int exitCode)
{
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
