#pragma once

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonObject>
#include <QString>

// How the service answers: JSON bodies and error objects, each logged by its
// path alone (queries and headers may carry tokens).
namespace Http {

void logRequest(const QHttpServerRequest &request, QHttpServerResponder::StatusCode status);
void reply(const QHttpServerRequest &request, QHttpServerResponder &responder, const QJsonObject &body,
           QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::Ok);
void replyError(const QHttpServerRequest &request, QHttpServerResponder &responder,
                QHttpServerResponder::StatusCode status, const QString &error, const QString &message);
// 503 with a reason and when to come back: the database cannot be reached.
void databaseUnavailable(const QHttpServerRequest &request, QHttpServerResponder &responder, const QString &message);
void methodNotAllowed(const QHttpServerRequest &request, QHttpServerResponder &responder);

} // namespace Http
