#include "miccapture.h"

#include "logging.h"
#include "resampler.h"
#include "strand.h"

#include <QAudio>
#include <QCoroFuture>
#include <QDeadlineTimer>
#include <QPointer>
#include <QPromise>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>

#include <pulse/glib-mainloop.h>
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

// Where a recording's callbacks land; cut off when the recording closes, so
// nothing reaches its owner afterwards even if the loop's thread runs late.
struct RecordingSink
{
    std::mutex mutex;
    std::function<void(QByteArray)> onChunk; // guarded by mutex
    std::function<void()> onFailure;         // likewise
    std::atomic<std::chrono::steady_clock::rep> lastDelivery{0};

    void chunk(const QByteArray &bytes)
    {
        std::lock_guard lock(mutex);
        if (onChunk)
            onChunk(bytes);
    }
    void failed()
    {
        std::lock_guard lock(mutex);
        if (onFailure)
            onFailure();
    }
    void cutOff()
    {
        std::lock_guard lock(mutex);
        onChunk = {};
        onFailure = {};
    }
};

// The sound server's connection and record stream of one recording. It lives
// on the loop's thread: every call into the sound server's library, and every
// callback from it, happens there, driven by that thread's GLib main loop.
class PulseLink
{
public:
    PulseLink(std::shared_ptr<RecordingSink> sink, std::shared_ptr<std::promise<StartResult>> opened)
        : m_sink(std::move(sink))
        , m_opened(std::move(opened))
    {
    }
    ~PulseLink() { tearDown(); }
    PulseLink(const PulseLink &) = delete;
    PulseLink &operator=(const PulseLink &) = delete;

    void begin(const QByteArray &source)
    {
        m_source = source.isEmpty() ? QByteArrayLiteral("@DEFAULT_SOURCE@") : source;
        // Qt's GLib event loop makes its thread's context the thread default.
        GMainContext *context = g_main_context_get_thread_default();
        if (!context) {
            qCWarning(lcAudio) << "The microphone needs Qt's GLib event loop (QT_NO_GLIB is set).";
            return settle(MicCapture::noInputDeviceError());
        }
        m_loop = pa_glib_mainloop_new(context);
        if (!m_loop)
            return settle(MicCapture::noInputDeviceError());
        pa_proplist *props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "zarno");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "zarno");
        m_context = pa_context_new_with_proplist(pa_glib_mainloop_get_api(m_loop), "zarno", props);
        pa_proplist_free(props);
        if (!m_context)
            return settle(MicCapture::noInputDeviceError());
        pa_context_set_state_callback(m_context, &PulseLink::onContextState, this);
        // Never start a sound server just to record from it.
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            settle(MicCapture::noInputDeviceError());
    }

    void tearDown()
    {
        if (m_stream) {
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_set_read_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
            m_stream = nullptr;
        }
        if (m_context) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
        if (m_loop) {
            pa_glib_mainloop_free(m_loop);
            m_loop = nullptr;
        }
        settle(MicCapture::noInputDeviceError());
    }

