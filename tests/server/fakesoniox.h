#pragma once

// A fake of the provider's real-time endpoint, on 127.0.0.1 with port 0: the
// real one is on the internet, which tests never reach. It speaks the
// documented protocol: the key in the upgrade's Authorization header, a JSON
// start request first, binary audio, {"type":"finalize"} and
// {"type":"keepalive"} as text, an empty frame that ends the audio. It
// answers finalize with the scripted tokens and a "<fin>" marker, the end of
// audio with "finished" and a close, and plays errors when told.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>
#include <memory>

class FakeSoniox : public QObject
{
public:
    struct Stream
    {
        QWebSocket *socket = nullptr;
        QByteArray authorization;
        QJsonObject start;
        bool startWasFirst = false;
        QByteArray audio;
        int audioFrames = 0;
        int finalizes = 0;
        int keepalives = 0;
        bool endOfAudio = false;
        bool audioAfterEnd = false;
        bool closed = false;
    };

    FakeSoniox()
        : m_server(QStringLiteral("fake-soniox"), QWebSocketServer::NonSecureMode)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *socket = m_server.nextPendingConnection())
                accept(socket);
        });
    }

    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/transcribe-websocket").arg(m_server.serverPort())); }
    void stopListening() { m_server.close(); }

    // Played to each stream right after its start request.
    QList<QJsonObject> afterStart;
    // Played after each finalize, before the "<fin>" marker.
    QList<QJsonObject> afterFinalize;

    // Called with every audio frame, for scripts that answer what they hear.
    std::function<void(Stream &, const QByteArray &)> onAudio;

    QList<std::shared_ptr<Stream>> streams;

    Stream &last() { return *streams.last(); }

    void send(const QJsonObject &message) { reply_(&last(), message); }
    static void send(Stream &stream, const QJsonObject &message) { reply_(&stream, message); }
    // The provider's way with errors: the error response, then a close.
    void sendError(int code, const QString &text)
    {
        send({{QStringLiteral("error_code"), code}, {QStringLiteral("error_message"), text}});
        last().socket->close();
    }

    static QJsonObject tokens(const QJsonArray &list) { return {{QStringLiteral("tokens"), list}}; }
    static QJsonObject token(const QString &text, bool final, const QString &language, bool translation = false)
    {
        QJsonObject object{{QStringLiteral("text"), text},
                           {QStringLiteral("is_final"), final},
                           {QStringLiteral("language"), language}};
        if (translation)
            object.insert(QStringLiteral("translation_status"), QStringLiteral("translation"));
        return object;
    }

private:
    void accept(QWebSocket *socket)
    {
        auto stream = std::make_shared<Stream>();
        stream->socket = socket;
        stream->authorization = socket->request().rawHeader("Authorization");
        streams.append(stream);
        Stream *s = stream.get();
        connect(socket, &QWebSocket::textMessageReceived, this, [this, s](const QString &text) {
            if (text.isEmpty()) {
                s->endOfAudio = true;
                s->socket->sendTextMessage(QStringLiteral(R"({"tokens":[],"finished":true})"));
                s->socket->close();
                return;
            }
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            const QString type = message.value(QStringLiteral("type")).toString();
            if (s->start.isEmpty() && type.isEmpty()) {
                s->start = message;
                s->startWasFirst = s->audioFrames == 0 && s->finalizes == 0;
                for (const QJsonObject &reply : afterStart)
                    reply_(s, reply);
            } else if (type == QStringLiteral("finalize")) {
                ++s->finalizes;
                for (const QJsonObject &reply : afterFinalize)
                    reply_(s, reply);
                reply_(s, tokens({token(QStringLiteral("<fin>"), true, QString())}));
            } else if (type == QStringLiteral("keepalive")) {
                ++s->keepalives;
            }
        });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this, s](const QByteArray &audio) {
            if (audio.isEmpty())
                s->endOfAudio = true;
            if (s->endOfAudio && !audio.isEmpty())
                s->audioAfterEnd = true;
            s->audio += audio;
            ++s->audioFrames;
            if (onAudio)
                onAudio(*s, audio);
        });
        connect(socket, &QWebSocket::disconnected, this, [s] { s->closed = true; });
    }

    static void reply_(Stream *s, const QJsonObject &message)
    {
        s->socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }

    QWebSocketServer m_server;
};
