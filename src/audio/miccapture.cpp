#include "miccapture.h"

#include "logging.h"
#include "resampler.h"
#include "strand.h"

#include <QAudioSource>
#include <QCoroFuture>
#include <QDeadlineTimer>
#include <QMediaDevices>
#include <QPointer>
#include <QPromise>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <pulse/pulseaudio.h>

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

MicError sourceError(QAudio::Error error)
{
    switch (error) {
    case QAudio::IOError:
        return {QStringLiteral("QAudio"), int(error), QStringLiteral("The audio input could not be read.")};
    case QAudio::FatalError:
        return {QStringLiteral("QAudio"), int(error), QStringLiteral("The audio input stopped working.")};
    case QAudio::NoError:
    case QAudio::OpenError:
    case QAudio::UnderrunError:
        break;
    }
    return {QStringLiteral("QAudio"), int(QAudio::OpenError), QStringLiteral("The audio input could not be opened.")};
}

// The name of the sound server's default source, or nothing when no server
// answers within a moment. A connection of its own for each question: it
// is asked once per leg.
std::optional<QByteArray> serverDefaultSource()
{
    struct Query
    {
        bool answered = false;
        QByteArray name;
    } query;
    pa_mainloop *loop = pa_mainloop_new();
    if (!loop)
        return std::nullopt;
    const auto freeLoop = qScopeGuard([loop] { pa_mainloop_free(loop); });
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "zarno");
    if (!context)
        return std::nullopt;
    const auto freeContext = qScopeGuard([context] {
        pa_context_disconnect(context);
        pa_context_unref(context);
    });
    // Never start a sound server just to ask it.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return std::nullopt;

    pa_operation *operation = nullptr;
    const QDeadlineTimer deadline(2000);
    while (!query.answered && !deadline.hasExpired()) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
            break;
        if (state == PA_CONTEXT_READY && !operation) {
            operation = pa_context_get_server_info(
                context,
                [](pa_context *, const pa_server_info *info, void *userdata) {
                    auto *answer = static_cast<Query *>(userdata);
                    if (info && info->default_source_name)
                        answer->name = info->default_source_name;
                    answer->answered = true;
                },
                &query);
            if (!operation)
                break;
        }
        if (pa_mainloop_prepare(loop, 50'000) < 0 || pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0)
            break;
    }
    if (operation) {
        if (!query.answered)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    if (!query.answered)
        return std::nullopt;
    return query.name;
}

} // namespace

// Everything that touches the device; used only on the worker thread, but
// for retire(), which the owner calls from its own.
class MicWorker : public QObject
{
public:
    MicWorker(MicCapture::DeviceFinder findDevice, std::chrono::milliseconds stallLimit)
        : m_findDevice(std::move(findDevice))
    {
        m_stall.setSingleShot(true);
        m_stall.setInterval(stallLimit);
        QObject::connect(&m_stall, &QTimer::timeout, this, [this] { failLater(MicCapture::stoppedDeliveringError()); });
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

    // From here on no handler is called; one being called now finishes
    // first. What the handlers reach may go away once this returns, even if
    // the worker itself is left behind stuck in the audio back end.
    void retire()
    {
        std::lock_guard lock(m_handlerMutex);
        m_retired = true;
        m_onChunk = {};
        m_onFailure = {};
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
        const QAudioDevice device = m_findDevice ? m_findDevice() : MicCapture::currentDefaultInput();
        if (device.isNull())
            return MicCapture::noInputDeviceError();
        const QAudioFormat format = device.preferredFormat();
        if (format.sampleRate() <= 0 || format.channelCount() <= 0 || format.bytesPerFrame() <= 0)
            return MicCapture::noInputDeviceError();

        auto source = std::make_unique<QAudioSource>(device, format);
        QIODevice *io = source->start();
        if (!io || source->error() != QAudio::NoError) {
            const QAudio::Error error = source->error();
            source->stop();
            return sourceError(error);
        }
        m_source = std::move(source);
        m_io = io;
        // A format that cannot be converted still runs; its buffers are dropped.
        m_resampler = std::make_unique<Resampler>(format);
        m_blockBytes = MicCapture::framesPerChunk * format.bytesPerFrame();
        m_pending.clear();
        QObject::connect(io, &QIODevice::readyRead, this, [this] { read(); });
        // The device fails, or goes with its sound server (Qt then frees it).
        QObject::connect(m_source.get(), &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && m_source && m_source->error() != QAudio::NoError)
                failLater(sourceError(m_source->error()));
        });
        QObject::connect(io, &QObject::destroyed, this, [this] { failLater(sourceError(QAudio::FatalError)); });
        return std::nullopt;
    }

    void close()
    {
        ++m_capture; // a failure reported for the old capture is void
        m_stall.stop();
        // Forget the capture before tearing it down: Qt may run this thread's
        // events while it does.
        std::unique_ptr<QAudioSource> source = std::move(m_source);
        if (source)
            QObject::disconnect(source.get(), nullptr, this, nullptr);
        // Held by a guarded pointer: when the sound server goes away Qt frees
        // the device itself, and touching it then would crash.
        if (m_io)
            QObject::disconnect(m_io.data(), nullptr, this, nullptr);
        m_io = nullptr;
        m_resampler.reset();
        m_pending.clear();
        if (source)
            source->stop();
    }

    // The "zarno.mic" queue: set-up and tear-down in call order, never one
    // inside another although Qt's audio back end runs nested event loops.
    void post(std::function<void()> task) { m_strand.post(std::move(task)); }

