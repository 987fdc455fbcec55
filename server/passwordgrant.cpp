#include "passwordgrant.h"

#include "accounts.h"
#include "passwordhash.h"
#include "requestlimits.h"
#include "serviceoptions.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace {

// Attempts waiting for the hashing thread; beyond this, clients are asked to come back.
constexpr int maxWaitingHashes = 64;

} // namespace

struct PasswordGrants::Attempt
{
    QString address;
    QString password;
    QString throttleKey;
    QString path;
    QPointer<QTcpSocket> socket;
    std::unique_ptr<QHttpServerResponder> responder;
    bool retried = false;
    // Filled on the worker thread.
    Credentials credentials;
    bool matches = false;
    StoredPassword fresh;

    void answer(const QJsonObject &body, int status, int retryAfter = 0)
    {
        qCInfo(lcService, "POST %s -> %d", qUtf8Printable(LogText::path(path)), status);
        // The client may have gone while its password was being checked.
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
        const auto code = QHttpServerResponder::StatusCode(status);
        if (retryAfter > 0)
            responder->write(json, {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"},
                                    {"Retry-After", QByteArray::number(retryAfter)}}, code);
        else
            responder->write(json, {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}}, code);
    }
};

PasswordGrants::PasswordGrants(Accounts &accounts, Store &store, const ServiceOptions &options, QObject *parent)
    : QObject(parent)
    , m_accounts(accounts)
    , m_options(options)
    , m_throttle(store)
{
    // One thread: hashing is memory-hard, and the recognisers need the cores.
    m_pool.setMaxThreadCount(1);
    (void)PasswordHash::available();
}

PasswordGrants::~PasswordGrants()
{
    m_pool.waitForDone();
}

void PasswordGrants::start(const QHttpServerRequest &request, QHttpServerResponder &&responder, const QString &email,
                           const QString &password)
{
    auto attempt = std::make_shared<Attempt>();
    attempt->address = Accounts::normalisedEmail(email);
    attempt->password = password;
    const bool forwarded = !requestHeader(request, "Forwarded").isEmpty() || !requestHeader(request, "X-Forwarded-For").isEmpty();
    attempt->throttleKey = SignInThrottle::keyFor(attempt->address, request.remoteAddress(), forwarded);
    attempt->path = request.url().path();
    attempt->socket = responder.socket();
    attempt->responder = std::make_unique<QHttpServerResponder>(std::move(responder));

    if (const auto refusal = Accounts::refuseSignInInput(attempt->address, password)) {
        attempt->answer(refusal->errorJson(), refusal->status);
        return;
    }
    if (m_jobs >= maxWaitingHashes) {
        attempt->answer({{QStringLiteral("error"), QStringLiteral("server_busy")},
                         {QStringLiteral("error_description"), QStringLiteral("The server is busy. Try again in a moment.")}},
                        503, 1);
        return;
    }
    // Counted before any hashing, so that guesses sent at once are held like guesses sent in turn.
    if (const qint64 wait = m_throttle.admit(attempt->throttleKey, m_options.nowMs()); wait > 0) {
        attempt->answer({{QStringLiteral("error"), QStringLiteral("over_request_rate_limit")},
                         {QStringLiteral("error_description"),
                          QStringLiteral("Too many sign-in attempts. Try again in %1 s.").arg(wait)}},
                        429, int(wait));
        return;
    }
    check(std::move(attempt));
}

void PasswordGrants::check(std::shared_ptr<Attempt> attempt)
{
    attempt->credentials = m_accounts.credentials(attempt->address);
    if (!attempt->credentials.ok) {
        m_throttle.finished(attempt->throttleKey, false);
        attempt->answer(GrantResult{std::nullopt, 500, QStringLiteral("server_error"),
                                    QStringLiteral("The account store is not available.")}.errorJson(), 500);
        return;
    }
    ++m_jobs;
    const PasswordCost cost = m_options.passwordCost;
    m_pool.start([this, attempt, cost]() mutable {
        if (attempt->credentials.account) {
            attempt->matches = PasswordHash::verify(attempt->password, attempt->credentials.password);
            if (attempt->matches && PasswordHash::needsRehash(attempt->credentials.password, cost))
                attempt->fresh = PasswordHash::make(attempt->password, cost);
        } else {
            attempt->fresh = PasswordHash::make(attempt->password, cost);
        }
        // The attempt goes back whole: its socket pointer is never released on this thread.
        QMetaObject::invokeMethod(this, [this, attempt = std::move(attempt)] { finish(attempt); }, Qt::QueuedConnection);
    });
}

void PasswordGrants::finish(std::shared_ptr<Attempt> attempt)
{
    --m_jobs;
    attempt->password.clear();
    std::optional<Account> account = attempt->credentials.account;
    if (account) {
        if (!attempt->matches) {
            m_throttle.finished(attempt->throttleKey, false);
            attempt->answer(GrantResult{std::nullopt, 400, QStringLiteral("invalid_grant"),
                                        QStringLiteral("Invalid login credentials")}.errorJson(), 400);
            return;
        }
        // An older hash is replaced now that the password is known to match.
        if (!attempt->fresh.hash.isEmpty())
            m_accounts.replacePassword(account->id, attempt->fresh);
    } else {
        account = m_accounts.createAccount(attempt->address, attempt->fresh);
        if (!account && !attempt->retried && m_accounts.credentials(attempt->address).account) {
            // Another first sign-in of this address won the race: check against its password.
            attempt->retried = true;
            check(std::move(attempt));
            return;
        }
        if (!account) {
            m_throttle.finished(attempt->throttleKey, false);
            attempt->answer(GrantResult{std::nullopt, 500, QStringLiteral("server_error"),
                                        QStringLiteral("The account could not be created.")}.errorJson(), 500);
            return;
        }
    }
    m_throttle.finished(attempt->throttleKey, true);
    const GrantResult result = m_accounts.startFamily(*account);
    if (result.grant)
        attempt->answer(result.grant->toJson(), 200);
    else
        attempt->answer(result.errorJson(), result.status);
}
