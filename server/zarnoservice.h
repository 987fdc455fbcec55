#pragma once

#include "engine.h"
#include "notesbody.h"
#include "serviceoptions.h"

#include <QHttpServerRequest>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class Accounts;
class ListenerHub;
class PasswordGrants;
class SummaryJobs;
class QHttpServer;
class QHttpServerResponder;
class QJsonObject;
class QWebSocket;
class Store;

// The local zarno service on one loopback port: sign-in and token grants,
// notes, the transcription WebSocket and the web application.
class ZarnoService : public QObject
{
    Q_OBJECT
public:
    explicit ZarnoService(ServiceOptions options, QObject *parent = nullptr);
    ~ZarnoService() override;

    // Opens the data directory and listens on 127.0.0.1; false with errorText().
    bool start();
    [[nodiscard]] QString errorText() const { return m_error; }
    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] QString baseUrl() const;
    [[nodiscard]] QString publicKey() const;

    // While set, note uploads answer 500 (end-to-end tests of a failing save).
    void setFailSessions(bool fail) { m_failSessions = fail; }
    [[nodiscard]] int listeningCount() const;
    // What "/ws/transcribe" is served by, as "/api/auth/config" tells clients.
    [[nodiscard]] EngineInfo engineInfo() const;

private:
    void addRoutes();
    void acceptWebSockets();
    void acceptWebSocket(std::unique_ptr<QWebSocket> socket);
    void reject(std::unique_ptr<QWebSocket> socket, int code, const QString &reason);

    void handleConfig(const QHttpServerRequest &request, QHttpServerResponder &responder);
    void handleToken(const QHttpServerRequest &request, QHttpServerResponder &responder);
    void handleSessions(const QHttpServerRequest &request, QHttpServerResponder &responder);
    void handleSession(const QString &id, const QHttpServerRequest &request, QHttpServerResponder &responder);
    void handleExport(const QString &id, const QHttpServerRequest &request, QHttpServerResponder &responder);
    void handleSummary(const QString &id, const QHttpServerRequest &request, QHttpServerResponder &responder);
    void handleActionItem(const QString &id, const QString &item, const QHttpServerRequest &request,
                          QHttpServerResponder &responder);
    void handleLogout(const QHttpServerRequest &request, QHttpServerResponder &responder);
    bool checkApiKey(const QHttpServerRequest &request, QHttpServerResponder &responder);
    void handleTestSwitch(const QHttpServerRequest &request, QHttpServerResponder &responder);
    // The note a request on "/api/sessions/ID…" is about, with its account; nothing after answering 405, 401 or 404.
    std::optional<StoredNote> requestedNote(const QString &id, QHttpServerRequest::Method method,
                                            const QHttpServerRequest &request, QHttpServerResponder &responder,
                                            qint64 &accountId);
    // False after answering 503 when the database cannot be reached.
    bool storeReachable(const QHttpServerRequest &request, QHttpServerResponder &responder);
    // The account of a valid bearer token, or 0 after answering 401 (or 503).
    qint64 authorise(const QHttpServerRequest &request, QHttpServerResponder &responder);

    ServiceOptions m_options;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<Accounts> m_accounts;
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<PasswordGrants> m_passwordGrants;
    QHttpServer *m_http = nullptr;
    std::unique_ptr<ListenerHub> m_listeners;
    std::unique_ptr<SummaryJobs> m_summaries;
    quint16 m_port = 0;
    bool m_failSessions = false;
    QString m_error;
};