private:
    // The outcome of opening, told once; later failures go to the sink.
    void settle(StartResult result)
    {
        if (std::shared_ptr<std::promise<StartResult>> opened = std::exchange(m_opened, nullptr))
            opened->set_value(std::move(result));
    }

    static void onContextState(pa_context *context, void *userdata)
    {
        auto *self = static_cast<PulseLink *>(userdata);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            if (self->m_opened)
                self->askForTheSource();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (self->m_opened)
                self->settle(MicCapture::noInputDeviceError());
            else
                self->m_sink->failed();
            break;
        default:
            break;
        }
    }

    void askForTheSource()
    {
        pa_operation *query = pa_context_get_source_info_by_name(
            m_context, m_source.constData(),
            [](pa_context *, const pa_source_info *info, int eol, void *userdata) {
                auto *self = static_cast<PulseLink *>(userdata);
                if (info && eol == 0)
                    self->m_sourceFormat = info->sample_spec;
                else
                    self->record();
            },
            this);
        if (!query)
            return settle(MicCapture::noInputDeviceError());
        pa_operation_unref(query);
    }

    // Recorded as 16-bit samples at the wire's rate: the server converts, as
    // it does for any recorder; resampling here would cost a second pass and
    // six times the data through the socket.
    void record()
    {
        if (!m_opened || m_stream)
            return;
        if (!m_sourceFormat)
            return settle(MicCapture::noInputDeviceError());
        const pa_sample_spec wire{PA_SAMPLE_S16NE, uint32_t(Resampler::outputRate), 1};
        pa_channel_map map;
        if (!pa_sample_spec_valid(&*m_sourceFormat) || !pa_channel_map_init_mono(&map))
            return settle(sourceError(QAudio::OpenError));
        // One chunk per 4096 frames of the source, whatever rate it records at.
        m_chunkBytes = qsizetype(pa_frame_size(&wire))
                       * std::max<qsizetype>(1, MicCapture::framesPerChunk * qsizetype(wire.rate)
                                                    / std::max<qsizetype>(1, m_sourceFormat->rate));
        m_stream = pa_stream_new(m_context, "zarno microphone", &wire, &map);
        if (!m_stream)
            return settle(sourceError(QAudio::OpenError));
        pa_stream_set_state_callback(m_stream, &PulseLink::onStreamState, this);
        pa_stream_set_read_callback(m_stream, &PulseLink::onRead, this);
        // One chunk's worth at a time: smaller pieces only wake this
        // process more often for the same sound.
        pa_buffer_attr attributes;
        attributes.maxlength = uint32_t(-1);
        attributes.tlength = uint32_t(-1);
        attributes.prebuf = uint32_t(-1);
        attributes.minreq = uint32_t(-1);
        attributes.fragsize = uint32_t(m_chunkBytes);
        if (pa_stream_connect_record(m_stream, m_source.constData(), &attributes, PA_STREAM_ADJUST_LATENCY) < 0)
            settle(sourceError(QAudio::OpenError));
    }

    static void onStreamState(pa_stream *stream, void *userdata)
    {
        auto *self = static_cast<PulseLink *>(userdata);
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            self->settle(std::nullopt);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            if (self->m_opened)
                self->settle(sourceError(QAudio::OpenError));
            else
                self->m_sink->failed();
            break;
        default:
            break;
        }
    }

    // The server hands over about one chunk at a time, but its pieces need
    // not line up with chunks: whole ones are cut from what has arrived and
    // the rest waits for more. They are handed over right here, on the
    // thread that sends them.
    static void onRead(pa_stream *stream, size_t, void *userdata)
    {
        auto *self = static_cast<PulseLink *>(userdata);
        bool arrived = false;
        while (pa_stream_readable_size(stream) > 0) {
            const void *data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0)
                break;
            if (bytes == 0)
                break;
            if (data) { // a hole (no data, some bytes) is skipped
                self->m_pending.append(static_cast<const char *>(data), qsizetype(bytes));
                arrived = true;
            }
            pa_stream_drop(stream);
        }
        if (!arrived)
            return;
        self->m_sink->lastDelivery.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                                         std::memory_order_relaxed);
        qsizetype offset = 0;
        for (; self->m_pending.size() - offset >= self->m_chunkBytes; offset += self->m_chunkBytes)
            self->m_sink->chunk(self->m_pending.sliced(offset, self->m_chunkBytes));
        self->m_pending.remove(0, offset);
    }

    std::shared_ptr<RecordingSink> m_sink;
    std::shared_ptr<std::promise<StartResult>> m_opened; // until the outcome is told
    QByteArray m_source;
    std::optional<pa_sample_spec> m_sourceFormat;
    pa_glib_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    pa_stream *m_stream = nullptr;
    qsizetype m_chunkBytes = 1;
    QByteArray m_pending;
};

