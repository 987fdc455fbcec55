#include "httpreply.h"

#include "requestlimits.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QMetaEnum>

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace Http {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

// Only the path is logged: queries and headers may carry tokens.
void logRequest(const QHttpServerRequest &request, Status status)
{
    qCInfo(lcService, "%s %s -> %d", QMetaEnum::fromType<Method>().valueToKey(int(request.method())),
           qUtf8Printable(LogText::path(request.url().path())), int(status));
}

void reply(const QHttpServerRequest &request, QHttpServerResponder &responder, const QJsonObject &body,
           Status status)
{
    logRequest(request, status);
    responder.write(QJsonDocument(body).toJson(QJsonDocument::Compact),
                    {{"Content-Type", "application/json"},
                     {"Cache-Control", "no-store"},
                     {"X-Content-Type-Options", "nosniff"}},
                    status);
}

void replyError(const QHttpServerRequest &request, QHttpServerResponder &responder, Status status,
                const QString &error, const QString &message)
{
    reply(request, responder, QJsonObject{{QStringLiteral("error"), error}, {QStringLiteral("message"), message}},
          status);
}

void databaseUnavailable(const QHttpServerRequest &request, QHttpServerResponder &responder, const QString &message)
{
    logRequest(request, Status::ServiceUnavailable);
    const QJsonObject body{{QStringLiteral("error"), QStringLiteral("database_unavailable")},
                           {QStringLiteral("message"), message}};
    responder.write(QJsonDocument(body).toJson(QJsonDocument::Compact),
                    {{"Content-Type", "application/json"},
                     {"Cache-Control", "no-store"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Retry-After", "5"}},
                    Status::ServiceUnavailable);
}

void methodNotAllowed(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    replyError(request, responder, Status::MethodNotAllowed, QStringLiteral("method_not_allowed"),
               QStringLiteral("This address does not answer that method."));
}

} // namespace Http
