#pragma once

// A fake of an OpenAI-compatible chat-completions server (Ollama, llama.cpp,
// a hosted provider) on 127.0.0.1 with port 0: no language model can run
// here. It keeps every request it gets and answers each with the next
// scripted reply; a silent reply never answers, as a stuck model would.

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QUrl>

#include <memory>
#include <vector>

class FakeChatModel
{
public:
    struct Request
    {
        QByteArray authorization;
        QJsonObject body;

        // The text of the message with this role ("system", "user").
        QString message(const QString &role) const
        {
            for (const QJsonValue &value : body.value(QLatin1StringView("messages")).toArray()) {
                if (value[QLatin1StringView("role")].toString() == role)
                    return value[QLatin1StringView("content")].toString();
            }
            return {};
        }
    };

    struct Reply
    {
        int status = 200;
        QByteArray body;
        bool silent = false;
    };

    FakeChatModel()
    {
        m_server.route(QStringLiteral("/v1/chat/completions"),
                       [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                           answer(request, std::move(responder));
                       });
        m_port = m_server.listen(QHostAddress::LocalHost, 0);
    }

    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/v1").arg(m_port)); }

    // A completion whose message says `content`.
    static Reply completion(const QString &content)
    {
        const QJsonObject message{{QStringLiteral("role"), QStringLiteral("assistant")},
                                  {QStringLiteral("content"), content}};
        const QJsonObject choice{{QStringLiteral("index"), 0},
                                 {QStringLiteral("message"), message},
                                 {QStringLiteral("finish_reason"), QStringLiteral("stop")}};
        const QJsonObject body{{QStringLiteral("object"), QStringLiteral("chat.completion")},
                               {QStringLiteral("choices"), QJsonArray{choice}}};
        return {200, QJsonDocument(body).toJson(QJsonDocument::Compact)};
    }
    static Reply error(int status, const QString &message)
    {
        const QJsonObject error{{QStringLiteral("message"), message}};
        return {status, QJsonDocument(QJsonObject{{QStringLiteral("error"), error}}).toJson()};
    }
    static Reply silence() { return {0, {}, true}; }

    QList<Reply> replies; // played in order; when they run out, 500s
    QList<Request> requests;

private:
    void answer(const QHttpServerRequest &request, QHttpServerResponder &&responder)
    {
        Request seen;
        for (const auto &[name, value] : request.headers()) {
            if (name.compare("Authorization", Qt::CaseInsensitive) == 0)
                seen.authorization = value;
        }
        seen.body = QJsonDocument::fromJson(request.body()).object();
        requests.append(seen);
        const Reply reply = replies.isEmpty() ? error(500, QStringLiteral("no reply scripted")) : replies.takeFirst();
        if (reply.silent) {
            m_held.push_back(std::make_unique<QHttpServerResponder>(std::move(responder)));
            return;
        }
        responder.write(reply.body, {{"Content-Type", "application/json"}},
                        QHttpServerResponder::StatusCode(reply.status));
    }

    QHttpServer m_server;
    quint16 m_port = 0;
    std::vector<std::unique_ptr<QHttpServerResponder>> m_held;
};
