#pragma once

#include "engine.h"
#include "sonioxsettings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QUrl>
#include <QVariant>

#include <memory>

class QTimer;
class QWebSocket;

// What the app asked for in the address of "/ws/transcribe".
struct RelayRequest
{
    QString spoken;       // "a": a language code, or "any"
    QString target;       // "b": the language to translate into
    bool onlyTranscript = false;
};

// The start request that opens a provider stream for one app connection:
// 16 kHz mono s16 audio, endpoint detection and language identification on,
// the spoken language as a hint, and one-way translation unless the app
// wants the transcript alone. The key travels in the connection's header,
// never here.
[[nodiscard]] QJsonObject sonioxStartRequest(const QString &model, const RelayRequest &request);

// The text to pass down to the app for one provider message: the message
// itself, without the provider's control tokens ("<fin>", "<end>"), which
// are no speech. Empty when nothing of it is worth sending.
[[nodiscard]] QString relayedText(const QString &message);

// One app connection relayed to the provider: audio up unchanged, the app's
// finalize up as the provider's, token messages down; the app's close ends
// the stream upstream in order. Errors become the close codes the app knows.
class SonioxRelay : public ListeningConnection
{
    Q_OBJECT
public:
    SonioxRelay(std::unique_ptr<QWebSocket> app, const SonioxSettings &settings, const RelayRequest &request,
                QObject *parent = nullptr);
    ~SonioxRelay() override;

private:
    struct Pending
    {
        bool binary = false;
        QByteArray data;
    };

    void onUpstreamConnected();
    void onUpstreamMessage(const QString &message);
    void onUpstreamGone();
    void onAppBinary(const QByteArray &audio);
    void onAppText(const QString &message);
    void onAppGone();
    void sendUp(bool binary, const QByteArray &data);
    void sendKeepalive();
    // Closes the app with `code` and lets the upstream go.
    void fail(int code, const QString &reason);
    void releaseUpstream(bool endOfAudio);

    std::unique_ptr<QWebSocket> m_app;
    QPointer<QWebSocket> m_upstream; // handed to the parent when the app leaves first
    SonioxSettings m_settings;
    QByteArray m_startRequest;
    QList<Pending> m_pending; // frames from the app before the provider answered
    qint64 m_pendingBytes = 0;
    QTimer *m_keepalive = nullptr;
    QTimer *m_connectTimeout = nullptr;
    bool m_upstreamOpen = false;
    bool m_failed = false;
};