private:
    // Reported from the queue, never from inside Qt's own signal: the
    // capture is torn down first, and only if it is still the one that failed.
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

    // Qt hands over a few tens of milliseconds at a time (more at first);
    // the wire wants one chunk per 4096 device frames, so whole blocks are
    // cut from what has arrived and the rest waits for the next read.
    void read()
    {
        if (!m_io)
            return;
        const QByteArray data = m_io->readAll();
        if (data.isEmpty())
            return;
        // Once a source has delivered, its going quiet means it stopped
        // (a source that fails may keep signalling with nothing to read).
        m_stall.start();
        m_pending.append(data);
        qsizetype offset = 0;
        while (m_pending.size() - offset >= m_blockBytes) {
            const QByteArray chunk = m_resampler->convert(m_pending.constData() + offset, MicCapture::framesPerChunk);
            offset += m_blockBytes;
            if (chunk.isEmpty())
                continue;
            std::lock_guard lock(m_handlerMutex);
            if (m_onChunk)
                m_onChunk(chunk);
        }
        m_pending.remove(0, offset);
    }

    MicCapture::DeviceFinder m_findDevice;
    mutable std::mutex m_handlerMutex;
    Microphone::ChunkHandler m_onChunk;     // guarded by m_handlerMutex
    Microphone::FailureHandler m_onFailure; // likewise
    bool m_retired = false;                 // likewise
    std::unique_ptr<QAudioSource> m_source;
    QPointer<QIODevice> m_io;
    std::unique_ptr<Resampler> m_resampler;
    QByteArray m_pending;
    qsizetype m_blockBytes = 0;
    quint64 m_capture = 0;
    QTimer m_stall{this};
    Strand m_strand{this};
};

MicCapture::MicCapture(DeviceFinder findDevice, MicTiming timing)
    : m_thread(std::make_unique<QThread>())
    , m_worker(new MicWorker(std::move(findDevice), timing.stallLimit))
    , m_timing(timing)
{
    // Qt's audio back end is made by its first user and belongs to that
    // thread; let that be the long-lived caller's thread, not the worker.
    (void)QMediaDevices::audioInputs();
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
    delete m_worker;
}

void MicCapture::setOnChunk(ChunkHandler handler)
{
    m_worker->post([worker = m_worker, handler = std::move(handler)]() mutable {
        worker->setChunkHandler(std::move(handler));
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

QAudioDevice MicCapture::currentDefaultInput()
{
    const std::optional<QByteArray> name = serverDefaultSource();
    if (!name)
        return {};
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    for (const QAudioDevice &device : inputs) {
        if (device.id() == *name)
            return device;
    }
    // A default Qt does not list (a monitor, say): Qt's own choice then.
    return QMediaDevices::defaultAudioInput();
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

void leaveWithoutAudioTeardown(int exitCode)
{
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