// One recording from the sound server, on a connection of its own: a server
// that went away and came back is simply reached again by the next recording
// (Qt's shared connection gives up on it for good). The server's own default
// source is used unless a source is named, so a default changed in the sound
// settings counts from the next recording on. The connection runs on the
// thread of `loopContext`: given the socket's, each chunk is sent from where
// it arrives, one thread woken for it instead of two.
class PulseRecording
{
public:
    static constexpr std::chrono::milliseconds openLimit{5000};
    static constexpr std::chrono::milliseconds closeLimit{3000};

    PulseRecording(QObject *loopContext, std::function<void(QByteArray)> onChunk, std::function<void()> onFailure)
        : m_loopContext(loopContext)
        , m_sink(std::make_shared<RecordingSink>())
    {
        m_sink->onChunk = std::move(onChunk);
        m_sink->onFailure = std::move(onFailure);
    }
    ~PulseRecording() { close(); }
    PulseRecording(const PulseRecording &) = delete;
    PulseRecording &operator=(const PulseRecording &) = delete;

    // Blocks until the source records or fails, five seconds at most.
    StartResult open(const QByteArray &source)
    {
        auto opened = std::make_shared<std::promise<StartResult>>();
        std::future<StartResult> outcome = opened->get_future();
        m_link = std::make_shared<PulseLink>(m_sink, opened);
        if (!onLoop([link = m_link, source] { link->begin(source); }))
            return MicCapture::noInputDeviceError();
        if (outcome.wait_for(openLimit) != std::future_status::ready)
            return MicCapture::noInputDeviceError();
        return outcome.get();
    }

    // When sound last arrived, on the steady clock; never before the first.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> lastDelivery() const
    {
        const std::chrono::steady_clock::rep ticks = m_sink->lastDelivery.load(std::memory_order_relaxed);
        if (ticks == 0)
            return std::nullopt;
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
    }

    // Nothing is handed over once this returns; the connection closes on
    // its own thread, waited for a while.
    void close()
    {
        m_sink->cutOff();
        if (std::shared_ptr<PulseLink> link = std::exchange(m_link, nullptr)) {
            auto closed = std::make_shared<std::promise<void>>();
            std::future<void> done = closed->get_future();
            if (onLoop([link = std::move(link), closed]() mutable {
                    link->tearDown();
                    link.reset();
                    closed->set_value();
                }))
                done.wait_for(closeLimit);
        }
    }

private:
    bool onLoop(std::function<void()> job)
    {
        return m_loopContext && QMetaObject::invokeMethod(m_loopContext, std::move(job), Qt::QueuedConnection);
    }

    QPointer<QObject> m_loopContext;
    std::shared_ptr<RecordingSink> m_sink;
    std::shared_ptr<PulseLink> m_link;
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
        QByteArray source; // the server's default
        if (m_findDevice) {
            const QAudioDevice device = m_findDevice();
            if (device.isNull())
                return MicCapture::noInputDeviceError();
            source = device.id();
        }
        // Failures are reported from here, and only for the recording that failed.
        const quint64 capture = m_capture;
        auto recording = std::make_unique<PulseRecording>(
            loopContext(), [this](const QByteArray &chunk) { deliver(chunk); },
            [this, capture] {
                QMetaObject::invokeMethod(
                    this,
                    [this, capture] {
                        if (capture == m_capture)
                            failLater(sourceError(QAudio::FatalError));
                    },
                    Qt::QueuedConnection);
            });
        if (const StartResult failed = recording->open(source))
            return failed;
        m_recording = std::move(recording);
        m_stall.start(m_stallLimit);
        return std::nullopt;
    }

    void close()
    {
        ++m_capture; // what the old recording still reports is void
        m_stall.stop();
        if (std::unique_ptr<PulseRecording> recording = std::move(m_recording))
            recording->close();
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

    // On the recording's thread.
    void deliver(const QByteArray &chunk)
    {
        std::lock_guard lock(m_handlerMutex);
        if (m_onChunk)
            m_onChunk(chunk);
    }

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
    bool m_retired = false;                 // likewise
    std::unique_ptr<PulseRecording> m_recording;
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

void leaveWithoutAudioTeardown(int exitCode)
{
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
