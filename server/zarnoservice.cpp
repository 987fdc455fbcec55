#include "zarnoservice.h"

#include "accounts.h"
#include "httpreply.h"
#include "listenerhub.h"
#include "notesbody.h"
#include "passwordgrant.h"
#include "summaryjobs.h"

#include <QFile>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcService, "zarno.server")

namespace {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

using namespace Http;

void serveResource(const QHttpServerRequest &request, QHttpServerResponder &responder, const QString &name,
                   const QByteArray &mimeType)
{
    if (request.method() != Method::Get && request.method() != Method::Head) {
        methodNotAllowed(request, responder);
        return;
    }
    QFile file(QStringLiteral(":/webapp/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        replyError(request, responder, Status::InternalServerError, QStringLiteral("server_error"),
                   QStringLiteral("The web application is missing from this build."));
        return;
    }
    logRequest(request, Status::Ok);
    responder.write(file.readAll(),
                    {{"Content-Type", mimeType},
                     {"Cache-Control", "no-cache"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Referrer-Policy", "no-referrer"},
                     {"Content-Security-Policy",
                      "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                      "connect-src 'self'; frame-ancestors 'none'"}},
                    Status::Ok);
}

QString bearerToken(const QHttpServerRequest &request)
{
    const QByteArray authorization = requestHeader(request, "Authorization");
    const QByteArray prefix = "Bearer ";
    if (authorization.size() > prefix.size() && authorization.first(prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0)
        return QString::fromUtf8(authorization.mid(prefix.size())).trimmed();
    return {};
}

bool isUpgrade(const QHttpServerRequest &request)
{
    return requestHeader(request, "Upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

} // namespace

ZarnoService::ZarnoService(ServiceOptions options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
}

ZarnoService::~ZarnoService()
{
    // Connections stop their workers before the engine, the stores and the server go.
    m_listeners.reset();
    delete m_http;
    m_passwordGrants.reset();
}

QString ZarnoService::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

int ZarnoService::listeningCount() const
{
    return m_listeners ? m_listeners->count() : 0;
}

EngineInfo ZarnoService::engineInfo() const
{
    return m_engine ? m_engine->info() : EngineInfo{};
}

QString ZarnoService::publicKey() const
{
    return m_accounts ? m_accounts->publicKey() : QString();
}

bool ZarnoService::start()
{
    m_store = openStore(m_options, &m_error);
    if (!m_store)
        return false;
    m_accounts = std::make_unique<Accounts>(*m_store, m_options);
    m_engine = makeEngine(m_options);
    m_listeners = std::make_unique<ListenerHub>(m_options, m_store->makeLiveClaims());
    m_passwordGrants = std::make_unique<PasswordGrants>(*m_accounts, *m_store, m_options);
    // Summaries a stopped service left pending are asked for again.
    m_summaries = std::make_unique<SummaryJobs>(m_options.summaries, *m_store);
    m_summaries->resume();
    // Made now, so the first client does not wait for it.
    (void)m_accounts->publicKey();

    m_http = new QHttpServer(this);
    addRoutes();
    connect(m_http, &QHttpServer::newWebSocketConnection, this, &ZarnoService::acceptWebSockets);
    // Our own listening socket, so every request meets the limits first.
    auto *tcp = new LimitedTcpServer(m_options.limits, m_http);
    if (!tcp->listen(QHostAddress::LocalHost, m_options.port)) {
        m_error = QStringLiteral("Port %1 on 127.0.0.1 is not available.").arg(m_options.port);
        return false;
    }
    m_http->bind(tcp);
    m_port = tcp->serverPort();
    return true;
}

void ZarnoService::addRoutes()
{
    m_http->route(QStringLiteral("/"), [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        logRequest(request, Status::Found);
        responder.write({{"Location", "/app"}}, Status::Found);
    });
    m_http->route(QStringLiteral("/app"), [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        serveResource(request, responder, QStringLiteral("app.html"), "text/html; charset=utf-8");
    });
    m_http->route(QStringLiteral("/app/app.css"), [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        serveResource(request, responder, QStringLiteral("app.css"), "text/css; charset=utf-8");
    });
    for (const QString &script : {QStringLiteral("app.js"), QStringLiteral("notes.js")}) {
        m_http->route(QStringLiteral("/app/") + script, [script](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            serveResource(request, responder, script, "text/javascript; charset=utf-8");
        });
    }
    m_http->route(QStringLiteral("/api/auth/config"), [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        handleConfig(request, responder);
    });
    m_http->route(QStringLiteral("/auth/v1/token"), [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        handleToken(request, responder);
    });
    m_http->route(QStringLiteral("/auth/v1/logout"), [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        handleLogout(request, responder);
    });
    m_http->route(QStringLiteral("/api/sessions"), [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        handleSessions(request, responder);
    });
    m_http->route(QStringLiteral("/api/sessions/<arg>"),
                  [this](const QString &id, const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                      handleSession(id, request, responder);
                  });
    m_http->route(QStringLiteral("/api/sessions/<arg>/export"),
                  [this](const QString &id, const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                      handleExport(id, request, responder);
                  });
    m_http->route(QStringLiteral("/api/sessions/<arg>/summary"),
                  [this](const QString &id, const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                      handleSummary(id, request, responder);
                  });
    m_http->route(QStringLiteral("/api/sessions/<arg>/summary/actionItems/<arg>"),
                  [this](const QString &id, const QString &item, const QHttpServerRequest &request,
                         QHttpServerResponder &&responder) { handleActionItem(id, item, request, responder); });
    // The upgrade itself happens inside QHttpServer; this route must exist and
    // must write nothing for upgrade requests.
    m_http->route(QStringLiteral("/ws/transcribe"), [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        if (isUpgrade(request))
            return;
        replyError(request, responder, Status::UpgradeRequired, QStringLiteral("upgrade_required"),
                   QStringLiteral("This address speaks WebSocket only."));
    });
    if (m_options.testControls) {
        m_http->route(QStringLiteral("/__test/fail-sessions"), [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            handleTestSwitch(request, responder);
        });
    }
    m_http->setMissingHandler([](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        replyError(request, responder, Status::NotFound, QStringLiteral("not_found"),
                   QStringLiteral("Nothing is served at this address."));
    });
}

void ZarnoService::handleConfig(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    if (request.method() != Method::Get) {
        methodNotAllowed(request, responder);
        return;
    }
    // Our own address (or the one the operator named), never the Host a client sent.
    reply(request, responder,
          QJsonObject{{QStringLiteral("supabaseUrl"), m_options.publicUrl.isEmpty() ? baseUrl() : m_options.publicUrl},
                      {QStringLiteral("supabaseAnonKey"), m_accounts->publicKey()},
                      {QStringLiteral("engine"), engineInfo().toJson()}});
}

void ZarnoService::handleToken(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    if (request.method() != Method::Post) {
        methodNotAllowed(request, responder);
        return;
    }
    if (!checkApiKey(request, responder) || !storeReachable(request, responder))
        return;
    const QString grantType = request.query().queryItemValue(QStringLiteral("grant_type"), QUrl::FullyDecoded);
    const QJsonDocument body = QJsonDocument::fromJson(request.body());
    const QJsonObject fields = body.object();
    GrantResult result;
    if (grantType == QLatin1StringView("refresh_token")) {
        if (!body.isObject() || !fields.value(QStringLiteral("refresh_token")).isString()) {
            result.status = 400;
            result.error = QStringLiteral("invalid_request");
            result.description = QStringLiteral("Refresh Token is required");
        } else {
            result = m_accounts->refresh(fields.value(QStringLiteral("refresh_token")).toString());
        }
    } else if (grantType == QLatin1StringView("password")) {
        if (!body.isObject() || !fields.value(QStringLiteral("email")).isString()
            || !fields.value(QStringLiteral("password")).isString()) {
            result.status = 400;
            result.error = QStringLiteral("invalid_request");
            result.description = QStringLiteral("An e-mail address and a password are required.");
        } else {
            m_passwordGrants->start(request, std::move(responder), fields.value(QStringLiteral("email")).toString(),
                                    fields.value(QStringLiteral("password")).toString());
            return;
        }
    } else {
        result.status = 400;
        result.error = QStringLiteral("unsupported_grant_type");
        result.description = QStringLiteral("grant_type must be refresh_token or password");
    }
    if (result.grant)
        reply(request, responder, result.grant->toJson());
    else
        reply(request, responder, result.errorJson(), Status(result.status));
}

bool ZarnoService::checkApiKey(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    const QByteArray apiKey = requestHeader(request, "apikey");
    if (apiKey.isEmpty()) {
        reply(request, responder,
              QJsonObject{{QStringLiteral("message"), QStringLiteral("No API key found in request")},
                          {QStringLiteral("hint"), QStringLiteral("No `apikey` request header or url param was found.")}},
              Status::Unauthorized);
        return false;
    }
    if (QString::fromUtf8(apiKey) != m_accounts->publicKey()) {
        reply(request, responder, QJsonObject{{QStringLiteral("message"), QStringLiteral("Invalid API key")}},
              Status::Unauthorized);
        return false;
    }
    return true;
}

void ZarnoService::handleLogout(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    if (request.method() != Method::Post) {
        methodNotAllowed(request, responder);
        return;
    }
    if (!checkApiKey(request, responder) || !storeReachable(request, responder))
        return;
    if (!m_accounts->signOut(bearerToken(request))) {
        replyError(request, responder, Status::Unauthorized, QStringLiteral("unauthorized"),
                   QStringLiteral("Sign in to use this address."));
        return;
    }
    logRequest(request, Status::NoContent);
    responder.write({{"Cache-Control", "no-store"}}, Status::NoContent);
}

bool ZarnoService::storeReachable(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    if (m_store->reachable())
        return true;
    databaseUnavailable(request, responder, m_store->unreachableText());
    return false;
}

qint64 ZarnoService::authorise(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    if (!storeReachable(request, responder))
        return 0;
    const auto check = m_accounts->checkAccess(bearerToken(request));
    if (check.state == Accounts::AccessState::Valid)
        return check.account.id;
    replyError(request, responder, Status::Unauthorized, QStringLiteral("unauthorized"),
               check.state == Accounts::AccessState::Expired ? QStringLiteral("The sign-in has expired.")
                                                                 : QStringLiteral("Sign in to use this address."));
    return 0;
}

std::optional<StoredNote> ZarnoService::requestedNote(const QString &id, Method method,
                                                     const QHttpServerRequest &request,
                                                     QHttpServerResponder &responder, qint64 &accountId)
{
    if (request.method() != method) {
        methodNotAllowed(request, responder);
        return std::nullopt;
    }
    accountId = authorise(request, responder);
    if (!accountId)
        return std::nullopt;
    auto note = m_store->note(accountId, id);
    if (!note) {
        replyError(request, responder, Status::NotFound, QStringLiteral("not_found"),
                   QStringLiteral("These notes do not exist or belong to another account."));
    }
    return note;
}

void ZarnoService::handleSummary(const QString &id, const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    qint64 accountId = 0;
    if (!requestedNote(id, Method::Post, request, responder, accountId))
        return;
    if (!m_summaries->enabled()) {
        replyError(request, responder, Status::Conflict, QStringLiteral("summaries_off"),
                   QStringLiteral("No model is configured; start zarno-server with --llm-url and --llm-model."));
        return;
    }
    m_summaries->ask(accountId, id);
    reply(request, responder, QJsonObject{{QStringLiteral("summary"), m_summaries->state(id).toJson()}},
          Status::Accepted);
}

// PATCH {"done": true|false} ticks or unticks one to-do of a ready summary, by its place in the list.
void ZarnoService::handleActionItem(const QString &id, const QString &item, const QHttpServerRequest &request,
                                    QHttpServerResponder &responder)
{
    qint64 accountId = 0;
    if (!requestedNote(id, Method::Patch, request, responder, accountId))
        return;
    const QJsonValue done = QJsonDocument::fromJson(request.body()).object().value(QLatin1StringView("done"));
    if (!done.isBool()) {
        replyError(request, responder, Status::BadRequest, QStringLiteral("invalid_request"),
                   QStringLiteral("\"done\" must be true or false."));
        return;
    }
    bool isNumber = false;
    const qsizetype index = item.toLongLong(&isNumber);
    if (!isNumber || !m_summaries->setDone(id, index, done.toBool())) {
        replyError(request, responder, Status::NotFound, QStringLiteral("not_found"),
                   QStringLiteral("This note has no such to-do."));
        return;
    }
    reply(request, responder, QJsonObject{{QStringLiteral("summary"), m_summaries->state(id).toJson()}});
}

void ZarnoService::handleTestSwitch(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    if (request.method() != Method::Post) {
        methodNotAllowed(request, responder);
        return;
    }
    const QJsonValue fail = QJsonDocument::fromJson(request.body()).object().value(QStringLiteral("fail"));
    if (!request.remoteAddress().isLoopback() || !fail.isBool()) {
        replyError(request, responder, Status::BadRequest, QStringLiteral("invalid_request"),
                   QStringLiteral("Send {\"fail\": true} or {\"fail\": false}."));
        return;
    }
    m_failSessions = fail.toBool();
    reply(request, responder, QJsonObject{{QStringLiteral("failSessions"), m_failSessions}});
}

void ZarnoService::acceptWebSockets()
{
    while (m_http->hasPendingWebSocketConnections())
        acceptWebSocket(m_http->nextPendingWebSocketConnection());
}

void ZarnoService::reject(std::unique_ptr<QWebSocket> socket, int code, const QString &reason)
{
    QWebSocket *raw = socket.release();
    raw->setParent(this);
    connect(raw, &QWebSocket::disconnected, raw, &QObject::deleteLater);
    // A client that never answers the close handshake is cut off.
    QTimer::singleShot(5000, raw, &QWebSocket::abort);
    raw->close(QWebSocketProtocol::CloseCode(code), reason);
}

void ZarnoService::acceptWebSocket(std::unique_ptr<QWebSocket> socket)
{
    if (!socket)
        return;
    const QUrl url = socket->requestUrl();
    if (url.path() != QLatin1StringView("/ws/transcribe")) {
        qCInfo(lcService, "websocket on %s refused", qUtf8Printable(LogText::path(url.path())));
        reject(std::move(socket), 4404, QStringLiteral("Nothing is served at this address."));
        return;
    }
    // Not a refused token: the app keeps its sign-in and tries again, as when the listeners are full.
    if (!m_store->reachable()) {
        reject(std::move(socket), 4013, m_store->unreachableText());
        return;
    }
    const QUrlQuery query(url);
    const auto check = m_accounts->checkAccess(query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded));
    if (check.state == Accounts::AccessState::Unknown) {
        qCInfo(lcService, "websocket refused: unknown token");
        reject(std::move(socket), 4403, QStringLiteral("Unknown access token."));
        return;
    }
    if (check.state == Accounts::AccessState::Expired) {
        qCInfo(lcService, "websocket refused: expired token of account %lld", check.account.id);
        reject(std::move(socket), 4401, QStringLiteral("The access token has expired."));
        return;
    }
    const qint64 accountId = check.account.id;
    std::optional<Refusal> refusal = m_listeners->claim(accountId);
    if (!refusal) {
        refusal = m_engine->refusal();
        if (refusal)
            m_listeners->release(accountId);
    }
    if (refusal) {
        reject(std::move(socket), refusal->code, refusal->reason);
        return;
    }
    const QString only = query.queryItemValue(QStringLiteral("onlyTranscript")).toLower();
    const ListeningRequest request{accountId, query.queryItemValue(QStringLiteral("a"), QUrl::FullyDecoded),
                                   query.queryItemValue(QStringLiteral("b"), QUrl::FullyDecoded),
                                   query.hasQueryItem(QStringLiteral("onlyTranscript"))
                                       && only != QLatin1StringView("false") && only != QLatin1StringView("0")};
    m_listeners->add(accountId, m_engine->open(std::move(socket), request, m_listeners.get()));
}
