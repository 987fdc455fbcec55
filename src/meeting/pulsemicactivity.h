#pragma once

#include "micactivity.h"

#include <QByteArray>

#include <pulse/subscribe.h>

#include <chrono>

struct pa_context;
struct pa_mainloop_api;
struct pa_threaded_mainloop;
struct pa_time_event;

// The default PulseAudio source, watched through libpulse on its own thread.
// The source counts as active while it is running for at least one recording
// of another process: our own capture is not a meeting of someone else's, and
// a level meter records no one.
// Without a sound server, or once it goes away, the watch is unavailable
// and tries again on its own, waiting longer after each failed try (from
// `retryAfter` up to a minute); when the server answers it starts anew.
class PulseMicActivity : public MicActivity
{
    Q_OBJECT

public:
    // `server` is a PulseAudio server address such as "unix:/run/x/native";
    // empty means the usual one of this session.
    explicit PulseMicActivity(const QByteArray &server = {}, std::chrono::milliseconds retryAfter = std::chrono::seconds(2),
                              QObject *parent = nullptr);
    ~PulseMicActivity() override;

private:
    struct Look;

    static void onContextState(pa_context *context, void *self);
    static void onEvent(pa_context *context, pa_subscription_event_type_t type, uint32_t index, void *self);
    static void onRetry(pa_mainloop_api *api, pa_time_event *event, const struct timeval *, void *self);
    void connectToServer();
    void dropContext();
    void lost();
    void look();
    void deliver(pa_context *context, bool active, QString recorder = {});
    void deliverUnavailable();

    QByteArray m_server;
    pa_threaded_mainloop *m_loop = nullptr;
    QByteArray m_ownPid;
    bool m_running = false; // the loop's thread was started
    // Touched on the loop's thread only (or before it starts, after it stops).
    pa_context *m_context = nullptr;
    pa_time_event *m_retry = nullptr;
    std::chrono::milliseconds m_firstRetry;
    std::chrono::milliseconds m_nextRetry;
    bool m_startedSent = false; // for the present connection
    bool m_unavailableSent = false;
};
