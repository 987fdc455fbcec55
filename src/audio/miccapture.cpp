#include "miccapture.h"

#include "logging.h"
#include "resampler.h"
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

// One recording from the sound server, on a connection and main loop of its
// own: a server that went away and came back is simply reached again by the
// next recording (Qt's shared connection gives up on it for good). The
// server's own default source is used unless a source is named, so a default
// changed in the sound settings counts from the next recording on.
class PulseRecording
{
public:
    // Chunks are handed over on the connection's own thread, as they are
    // cut: a hop through another thread would wake a second one for each.
    PulseRecording(std::function<void(QByteArray)> onChunk, std::function<void()> onFailure)
        : m_onChunk(std::move(onChunk))
        , m_onFailure(std::move(onFailure))
    {
    }
    ~PulseRecording() { close(); }
    PulseRecording(const PulseRecording &) = delete;
    PulseRecording &operator=(const PulseRecording &) = delete;

    // Blocks until the source records or fails, five seconds at most.
    StartResult open(const QByteArray &source)
    {
        m_loop = pa_threaded_mainloop_new();
        if (!m_loop)
            return MicCapture::noInputDeviceError();
        pa_threaded_mainloop_set_name(m_loop, "zarno.pulse");
        if (pa_threaded_mainloop_start(m_loop) < 0)
            return MicCapture::noInputDeviceError();
        Locked lock(m_loop);
        pa_proplist *props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "zarno");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "zarno");
        m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_loop), "zarno", props);
        pa_proplist_free(props);
        // Never start a sound server just to record from it.
        if (!m_context || pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return MicCapture::noInputDeviceError();
        if (!waitFor(lock, [this] { return contextSettled(); }) || pa_context_get_state(m_context) != PA_CONTEXT_READY)
            return MicCapture::noInputDeviceError();

        // Recorded as 16-bit samples at the source's own rate and channels.
        const QByteArray name = source.isEmpty() ? QByteArrayLiteral("@DEFAULT_SOURCE@") : source;
        struct Found
        {
            bool answered = false;
            std::optional<pa_sample_spec> sourceFormat;
        } found;
        pa_operation *query = pa_context_get_source_info_by_name(
            m_context, name.constData(),
            [](pa_context *, const pa_source_info *info, int eol, void *userdata) {
                auto *answer = static_cast<Found *>(userdata);
                if (info && eol == 0)
                    answer->sourceFormat = info->sample_spec;
                else
                    answer->answered = true;
            },
            &found);
        if (!query)
            return MicCapture::noInputDeviceError();
        waitFor(lock, [&found] { return found.answered; });
        if (!found.answered)
            pa_operation_cancel(query);
        pa_operation_unref(query);
        if (!found.sourceFormat)
            return MicCapture::noInputDeviceError();

        // The server converts to what the wire carries, as it does for any
        // recorder: resampling here would cost a second pass and six times
        // the data through the socket.
        const pa_sample_spec wire{PA_SAMPLE_S16NE, uint32_t(Resampler::outputRate), 1};
        pa_channel_map map;
        if (!pa_sample_spec_valid(&found.sourceFormat.value()) || !pa_channel_map_init_mono(&map))
            return sourceError(QAudio::OpenError);
        // One chunk per 4096 frames of the source, whatever rate it records at.
        m_chunkBytes = qsizetype(pa_frame_size(&wire))
                       * std::max<qsizetype>(1, MicCapture::framesPerChunk * qsizetype(wire.rate)
                                                    / std::max<qsizetype>(1, found.sourceFormat->rate));

        m_stream = pa_stream_new(m_context, "zarno microphone", &wire, &map);
        if (!m_stream)
            return sourceError(QAudio::OpenError);
        pa_stream_set_state_callback(m_stream, &PulseRecording::onStreamState, this);
        pa_stream_set_read_callback(m_stream, &PulseRecording::onRead, this);
        // One chunk's worth at a time: smaller pieces only wake this
        // process more often for the same sound.
        pa_buffer_attr attributes;
        attributes.maxlength = uint32_t(-1);
        attributes.tlength = uint32_t(-1);
        attributes.prebuf = uint32_t(-1);
        attributes.minreq = uint32_t(-1);
        attributes.fragsize = uint32_t(m_chunkBytes);
        if (pa_stream_connect_record(m_stream, name.constData(), &attributes, PA_STREAM_ADJUST_LATENCY) < 0)
            return sourceError(QAudio::OpenError);
        if (!waitFor(lock, [this] { return pa_stream_get_state(m_stream) != PA_STREAM_CREATING; })
            || pa_stream_get_state(m_stream) != PA_STREAM_READY)
            return sourceError(QAudio::OpenError);
        pa_context_set_state_callback(m_context, &PulseRecording::onContextState, this);
        return std::nullopt;
    }

    // When sound last arrived, on the steady clock; never before the first.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> lastDelivery() const
    {
        const std::chrono::steady_clock::rep ticks = m_lastDelivery.load(std::memory_order_relaxed);
        if (ticks == 0)
            return std::nullopt;
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
    }

    void close()
    {
        if (!m_loop)
            return;
        {
            Locked lock(m_loop);
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
        }
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
    }

private:
    struct Locked
    {
        explicit Locked(pa_threaded_mainloop *loop)
            : loop(loop)
        {
            pa_threaded_mainloop_lock(loop);
        }
        ~Locked() { pa_threaded_mainloop_unlock(loop); }
        pa_threaded_mainloop *loop;
    };

    // Lets the loop run until `done`, checking now and then; false when
    // five seconds were not enough.
    bool waitFor(Locked &, const std::function<bool()> &done)
    {
        const QDeadlineTimer deadline(5000);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            pa_threaded_mainloop_unlock(m_loop);
            QThread::msleep(5);
            pa_threaded_mainloop_lock(m_loop);
        }
        return true;
    }

    [[nodiscard]] bool contextSettled() const
    {
        const pa_context_state_t state = pa_context_get_state(m_context);
        return state == PA_CONTEXT_READY || state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
    }

    // On the loop's thread, from here on. The server hands over about one
    // chunk at a time, but its pieces need not line up with chunks: whole
    // ones are cut from what has arrived and the rest waits for more.
    static void onRead(pa_stream *stream, size_t, void *userdata)
    {
        auto *self = static_cast<PulseRecording *>(userdata);
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
        self->m_lastDelivery.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                                   std::memory_order_relaxed);
        qsizetype offset = 0;
        for (; self->m_pending.size() - offset >= self->m_chunkBytes; offset += self->m_chunkBytes)
            self->m_onChunk(self->m_pending.sliced(offset, self->m_chunkBytes));
        self->m_pending.remove(0, offset);
    }

    static void onStreamState(pa_stream *stream, void *userdata)
    {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
            static_cast<PulseRecording *>(userdata)->m_onFailure();
    }

    static void onContextState(pa_context *context, void *userdata)
    {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
            static_cast<PulseRecording *>(userdata)->m_onFailure();
    }

    std::function<void(QByteArray)> m_onChunk;
    std::function<void()> m_onFailure;
    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    pa_stream *m_stream = nullptr;
    qsizetype m_chunkBytes = 1;
    QByteArray m_pending; // the loop's thread only
    std::atomic<std::chrono::steady_clock::rep> m_lastDelivery{0};
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
            [this](const QByteArray &chunk) { deliver(chunk); },
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

private:
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
