#include "sonioxrelay.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <utility>

Q_LOGGING_CATEGORY(lcRelay, "zarno.server.relay")

namespace {

constexpr qint64 maxFrameBytes = 1 << 20;
// About a minute of audio; the connect timeout ends the wait long before.
constexpr qint64 maxPendingBytes = 2 << 20;
// A WebSocket close reason holds at most 123 bytes.
constexpr qsizetype maxReasonBytes = 123;
const QByteArray finalizeMessage = R"({"type":"finalize"})";
const QByteArray keepaliveMessage = R"({"type":"keepalive"})";

bool isLanguageCode(const QString &code)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z]{2,3}(-[A-Za-z0-9]{2,8})?$"));
    return pattern.match(code).hasMatch();
}

// "<end>" (the speaker paused) means nothing to the app; "<fin>" tells it a
// finalize is answered, so it passes.
bool isControlToken(const QJsonValue &token)
{
    return token.toObject().value(QStringLiteral("text")).toString() == QLatin1StringView("<end>");
}

QString shortReason(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.size() <= maxReasonBytes)
        return text;
    // Cut on a character boundary, leaving room for the ellipsis.
    bytes.truncate(maxReasonBytes - 3);
    while (!bytes.isEmpty() && (uchar(bytes.back()) & 0xC0) == 0x80)
        bytes.chop(1);
    if (!bytes.isEmpty() && uchar(bytes.back()) >= 0xC0)
        bytes.chop(1);
    return QString::fromUtf8(bytes) + QStringLiteral("…");
}

} // namespace

QJsonObject sonioxStartRequest(const QString &model, const RelayRequest &request)
{
    QJsonObject start{
        {QStringLiteral("model"), model},
        {QStringLiteral("audio_format"), QStringLiteral("pcm_s16le")},
        {QStringLiteral("sample_rate"), 16000},
        {QStringLiteral("num_channels"), 1},
        {QStringLiteral("enable_endpoint_detection"), true},
        {QStringLiteral("enable_language_identification"), true},
        // Tells the others on a call apart: each token then names its speaker.
        {QStringLiteral("enable_speaker_diarization"), true},
    };
    if (request.spoken != QLatin1StringView("any") && isLanguageCode(request.spoken))
        start.insert(QStringLiteral("language_hints"), QJsonArray{request.spoken});
    if (!request.onlyTranscript && isLanguageCode(request.target)) {
        start.insert(QStringLiteral("translation"),
                     QJsonObject{{QStringLiteral("type"), QStringLiteral("one_way")},
                                 {QStringLiteral("target_language"), request.target}});
    }
    return start;
}

