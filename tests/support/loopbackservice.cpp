#include "loopbackservice.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>

LoopbackService::LoopbackService(QObject *parent)
    : QObject(parent)
{
    // The socket upgrade needs a route whose handler writes nothing.
    m_http.route("/ws/transcribe", [](const QHttpServerRequest &, QHttpServerResponder &&) {});
    connect(&m_http, &QHttpServer::newWebSocketConnection, this, [this] {
        while (m_http.hasPendingWebSocketConnections()) {
            std::unique_ptr<QWebSocket> socket = m_http.nextPendingWebSocketConnection();
            m_lastSocketUrl = socket->requestUrl();
            connect(socket.get(), &QWebSocket::binaryMessageReceived, this, [this](const QByteArray &chunk) {
                m_audio.append(chunk);
                Q_EMIT audioReceived();
            });
            connect(socket.get(), &QWebSocket::textMessageReceived, this, [this](const QString &text) {
                m_textFrames.append(text);
                Q_EMIT textFrameReceived(text);
            });
            m_sockets.push_back(std::move(socket));
            Q_EMIT connected();
        }
    });

    m_http.route("/api/sessions", QHttpServerRequest::Method::Post,
                 [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                     m_uploads.append({request.body(), request.value("Content-Type"), request.value("Authorization")});
                     Q_EMIT uploadReceived();
                     auto answer = std::make_shared<QHttpServerResponder>(std::move(responder));
                     auto respond = [this, answer] {
                         answer->write(uploadAnswer, "application/json",
                                       QHttpServerResponder::StatusCode(uploadStatus));
                     };
                     if (holdUploads)
                         m_heldAnswers.push_back(respond);
                     else
                         respond();
                 });
}

bool LoopbackService::listen()
{
    m_port = m_http.listen(QHostAddress::LocalHost, 0);
    return m_port != 0;
}

QString LoopbackService::baseURL() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QWebSocket *LoopbackService::lastSocket() const
{
    return m_sockets.empty() ? nullptr : m_sockets.back().get();
}

void LoopbackService::sendToClient(const QByteArray &json)
{
    if (QWebSocket *socket = lastSocket())
        socket->sendTextMessage(QString::fromUtf8(json));
}

void LoopbackService::closeClient(int code, const QString &reason)
{
    if (QWebSocket *socket = lastSocket())
        socket->close(QWebSocketProtocol::CloseCode(code), reason);
}

void LoopbackService::releaseUpload()
{
    auto held = std::move(m_heldAnswers);
    m_heldAnswers.clear();
    for (auto &respond : held)
        respond();
}
