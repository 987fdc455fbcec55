#include "pulserecording.h"

#include "heartbeat.h"
#include "logging.h"
#include "miccapture.h"
#include "resampler.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>

#include <pulse/glib-mainloop.h>
#include <pulse/pulseaudio.h>

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
    PulseLink(std::shared_ptr<RecordingSink> sink, std::shared_ptr<std::promise<PulseRecording::StartResult>> opened)
        : m_sink(std::move(sink))
        , m_opened(std::move(opened))
    {
    }
    ~PulseLink() { tearDown(); }
    PulseLink(const PulseLink &) = delete;
    PulseLink &operator=(const PulseLink &) = delete;

    void begin(const QByteArray &source, const QByteArray &name, bool pinned)
    {
        m_source = source.isEmpty() ? QByteArrayLiteral("@DEFAULT_SOURCE@") : source;
        m_name = name;
        m_pinned = pinned;
        // Qt's GLib event loop makes its thread's context the thread default.
        GMainContext *context = g_main_context_get_thread_default();
        if (!context) {
            qCWarning(lcAudio) << "The microphone needs Qt's GLib event loop (QT_NO_GLIB is set).";
            return settle(MicCapture::noInputDeviceError());
        }
        m_loop = pa_glib_mainloop_new(context);
        if (!m_loop)
            return settle(MicCapture::noInputDeviceError());
        // The adapter is itself a GSource (its first member) that GLib blocks
        // around each dispatch: its descriptors leave the poll set and come
        // back, and each of those steps wakes this loop once more, about ten
        // times a chunk. Nothing here runs a nested loop from a sound-server
        // callback, which is all the blocking guards against.
        if (auto *source = reinterpret_cast<GSource *>(m_loop); g_source_get_context(source) == context)
            g_source_set_can_recurse(source, TRUE);
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
    void settle(PulseRecording::StartResult result)
    {
        if (std::shared_ptr<std::promise<PulseRecording::StartResult>> opened = std::exchange(m_opened, nullptr))
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
        m_stream = pa_stream_new(m_context, m_name.constData(), &wire, &map);
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
        const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | (m_pinned ? PA_STREAM_DONT_MOVE : 0));
        if (pa_stream_connect_record(m_stream, m_source.constData(), &attributes, flags) < 0)
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
    // loop's thread: in the app, the one that sends them.
    static void onRead(pa_stream *stream, size_t, void *userdata)
    {
        auto *self = static_cast<PulseLink *>(userdata);
        bool arrived = false;
        // Peeked until empty: asking for the readable size first would cost
        // each piece one more call (and system call) into libpulse.
        for (;;) {
            const void *data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
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
        Heartbeat::beat();
    }

    std::shared_ptr<RecordingSink> m_sink;
    std::shared_ptr<std::promise<PulseRecording::StartResult>> m_opened; // until the outcome is told
    QByteArray m_source;
    QByteArray m_name;
    bool m_pinned = false;
    std::optional<pa_sample_spec> m_sourceFormat;
    pa_glib_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    pa_stream *m_stream = nullptr;
    qsizetype m_chunkBytes = 1;
    QByteArray m_pending;
};

PulseRecording::PulseRecording(QObject *loopContext, std::function<void(QByteArray)> onChunk,
                               std::function<void()> onFailure)
    : m_loopContext(loopContext)
    , m_sink(std::make_shared<RecordingSink>())
{
    m_sink->onChunk = std::move(onChunk);
    m_sink->onFailure = std::move(onFailure);
}

PulseRecording::~PulseRecording()
{
    close();
}

PulseRecording::StartResult PulseRecording::open(const QByteArray &source, const QByteArray &name, bool pinned)
{
    auto opened = std::make_shared<std::promise<StartResult>>();
    std::future<StartResult> outcome = opened->get_future();
    m_link = std::make_shared<PulseLink>(m_sink, opened);
    if (!onLoop([link = m_link, source, name, pinned] { link->begin(source, name, pinned); }))
        return MicCapture::noInputDeviceError();
    if (outcome.wait_for(openLimit) != std::future_status::ready)
        return MicCapture::noInputDeviceError();
    return outcome.get();
}

std::optional<std::chrono::steady_clock::time_point> PulseRecording::lastDelivery() const
{
    const std::chrono::steady_clock::rep ticks = m_sink->lastDelivery.load(std::memory_order_relaxed);
    if (ticks == 0)
        return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

void PulseRecording::close()
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

bool PulseRecording::onLoop(std::function<void()> job)
{
    return m_loopContext && QMetaObject::invokeMethod(m_loopContext, std::move(job), Qt::QueuedConnection);
}
