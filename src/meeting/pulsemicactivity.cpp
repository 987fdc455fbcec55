#include "pulsemicactivity.h"

#include "logging.h"
#include "recordingstream.h"

#include <pulse/pulseaudio.h>

#include <unistd.h>

#include <algorithm>

// One look at the default source: its state, then, while it runs, the
// recordings connected to it. Answers of a connection that has since been
// replaced are dropped.
struct PulseMicActivity::Look
{
    PulseMicActivity *watch = nullptr;
    pa_context *context = nullptr;
    uint32_t source = PA_INVALID_INDEX;
    bool running = false;
    bool foreignRecording = false;
    QString recorder;

    static void onSource(pa_context *context, const pa_source_info *info, int eol, void *userdata)
    {
        auto *look = static_cast<Look *>(userdata);
        if (info && eol == 0) {
            look->source = info->index;
            look->running = info->state == PA_SOURCE_RUNNING;
            return;
        }
        // The end of the answer (or an error: no default source).
        if (eol < 0 || !look->running) {
            look->watch->deliver(look->context, false);
            delete look;
            return;
        }
        pa_operation *op = pa_context_get_source_output_info_list(context, &Look::onOutput, look);
        if (op) {
            pa_operation_unref(op);
        } else {
            look->watch->deliver(look->context, false);
            delete look;
        }
    }

    static RecordingStream describe(const pa_source_output_info *info)
    {
        const auto property = [info](const char *key) {
            const char *value = pa_proplist_gets(info->proplist, key);
            return value ? QString::fromUtf8(value) : QString();
        };
        return {property(PA_PROP_APPLICATION_NAME), property(PA_PROP_APPLICATION_PROCESS_BINARY),
                property(PA_PROP_APPLICATION_ID),
                info->resample_method ? QString::fromUtf8(info->resample_method) : QString(),
                property("stream.monitor") == QLatin1StringView("true")};
    }

    static void onOutput(pa_context *, const pa_source_output_info *info, int eol, void *userdata)
    {
        auto *look = static_cast<Look *>(userdata);
        if (info && eol == 0) {
            if (info->source != look->source || info->corked)
                return;
            const char *pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
            if (pid && look->watch->m_ownPid == pid)
                return;
            const RecordingStream stream = describe(info);
            if (isLevelMeter(stream))
                return;
            if (!look->foreignRecording)
                look->recorder = recorderName(stream);
            look->foreignRecording = true;
            return;
        }
        const bool active = eol >= 0 && look->foreignRecording;
        look->watch->deliver(look->context, active, active ? look->recorder : QString());
        delete look;
    }
};

PulseMicActivity::PulseMicActivity(const QByteArray &server, std::chrono::milliseconds retryAfter, QObject *parent)
    : MicActivity(parent)
    , m_server(server)
    , m_ownPid(QByteArray::number(qint64(::getpid())))
    , m_firstRetry(std::max(retryAfter, std::chrono::milliseconds(1)))
    , m_nextRetry(m_firstRetry)
{
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop) {
        deliverUnavailable();
        return;
    }
    // Before the loop runs, nothing else touches the connection.
    connectToServer();
    if (pa_threaded_mainloop_start(m_loop) < 0) {
        deliverUnavailable();
        return;
    }
    m_running = true;
}

PulseMicActivity::~PulseMicActivity()
{
    if (m_running)
        pa_threaded_mainloop_stop(m_loop);
    if (m_retry)
        pa_threaded_mainloop_get_api(m_loop)->time_free(m_retry);
    dropContext();
    if (m_loop)
        pa_threaded_mainloop_free(m_loop);
}

void PulseMicActivity::connectToServer()
{
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "zarno meeting watch");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "zarno");
    m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_loop), "zarno meeting watch", props);
    pa_proplist_free(props);
    if (!m_context) {
        lost();
        return;
    }
    m_startedSent = false;
    pa_context_set_state_callback(m_context, &PulseMicActivity::onContextState, this);
    pa_context_set_subscribe_callback(m_context, &PulseMicActivity::onEvent, this);
    // Never start a sound server of our own just to watch it.
    if (pa_context_connect(m_context, m_server.isEmpty() ? nullptr : m_server.constData(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        lost();
}

void PulseMicActivity::dropContext()
{
    if (!m_context)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

// The server is gone or never answered: say so once, then try again later,
// waiting twice as long after each try that fails.
void PulseMicActivity::lost()
{
    deliverUnavailable();
    if (m_retry)
        return;
    pa_mainloop_api *api = pa_threaded_mainloop_get_api(m_loop);
    timeval at{};
    pa_gettimeofday(&at);
    pa_timeval_add(&at, pa_usec_t(std::chrono::microseconds(m_nextRetry).count()));
    m_retry = api->time_new(api, &at, &PulseMicActivity::onRetry, this);
    m_nextRetry = std::min(m_nextRetry * 2, std::chrono::milliseconds(std::chrono::minutes(1)));
}

void PulseMicActivity::onRetry(pa_mainloop_api *api, pa_time_event *event, const struct timeval *, void *userdata)
{
    auto *self = static_cast<PulseMicActivity *>(userdata);
    api->time_free(event);
    self->m_retry = nullptr;
    self->dropContext();
    self->connectToServer();
}

void PulseMicActivity::onContextState(pa_context *context, void *userdata)
{
    auto *self = static_cast<PulseMicActivity *>(userdata);
    if (context != self->m_context)
        return;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        self->m_nextRetry = self->m_firstRetry;
        const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT
                                                 | PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation *op = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(op);
        self->look();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        self->lost();
        break;
    default:
        break;
    }
}

void PulseMicActivity::onEvent(pa_context *, pa_subscription_event_type_t, uint32_t, void *userdata)
{
    // A recording came or went, a source changed state, or the default
    // source changed: look again.
    static_cast<PulseMicActivity *>(userdata)->look();
}

void PulseMicActivity::look()
{
    auto *look = new Look;
    look->watch = this;
    look->context = m_context;
    pa_operation *op = pa_context_get_source_info_by_name(m_context, "@DEFAULT_SOURCE@", &Look::onSource, look);
    if (op) {
        pa_operation_unref(op);
    } else {
        delete look;
        deliver(m_context, false);
    }
}

void PulseMicActivity::deliver(pa_context *context, bool active, QString recorder)
{
    // A look that outlived its connection tells nothing.
    if (context != m_context || pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    const bool first = !m_startedSent;
    m_startedSent = true;
    m_unavailableSent = false;
    // Queued: the watch lives on the GUI thread, the answer comes on the loop's.
    QMetaObject::invokeMethod(
        this,
        [this, active, first, recorder = std::move(recorder)]() mutable {
            setRecorder(std::move(recorder));
            if (first)
                Q_EMIT started(active);
            else
                Q_EMIT looked(active);
        },
        Qt::QueuedConnection);
}

void PulseMicActivity::deliverUnavailable()
{
    if (m_unavailableSent)
        return;
    m_unavailableSent = true;
    m_startedSent = false;
    QMetaObject::invokeMethod(
        this,
        [this] {
            qCInfo(lcMeeting) << "No sound server to watch: meetings are noticed by their programs only until it is back.";
            Q_EMIT unavailable();
        },
        Qt::QueuedConnection);
}
