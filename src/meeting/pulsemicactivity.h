#pragma once

#include "micactivity.h"

#include <QByteArray>

#include <pulse/subscribe.h>

struct pa_context;
struct pa_threaded_mainloop;

// The default PulseAudio source, watched through libpulse on its own thread.
// The source counts as active while it is running for at least one recording
// of another process: our own capture is not a meeting of someone else's, and
// a level meter records no one.
// Without a sound server there is no watch; nothing is retried.
class PulseMicActivity : public MicActivity
{
    Q_OBJECT

public:
    // `server` is a PulseAudio server address such as "unix:/run/x/native";
    // empty means the usual one of this session.
    explicit PulseMicActivity(const QByteArray &server = {}, QObject *parent = nullptr);
    ~PulseMicActivity() override;

private:
    struct Look;

    static void onContextState(pa_context *context, void *self);
    static void onEvent(pa_context *context, pa_subscription_event_type_t type, uint32_t index, void *self);
    void look();
    void deliver(bool active, QString recorder = {});
    void deliverUnavailable();

    QByteArray m_server;
    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    QByteArray m_ownPid;
    bool m_running = false;     // the loop's thread was started
    bool m_startedSent = false; // touched on the loop's thread only
    bool m_ended = false;       // likewise
};
