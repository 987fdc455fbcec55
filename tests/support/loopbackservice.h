#pragma once

#include <QHttpServer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QWebSocket>

#include <memory>

// A real HTTP and WebSocket server on 127.0.0.1 that stands where the zarno
// service would: the transcription socket, the notes endpoint and the
// sign-in configuration, all on one port. It records what it is sent and
// answers as a test tells it to.
class LoopbackService : public QObject
{
    Q_OBJECT

public:
    struct Upload
    {
        QByteArray body;
        QByteArray contentType;
        QByteArray authorization;
    };

    explicit LoopbackService(QObject *parent = nullptr);

    [[nodiscard]] bool listen();
    [[nodiscard]] QString baseURL() const;

    // The transcription socket.
    [[nodiscard]] int connectionCount() const { return int(m_sockets.size()); }
    [[nodiscard]] QWebSocket *lastSocket() const;
    [[nodiscard]] QUrl lastSocketUrl() const { return m_lastSocketUrl; }
    [[nodiscard]] const QList<QByteArray> &audio() const { return m_audio; }
    [[nodiscard]] const QStringList &textFrames() const { return m_textFrames; }
    void sendToClient(const QByteArray &json);
    void closeClient(int code, const QString &reason = {});

    // The notes endpoint.
    [[nodiscard]] const QList<Upload> &uploads() const { return m_uploads; }
    int uploadStatus = 200;
    QByteArray uploadAnswer = R"({"session":{"id":"notes-1"}})";
    // Holds the answer to the next upload until releaseUpload().
    bool holdUploads = false;
    void releaseUpload();

Q_SIGNALS:
    void connected();
    void audioReceived();
    void textFrameReceived(const QString &text);
    void uploadReceived();

private:
    QHttpServer m_http;
    quint16 m_port = 0;
    std::vector<std::unique_ptr<QWebSocket>> m_sockets;
    QUrl m_lastSocketUrl;
    QList<QByteArray> m_audio;
    QStringList m_textFrames;
    QList<Upload> m_uploads;
    std::vector<std::function<void()>> m_heldAnswers;
};
