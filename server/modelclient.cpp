#include "modelclient.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

namespace {

constexpr qsizetype maxQuotedError = 200;

QUrl completionsUrl(QUrl base)
{
    QString path = base.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    base.setPath(path + QStringLiteral("/chat/completions"));
    return base;
}

QString hostOf(const QUrl &url)
{
    return url.port() < 0 ? url.host() : QStringLiteral("%1:%2").arg(url.host()).arg(url.port());
}

// The server's own words about a refusal ({"error": {"message": …}} in every
// compatible server), short, and never holding the key even if it echoes it.
QString serverMessage(const QByteArray &body, const QString &key)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    const QJsonValue error = object.value(QLatin1StringView("error"));
    QString message = error.isObject() ? error.toObject().value(QLatin1StringView("message")).toString()
                                       : error.toString();
    message = message.simplified();
    if (!key.isEmpty())
        message.replace(key, QStringLiteral("…"));
    if (message.size() > maxQuotedError)
        message = message.left(maxQuotedError - 1) + QChar(0x2026);
    while (message.endsWith(QLatin1Char('.')))
        message.chop(1);
    return message;
}

QString withMessage(const QString &sentence, const QString &message)
{
    return message.isEmpty() ? sentence + QLatin1Char('.') : QStringLiteral("%1: %2.").arg(sentence, message);
}

ChatAnswer answerOf(int status, const QByteArray &body, const QString &key)
{
    if (status == 401 || status == 403) {
        return {std::nullopt, QStringLiteral("The model server refused the key (HTTP %1); check --llm-key-file or "
                                             "ZARNO_LLM_API_KEY.").arg(status)};
    }
    if (status >= 400 && status < 500) {
        return {std::nullopt, withMessage(QStringLiteral("The model server refused the request (HTTP %1)").arg(status),
                                          serverMessage(body, key))};
    }
    if (status < 200 || status >= 300) {
        return {std::nullopt, withMessage(QStringLiteral("The model server failed (HTTP %1)").arg(status),
                                          serverMessage(body, key))};
    }
    const QJsonObject envelope = QJsonDocument::fromJson(body).object();
    const QJsonObject message = envelope.value(QLatin1StringView("choices"))
                                    .toArray()
                                    .at(0)
                                    .toObject()
                                    .value(QLatin1StringView("message"))
                                    .toObject();
    const QJsonValue content = message.value(QLatin1StringView("content"));
    if (!content.isString()) {
        const QString refusal = message.value(QLatin1StringView("refusal")).toString().simplified();
        if (!refusal.isEmpty())
            return {std::nullopt, QStringLiteral("The model declined to answer: %1").arg(refusal.left(maxQuotedError))};
        return {std::nullopt, QStringLiteral("The model server's answer was not a chat completion.")};
    }
    return {content.toString(), {}};
}

} // namespace

ModelClient::ModelClient(ModelSettings settings)
    : m_settings(std::move(settings))
{
}

QCoro::Task<ChatAnswer> ModelClient::complete(QJsonArray messages, QJsonObject responseFormat)
{
    // The client may be gone when the answer comes: nothing of it is touched after the wait.
    const ModelSettings settings = m_settings;
    QNetworkRequest request(completionsUrl(settings.baseUrl));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    if (!settings.key.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + settings.key.toUtf8());
    QJsonObject body{{QStringLiteral("model"), settings.model},
                     {QStringLiteral("messages"), messages},
                     {QStringLiteral("stream"), false}};
    if (!responseFormat.isEmpty())
        body.insert(QStringLiteral("response_format"), responseFormat);

    QPointer<QNetworkReply> reply = m_network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    const auto freeReply = qScopeGuard([reply] {
        if (reply)
            reply->deleteLater();
    });
    // A transfer timeout only notices silence; a model that trickles an
    // endless answer must be stopped too, so the limit runs from start to end.
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, reply, [&timedOut, reply] {
        timedOut = true;
        reply->abort();
    });
    limit.start(settings.timeoutMs);
    co_await reply.data();
    if (!reply)
        co_return ChatAnswer{std::nullopt, QStringLiteral("The request to the model server was cancelled.")};
    if (timedOut) {
        co_return ChatAnswer{std::nullopt, QStringLiteral("The model server did not answer within %1 s.")
                                               .arg(settings.timeoutMs / 1000.0)};
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0) {
        co_return ChatAnswer{std::nullopt, QStringLiteral("The model server at %1 could not be reached: %2.")
                                               .arg(hostOf(settings.baseUrl), reply->errorString())};
    }
    ChatAnswer answer = answerOf(status, reply->readAll(), settings.key);
    answer.status = status;
    co_return answer;
}