QString relayedText(const QString &message)
{
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    const QJsonArray tokens = document.object().value(QStringLiteral("tokens")).toArray();
    if (!document.isObject() || std::none_of(tokens.begin(), tokens.end(), isControlToken))
        return message;
    QJsonArray spoken;
    for (const QJsonValue &token : tokens) {
        if (!isControlToken(token))
            spoken.append(token);
    }
    QJsonObject object = document.object();
    if (spoken.isEmpty() && !object.contains(QStringLiteral("finished")))
        return {};
    object.insert(QStringLiteral("tokens"), spoken);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

SonioxRelay::SonioxRelay(std::unique_ptr<QWebSocket> app, const SonioxSettings &settings,
                         const RelayRequest &request, QObject *parent)
    : ListeningConnection(parent)
    , m_app(std::move(app))
    , m_settings(settings)
    , m_startRequest(QJsonDocument(sonioxStartRequest(settings.model, request)).toJson(QJsonDocument::Compact))
{
    m_app->setMaxAllowedIncomingFrameSize(maxFrameBytes);
    m_app->setMaxAllowedIncomingMessageSize(maxFrameBytes);
    connect(m_app.get(), &QWebSocket::binaryMessageReceived, this, &SonioxRelay::onAppBinary);
    connect(m_app.get(), &QWebSocket::textMessageReceived, this, &SonioxRelay::onAppText);
    connect(m_app.get(), &QWebSocket::disconnected, this, &SonioxRelay::onAppGone);

    m_keepalive = new QTimer(this);
    m_keepalive->setInterval(m_settings.keepaliveMs);
    connect(m_keepalive, &QTimer::timeout, this, &SonioxRelay::sendKeepalive);
    m_connectTimeout = new QTimer(this);
    m_connectTimeout->setSingleShot(true);
    connect(m_connectTimeout, &QTimer::timeout, this, &SonioxRelay::onUpstreamGone);

    m_upstream = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    connect(m_upstream, &QWebSocket::connected, this, &SonioxRelay::onUpstreamConnected);
    connect(m_upstream, &QWebSocket::textMessageReceived, this, &SonioxRelay::onUpstreamMessage);
    connect(m_upstream, &QWebSocket::disconnected, this, &SonioxRelay::onUpstreamGone);
    connect(m_upstream, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, &SonioxRelay::onUpstreamGone);
    QNetworkRequest upgrade(m_settings.url);
    upgrade.setRawHeader("Authorization", "Bearer " + m_settings.key.toUtf8());
    m_connectTimeout->start(m_settings.connectTimeoutMs);
    m_upstream->open(upgrade);
}

SonioxRelay::~SonioxRelay()
{
    if (m_app)
        m_app->disconnect(this);
    releaseUpstream(false);
}

void SonioxRelay::onUpstreamConnected()
{
    m_connectTimeout->stop();
    m_upstreamOpen = true;
    m_upstream->sendTextMessage(QString::fromUtf8(m_startRequest));
    const QList<Pending> pending = std::exchange(m_pending, {});
    m_pendingBytes = 0;
    for (const Pending &frame : pending)
        sendUp(frame.binary, frame.data);
    m_keepalive->start();
}

void SonioxRelay::onUpstreamMessage(const QString &message)
{
    if (m_failed)
        return;
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    if (object.contains(QStringLiteral("error_code"))) {
        const qint64 code = object.value(QStringLiteral("error_code")).toInteger();
        const QString text = object.value(QStringLiteral("error_message")).toString();
        qCInfo(lcRelay, "recognition service error %lld", code);
        // 402: the account's balance is used up, which the app knows as 4402.
        if (code == 402) {
            fail(4402, QStringLiteral("The recognition service's balance is used up."));
            return;
        }
        m_app->sendTextMessage(message);
        fail(1011, shortReason(QStringLiteral("Recognition service error %1: %2")
                                   .arg(code)
                                   .arg(text.isEmpty() ? QStringLiteral("unknown") : text)));
        return;
    }
    const QString text = relayedText(message);
    if (!text.isEmpty() && m_app->state() == QAbstractSocket::ConnectedState)
        m_app->sendTextMessage(text);
}

void SonioxRelay::onUpstreamGone()
{
    if (m_failed)
        return;
    if (!m_upstreamOpen) {
        qCInfo(lcRelay, "recognition service unreachable");
        fail(1011, QStringLiteral("The recognition service cannot be reached."));
    } else {
        qCInfo(lcRelay, "recognition service connection lost");
        fail(1011, QStringLiteral("The connection to the recognition service was lost."));
    }
}

void SonioxRelay::onAppBinary(const QByteArray &audio)
{
    // An empty frame would end the stream upstream; the app's close does that.
    if (m_failed || audio.isEmpty())
        return;
    sendUp(true, audio);
}

void SonioxRelay::onAppText(const QString &message)
{
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    if (!m_failed && document.object().value(QStringLiteral("type")).toString() == QLatin1StringView("finalize"))
        sendUp(false, finalizeMessage);
    // Anything else is not a request this service knows; it is ignored.
}

void SonioxRelay::onAppGone()
{
    m_keepalive->stop();
    m_connectTimeout->stop();
    releaseUpstream(m_upstreamOpen && !m_failed);
    Q_EMIT finished();
}

void SonioxRelay::sendUp(bool binary, const QByteArray &data)
{
    if (!m_upstreamOpen) {
        if (m_pendingBytes + data.size() > maxPendingBytes) {
            fail(1011, QStringLiteral("The recognition service is not answering."));
            return;
        }
        m_pending.append({binary, data});
        m_pendingBytes += data.size();
        return;
    }
    if (binary) {
        m_upstream->sendBinaryMessage(data);
        m_keepalive->start(); // audio keeps the stream alive by itself
    } else {
        m_upstream->sendTextMessage(QString::fromUtf8(data));
    }
}

void SonioxRelay::sendKeepalive()
{
    if (m_upstreamOpen && !m_failed)
        m_upstream->sendTextMessage(QString::fromUtf8(keepaliveMessage));
}

void SonioxRelay::fail(int code, const QString &reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_keepalive->stop();
    m_connectTimeout->stop();
    m_pending.clear();
    releaseUpstream(false);
    if (m_app->state() == QAbstractSocket::ConnectedState) {
        // A client that never answers the close handshake is cut off.
        QTimer::singleShot(5000, m_app.get(), &QWebSocket::abort);
        m_app->close(QWebSocketProtocol::CloseCode(code), reason);
    } else {
        Q_EMIT finished();
    }
}

void SonioxRelay::releaseUpstream(bool endOfAudio)
{
    QWebSocket *upstream = m_upstream;
    m_upstream = nullptr;
    m_upstreamOpen = false;
    if (!upstream)
        return;
    upstream->disconnect(this);
    if (upstream->state() == QAbstractSocket::UnconnectedState) {
        upstream->deleteLater();
        return;
    }
    // The stream ends on its own time: the socket outlives this relay.
    upstream->setParent(parent());
    connect(upstream, &QWebSocket::disconnected, upstream, &QObject::deleteLater);
    QTimer::singleShot(m_settings.drainMs, upstream, &QWebSocket::abort);
    if (endOfAudio && upstream->state() == QAbstractSocket::ConnectedState) {
        // An empty frame is the provider's end of audio; it answers the last
        // tokens and "finished", then the stream is closed in order.
        connect(upstream, &QWebSocket::textMessageReceived, upstream, [upstream](const QString &message) {
            if (QJsonDocument::fromJson(message.toUtf8()).object().value(QStringLiteral("finished")).toBool())
                upstream->close();
        });
        upstream->sendTextMessage(QString());
    } else {
        upstream->close();
    }
}
