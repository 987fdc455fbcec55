#include "serviceclient.h"

#include "settings.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

ServiceClient::ServiceClient(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
}

QCoro::Task<ServiceAnswer> ServiceClient::configuration(std::chrono::milliseconds timeout)
{
    const std::optional<QUrl> url = ZarnoSettings::load().serviceURL(QStringLiteral("/api/auth/config"));
    if (!url)
        co_return ServiceAnswer();
    co_return co_await send(QNetworkRequest(*url), QByteArray(), timeout);
}

QCoro::Task<ServiceAnswer> ServiceClient::tokenGrant(QUrl tokenURL, QByteArray anonKey, QByteArray body,
                                                     std::chrono::milliseconds timeout)
{
    QNetworkRequest request(tokenURL);
    request.setRawHeader("apikey", anonKey);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    co_return co_await send(request, body, timeout);
}

QCoro::Task<UploadOutcome> ServiceClient::uploadNotes(QUrl url, QString token, QByteArray body,
                                                      std::chrono::milliseconds timeout)
{
    QPointer<ServiceClient> self(this);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    const ServiceAnswer answer = co_await send(request, body, timeout);
    if (!self)
        co_return UploadOutcome{UploadOutcome::Kind::Abandoned, std::nullopt};
    if (!answer.ok || answer.status != 200)
        co_return UploadOutcome{UploadOutcome::Kind::Failed, std::nullopt};
    const QJsonDocument parsed = QJsonDocument::fromJson(answer.body);
    const QJsonValue id = parsed.object().value(QStringLiteral("session")).toObject().value(QStringLiteral("id"));
    co_return UploadOutcome{UploadOutcome::Kind::Saved,
                            id.isString() ? std::optional<QString>(id.toString()) : std::nullopt};
}

QCoro::Task<ServiceAnswer> ServiceClient::send(QNetworkRequest request, QByteArray body,
                                               std::chrono::milliseconds timeout)
{
    request.setTransferTimeout(int(timeout.count()));
    // The manager owns the reply and may delete it first.
    QPointer<QNetworkReply> reply = body.isEmpty() ? m_network->get(request) : m_network->post(request, body);
    // Aborting emits finished(), so the await always ends.
    QTimer::singleShot(timeout, reply, [reply] {
        if (reply && reply->isRunning())
            reply->abort();
    });
    co_await reply.data();
    ServiceAnswer answer;
    if (!reply)
        co_return answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    answer.reached = status.isValid();
    answer.status = status.toInt();
    answer.ok = reply->error() == QNetworkReply::NoError;
    answer.body = reply->readAll();
    reply->deleteLater();
    co_return answer;
}
