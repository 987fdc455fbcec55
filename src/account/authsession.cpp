#include "authsession.h"

#include "clock.h"
#include "serviceclient.h"
#include "settings.h"
#include "tokenvault.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSettings>
#include <QTimer>

#include <QCoroSignal>

namespace {

const QString expiresKey = QStringLiteral("authExpiresAt");
const QString emailKey = QStringLiteral("authEmail");

QSettings openStore()
{
    return ZarnoSettings::standardStore();
}

// A stored string; anything else, and an empty text, counts as missing.
QString storedString(const QSettings &store, const QString &key)
{
    const QVariant value = store.value(key);
    if (value.typeId() != QMetaType::QString)
        return QString();
    return value.toString();
}

double storedSeconds(const QSettings &store, const QString &key)
{
    bool ok = false;
    const double seconds = store.value(key).toDouble(&ok);
    return ok ? seconds : 0;
}

struct ServiceConfig
{
    QUrl tokenURL;
    QByteArray anonKey;
};

std::optional<ServiceConfig> decodeConfig(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return std::nullopt;
    const QJsonValue url = document.object().value(QLatin1StringView("supabaseUrl"));
    const QJsonValue key = document.object().value(QLatin1StringView("supabaseAnonKey"));
    if (!url.isString() || !key.isString())
        return std::nullopt;
    ServiceConfig config;
    config.anonKey = key.toString().toUtf8();
    // A line break would let the configuration write headers of its own.
    if (config.anonKey.contains('\r') || config.anonKey.contains('\n'))
        return std::nullopt;
    const QUrl base(url.toString(), QUrl::StrictMode);
    if (!base.isValid() || base.host().isEmpty()
        || (base.scheme() != QLatin1StringView("http") && base.scheme() != QLatin1StringView("https")))
        return std::nullopt;
    config.tokenURL = base.resolved(QUrl(QStringLiteral("auth/v1/token?grant_type=refresh_token")));
    if (!config.tokenURL.isValid())
        return std::nullopt;
    return config;
}

struct TokenAnswer
{
    QString accessToken;
    QString refreshToken;
    std::optional<double> expiresIn;
    std::optional<double> expiresAt;
    std::optional<QString> email;
};

// Null counts as absent for the optional keys; a wrong type fails the whole answer.
bool readNumber(const QJsonObject &object, QLatin1StringView key, std::optional<double> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isDouble())
        return false;
    out = value.toDouble();
    return true;
}

std::optional<TokenAnswer> decodeTokenAnswer(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue access = object.value(QLatin1StringView("access_token"));
    const QJsonValue refresh = object.value(QLatin1StringView("refresh_token"));
    if (!access.isString() || !refresh.isString())
        return std::nullopt;
    TokenAnswer answer;
    answer.accessToken = access.toString();
    answer.refreshToken = refresh.toString();
    if (!readNumber(object, QLatin1StringView("expires_in"), answer.expiresIn)
        || !readNumber(object, QLatin1StringView("expires_at"), answer.expiresAt))
        return std::nullopt;
    const QJsonValue user = object.value(QLatin1StringView("user"));
    if (!user.isUndefined() && !user.isNull()) {
        if (!user.isObject())
            return std::nullopt;
        const QJsonValue email = user.toObject().value(QLatin1StringView("email"));
        if (!email.isUndefined() && !email.isNull()) {
            if (!email.isString())
                return std::nullopt;
            answer.email = email.toString();
        }
    }
    // Empty tokens would leave the user signed in with nothing to sign in with.
    if (answer.accessToken.isEmpty() || answer.refreshToken.isEmpty())
        return std::nullopt;
    return answer;
}

} // namespace

AuthSession::AuthSession(QObject *parent)
    : QObject(parent)
{
    QSettings store = openStore();
    m_email = storedString(store, emailKey);
    if (!TokenVault::shared().tokens().refresh.isEmpty())
        OwnerOnly::close(store);
}

AuthSession &AuthSession::shared()
{
    static AuthSession *const instance = [] {
        auto *session = new AuthSession(QCoreApplication::instance());
        // A renewal handed to the keyring just before quitting still lands.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, session,
                         [] { TokenVault::shared().flush(); });
        return session;
    }();
    return *instance;
}

bool AuthSession::adoptFromPage(const QString &accessToken, const QString &refreshToken, double expiresAt,
                                const std::optional<QString> &email)
{
    {
        const QSettings store = openStore();
        const QString storedRefresh = TokenVault::shared().tokens().refresh;
        if (!storedRefresh.isEmpty() && storedRefresh != refreshToken && storedSeconds(store, expiresKey) > expiresAt)
            return false;
    }
    adopt(accessToken, refreshToken, expiresAt, email);
    return true;
}

