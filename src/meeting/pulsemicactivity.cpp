#include "pulsemicactivity.h"

#include "logging.h"
#include "recordingstream.h"

#include <pulse/pulseaudio.h>

#include <unistd.h>

// One look at the default source: its state, then, while it runs, the
// recordings connected to it.
struct PulseMicActivity::Look
{
    PulseMicActivity *watch = nullptr;
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
            look->watch->deliver(false);
            delete look;
            return;
        }
        pa_operation *op = pa_context_get_source_output_info_list(context, &Look::onOutput, look);
        if (op) {
            pa_operation_unref(op);
        } else {
            look->watch->deliver(false);
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
        look->watch->deliver(active, active ? look->recorder : QString());
        delete look;
    }
};

PulseMicActivity::PulseMicActivity(const QByteArray &server, QObject *parent)
    : MicActivity(parent)
    , m_server(server)
    , m_ownPid(QByteArray::number(qint64(::getpid())))
{
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop) {
        deliverUnavailable();
        return;
    }
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "zarno meeting watch");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "zarno");
    m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_loop), "zarno meeting watch", props);
    pa_proplist_free(props);
    if (!m_context) {
        deliverUnavailable();
        return;
    }
    pa_context_set_state_callback(m_context, &PulseMicActivity::onContextState, this);
    pa_context_set_subscribe_callback(m_context, &PulseMicActivity::onEvent, this);
    // Never start a sound server of our own just to watch it.
    if (pa_context_connect(m_context, m_server.isEmpty() ? nullptr : m_server.constData(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        deliverUnavailable();
        return;
    }
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
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    if (m_loop)
        pa_threaded_mainloop_free(m_loop);
}

void PulseMicActivity::onContextState(pa_context *context, void *userdata)
{
    auto *self = static_cast<PulseMicActivity *>(userdata);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT
                                                 | PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation *op = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(op);
        self->look();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        self->deliverUnavailable();
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
    pa_operation *op = pa_context_get_source_info_by_name(m_context, "@DEFAULT_SOURCE@", &Look::onSource, look);
    if (op) {
        pa_operation_unref(op);
    } else {
        delete look;
        deliver(false);
    }
}

void PulseMicActivity::deliver(bool active, QString recorder)
{
    if (m_ended)
        return;
    const bool first = !m_startedSent;
    m_startedSent = true;
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
    if (m_ended)
        return;
    m_ended = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            qCInfo(lcMeeting) << "No sound server to watch: meetings are noticed by their programs only.";
            Q_EMIT unavailable();
        },
        Qt::QueuedConnection);
}