bool AuthSession::isSignedIn() const
{
    return !TokenVault::shared().tokens().refresh.isEmpty();
}

QCoro::Task<std::optional<QString>> AuthSession::validAccessToken()
{
    QPointer<AuthSession> self(this);
    // The token service rotates refresh tokens and may refuse one already
    // used: a second renewal racing the first would sign the user out. So
    // callers wait for a renewal under way and then read its result.
    while (m_renewing) {
        co_await qCoro(this, &AuthSession::renewalFinished, m_requestTimeout * 2 + std::chrono::seconds(1));
        if (!self)
            co_return std::nullopt;
    }

    m_renewalProblem.reset();
    QString refreshToken;
    {
        const QSettings store = openStore();
        const TokenVault::Tokens tokens = TokenVault::shared().tokens();
        refreshToken = tokens.refresh;
        if (refreshToken.isEmpty())
            co_return std::nullopt;
        const QString accessToken = tokens.access;
        const double expiresAt = storedSeconds(store, expiresKey);
        if (!accessToken.isEmpty() && Clock::secondsSinceEpoch() < expiresAt - renewalMarginSeconds)
            co_return accessToken;
    }
    m_renewing = true;
    const std::optional<QString> token = co_await refresh(refreshToken);
    if (self) {
        m_renewing = false;
        Q_EMIT renewalFinished();
    }
    co_return token;
}

QCoro::Task<std::optional<QString>> AuthSession::refresh(QString refreshToken)
{
    QPointer<AuthSession> self(this);
    const std::chrono::milliseconds timeout = m_requestTimeout;

    // Where the token service is and its public key come from our own
    // server; failing to learn them leaves the sign-in as it is.
    if (!ZarnoSettings::load().serviceURL(QStringLiteral("/api/auth/config")))
        co_return std::nullopt;
    const ServiceAnswer config = co_await client().configuration(timeout);
    if (!self)
        co_return std::nullopt;
    if (!config.reached) {
        m_renewalProblem = unreachableText;
        co_return std::nullopt;
    }
    const std::optional<ServiceConfig> service = decodeConfig(config.body);
    if (!service) {
        m_renewalProblem = renewalFailedText;
        co_return std::nullopt;
    }

    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("refresh_token"), refreshToken}}).toJson(QJsonDocument::Compact);
    const ServiceAnswer token = co_await client().tokenGrant(service->tokenURL, service->anonKey, body, timeout);
    if (!self)
        co_return std::nullopt;

    // A network that fails or a server in trouble keeps the sign-in, so the
    // user can try again later. Any other answer that does not renew it (a
    // refusal, or a 200 without a usable pair of tokens) ends it: the old
    // refresh token may already be spent.
    if (!token.reached) {
        m_renewalProblem = unreachableText;
        co_return std::nullopt;
    }
    if (token.status >= 500) {
        m_renewalProblem = renewalFailedText;
        co_return std::nullopt;
    }
    const std::optional<TokenAnswer> answer = token.status == 200 ? decodeTokenAnswer(token.body) : std::nullopt;
    if (!answer) {
        signOut();
        co_return std::nullopt;
    }

    const double now = Clock::secondsSinceEpoch();
    const double expiresAt = answer->expiresAt ? *answer->expiresAt : now + answer->expiresIn.value_or(3600);
    const std::optional<QString> email =
        answer->email ? answer->email : (m_email.isNull() ? std::nullopt : std::optional<QString>(m_email));
    adopt(answer->accessToken, answer->refreshToken, expiresAt, email);
    Q_EMIT renewed(answer->accessToken, answer->refreshToken, expiresAt);
    co_return answer->accessToken;
}

void AuthSession::adopt(const QString &accessToken, const QString &refreshToken, double expiresAt,
                        const std::optional<QString> &email)
{
    {
        QSettings store = openStore();
        OwnerOnly::prepare(store);
        TokenVault::shared().store({accessToken, refreshToken});
        store.setValue(expiresKey, expiresAt);
        if (email)
            store.setValue(emailKey, *email);
        else
            store.remove(emailKey);
        OwnerOnly::close(store);
    }
    setEmail(email ? (email->isNull() ? QStringLiteral("") : *email) : QString());
}

void AuthSession::signOut()
{
    {
        QSettings store = openStore();
        TokenVault::shared().forget();
        store.remove(expiresKey);
        store.remove(emailKey);
        OwnerOnly::close(store);
    }
    setEmail(QString());
}

void AuthSession::setEmail(const QString &email)
{
    if (email == m_email && email.isNull() == m_email.isNull())
        return;
    m_email = email;
    Q_EMIT emailChanged();
}

ServiceClient &AuthSession::client()
{
    if (!m_client)
        m_client = new ServiceClient(this);
    return *m_client;
}
