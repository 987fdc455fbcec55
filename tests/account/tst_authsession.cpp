#include "authsession.h"
#include "tokenvault.h"
#include "settings.h"

#include "clock.h"

#include <QFile>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <QCoroTask>

#include <sys/stat.h>

namespace {

constexpr double now = 1'700'000'000.0;

struct Request
{
    QUrl url;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
    bool hasHeader(const QByteArray &name) const
    {
        for (const auto &header : headers)
            if (header.first.compare(name, Qt::CaseInsensitive) == 0)
                return true;
        return false;
    }
};

// Our server's configuration endpoint and the token service, both on one
// real HTTP server on the loopback.
class Service
{
public:
    Service()
    {
        port = server.listen(QHostAddress::LocalHost, 0);
        QVERIFY(port != 0);
        configBody = QJsonDocument(QJsonObject{{"supabaseUrl", base()}, {"supabaseAnonKey", "anon-key"}}).toJson();
        server.route("/api/auth/config", [this](const QHttpServerRequest &request) {
            configRequests.append({request.url(), request.headers(), request.body()});
            return QHttpServerResponse("application/json", configBody, configStatus);
        });
        const auto token = [this](const QHttpServerRequest &request) {
            tokenRequests.append({request.url(), request.headers(), request.body()});
            return QHttpServerResponse("application/json", tokenBody, tokenStatus);
        };
        server.route("/auth/v1/token", QHttpServerRequest::Method::Post, token);
        server.route("/sb/auth/v1/token", QHttpServerRequest::Method::Post, token);
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }

    QHttpServer server;
    quint16 port = 0;
    QByteArray configBody;
    QHttpServerResponse::StatusCode configStatus = QHttpServerResponse::StatusCode::Ok;
    QByteArray tokenBody = R"({"access_token":"new-access","refresh_token":"new-refresh","expires_in":3600,)"
                           R"("expires_at":1700003600,"token_type":"bearer","user":{"email":"new@example.org"}})";
    QHttpServerResponse::StatusCode tokenStatus = QHttpServerResponse::StatusCode::Ok;
    QList<Request> configRequests;
    QList<Request> tokenRequests;
};

QSettings store()
{
    return ZarnoSettings::standardStore();
}

void storeSignIn(const QVariant &access, const QVariant &refresh, const QVariant &expiresAt, const QVariant &email)
{
    QSettings settings = store();
    const std::pair<const char *, QVariant> values[] = {
        {"authAccessToken", access}, {"authRefreshToken", refresh}, {"authExpiresAt", expiresAt}, {"authEmail", email}};
    for (const auto &[key, value] : values) {
        if (value.isValid())
            settings.setValue(key, value);
        else
            settings.remove(key);
    }
}

std::optional<QString> ask(AuthSession &session)
{
    return QCoro::waitFor(session.validAccessToken());
}

int modeOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 0777);
}

// A closed port: nothing answers there.
quint16 deadPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace

class TestAuthSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanupTestCase();

    void storedTokenIsServedUntilItNearsExpiry_data();
    void storedTokenIsServedUntilItNearsExpiry();
    void signedOutAsksNobody_data();
    void signedOutAsksNobody();
    void renewalStoresWhatTheTokenServiceAnswers_data();
    void renewalStoresWhatTheTokenServiceAnswers();
    void renewalKeepsTheSignInOnlyThroughFailuresOfNetworkOrServer_data();
    void renewalKeepsTheSignInOnlyThroughFailuresOfNetworkOrServer();
    void unreadableConfigurationKeepsTheSignIn_data();
    void unreadableConfigurationKeepsTheSignIn();
    void renewalSendsOnlyTheKeyAndTheRefreshToken_data();
    void renewalSendsOnlyTheKeyAndTheRefreshToken();
    void callersAtTheSameTimeShareOneRenewal_data();
    void callersAtTheSameTimeShareOneRenewal();
    void signInIsRememberedAndOwnerOnly();
    void pageCopyNeverReplacesANewerRenewal_data();
    void pageCopyNeverReplacesANewerRenewal();

private:
    std::unique_ptr<Service> m_service;
};

void TestAuthSession::init()
{
    m_service = std::make_unique<Service>();
    QSettings settings = store();
    settings.clear();
    settings.setValue("serverURL", m_service->base());
    Clock::setSource([] { return QDateTime::fromMSecsSinceEpoch(qint64(now * 1000), Qt::UTC); });
}

void TestAuthSession::cleanupTestCase()
{
    Clock::setSource({});
}

void TestAuthSession::storedTokenIsServedUntilItNearsExpiry_data()
{
    QTest::addColumn<QVariant>("access");
    QTest::addColumn<QVariant>("expiresAt");
    QTest::addColumn<bool>("renews");

    QTest::newRow("an hour left") << QVariant("old-access") << QVariant(now + 3600) << false;
    QTest::newRow("121 s left") << QVariant("old-access") << QVariant(now + 121) << false;
    QTest::newRow("120.5 s left") << QVariant("old-access") << QVariant(now + 120.5) << false;
    QTest::newRow("exactly 120 s left") << QVariant("old-access") << QVariant(now + 120) << true;
    QTest::newRow("119 s left") << QVariant("old-access") << QVariant(now + 119) << true;
    QTest::newRow("expired") << QVariant("old-access") << QVariant(now - 10) << true;
    QTest::newRow("expiry missing") << QVariant("old-access") << QVariant() << true;
    QTest::newRow("expiry garbage") << QVariant("old-access") << QVariant("soon") << true;
    QTest::newRow("expiry as text") << QVariant("old-access") << QVariant(QString::number(now + 600, 'f', 3))
                                    << false;
    QTest::newRow("access token missing") << QVariant() << QVariant(now + 3600) << true;
    QTest::newRow("access token empty") << QVariant("") << QVariant(now + 3600) << true;
    QTest::newRow("access token not a string") << QVariant(QStringList{"a", "b"}) << QVariant(now + 3600) << true;
}

void TestAuthSession::storedTokenIsServedUntilItNearsExpiry()
{
    QFETCH(QVariant, access);
    QFETCH(QVariant, expiresAt);
    QFETCH(bool, renews);

    storeSignIn(access, "old-refresh", expiresAt, "me@example.org");
    AuthSession session;
    QCOMPARE(ask(session), renews ? QString("new-access") : QString("old-access"));
    QCOMPARE(m_service->tokenRequests.size(), renews ? 1 : 0);
    QCOMPARE(m_service->configRequests.size(), renews ? 1 : 0);

    // A renewed token is good for the next caller without another request.
    QCOMPARE(ask(session), renews ? QString("new-access") : QString("old-access"));
    QCOMPARE(m_service->tokenRequests.size(), renews ? 1 : 0);
}

void TestAuthSession::signedOutAsksNobody_data()
{
    QTest::addColumn<QVariant>("refresh");

    QTest::newRow("no refresh token") << QVariant();
    QTest::newRow("empty refresh token") << QVariant("");
    QTest::newRow("refresh token not a string") << QVariant(QStringList{"x", "y"});
}

void TestAuthSession::signedOutAsksNobody()
{
    QFETCH(QVariant, refresh);

    storeSignIn("old-access", refresh, now + 3600, QVariant());
    AuthSession session;
    QVERIFY(!session.isSignedIn());
    QCOMPARE(ask(session), std::nullopt);
    QCOMPARE(m_service->configRequests.size(), 0);
    QCOMPARE(m_service->tokenRequests.size(), 0);
}

void TestAuthSession::renewalStoresWhatTheTokenServiceAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<double>("expiresAt");
    QTest::addColumn<QString>("email"); // null: none

    const QByteArray tokens = R"("access_token":"new-access","refresh_token":"new-refresh")";
    QTest::newRow("both expiries: the absolute one wins")
        << "{" + tokens + R"(,"expires_in":60,"expires_at":1700009999.5,"user":{"email":"new@example.org"}})"
        << 1700009999.5 << "new@example.org";
    QTest::newRow("only a lifetime, with a fraction") << "{" + tokens + R"(,"expires_in":1800.25})" << now + 1800.25
                                                      << "old@example.org";
    QTest::newRow("absolute expiry null, lifetime given") << "{" + tokens + R"(,"expires_at":null,"expires_in":90})"
                                                          << now + 90 << "old@example.org";
    QTest::newRow("neither expiry: an hour") << "{" + tokens + "}" << now + 3600 << "old@example.org";
    QTest::newRow("no user keeps the e-mail") << "{" + tokens + R"(,"expires_in":100})" << now + 100
                                              << "old@example.org";
    QTest::newRow("user without e-mail keeps it") << "{" + tokens + R"(,"user":{"id":"u1"}})" << now + 3600
                                                  << "old@example.org";
    QTest::newRow("user e-mail null keeps it") << "{" + tokens + R"(,"user":{"email":null}})" << now + 3600
                                               << "old@example.org";
    QTest::newRow("user null keeps it") << "{" + tokens + R"(,"user":null})" << now + 3600 << "old@example.org";
    QTest::newRow("new e-mail") << "{" + tokens + R"(,"user":{"email":"other@example.org","role":"x"}})"
                                << now + 3600 << "other@example.org";
}

void TestAuthSession::renewalStoresWhatTheTokenServiceAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(double, expiresAt);
    QFETCH(QString, email);

    m_service->tokenBody = answer;
    storeSignIn("old-access", "old-refresh", now + 10, "old@example.org");
    AuthSession session;
    QCOMPARE(session.email(), QString("old@example.org"));
    QSignalSpy changed(&session, &AuthSession::emailChanged);

    QCOMPARE(ask(session), QString("new-access"));
    const QSettings settings = store();
    QCOMPARE(settings.value("authAccessToken").toString(), QString("new-access"));
    QCOMPARE(settings.value("authRefreshToken").toString(), QString("new-refresh"));
    QCOMPARE(settings.value("authExpiresAt").toDouble(), expiresAt);
    QCOMPARE(settings.value("authEmail").toString(), email);
    QCOMPARE(session.email(), email);
    QCOMPARE(changed.size(), email == "old@example.org" ? 0 : 1);
    QCOMPARE(m_service->tokenRequests.size(), 1);
}

void TestAuthSession::renewalKeepsTheSignInOnlyThroughFailuresOfNetworkOrServer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("tokenService"); // "hang", "dead" or empty for the real one
    QTest::addColumn<QString>("problem");      // empty: signed out

    const QByteArray good = R"({"access_token":"a","refresh_token":"r","expires_in":3600})";
    QTest::newRow("401") << 401 << QByteArray(R"({"message":"Invalid API key"})") << QString() << QString();
    QTest::newRow("400 used token") << 400 << QByteArray(R"({"error":"invalid_grant"})") << QString() << QString();
    QTest::newRow("403") << 403 << QByteArray(R"({"error":"forbidden"})") << QString() << QString();
    QTest::newRow("500 with a good body") << 500 << good << QString() << AuthSession::renewalFailedText;
    QTest::newRow("503 busy") << 503 << QByteArray("busy") << QString() << AuthSession::renewalFailedText;
    QTest::newRow("201 with a good body") << 201 << good << QString() << QString();
    QTest::newRow("200 without refresh token")
        << 200 << QByteArray(R"({"access_token":"a","expires_in":3600})") << QString() << QString();
    QTest::newRow("200 without access token") << 200 << QByteArray(R"({"refresh_token":"r"})") << QString() << QString();
    QTest::newRow("200 refresh token null") << 200 << QByteArray(R"({"access_token":"a","refresh_token":null})")
                                            << QString() << QString();
    QTest::newRow("200 empty access token") << 200 << QByteArray(R"({"access_token":"","refresh_token":"r"})")
                                            << QString() << QString();
    QTest::newRow("200 lifetime as text")
        << 200 << QByteArray(R"({"access_token":"a","refresh_token":"r","expires_in":"3600"})") << QString() << QString();
    QTest::newRow("200 user as text") << 200 << QByteArray(R"({"access_token":"a","refresh_token":"r","user":"me"})")
                                      << QString() << QString();
    QTest::newRow("200 not JSON") << 200 << QByteArray("<html>ok</html>") << QString() << QString();
    QTest::newRow("200 empty") << 200 << QByteArray() << QString() << QString();
    QTest::newRow("token service never answers") << 200 << good << QString("hang") << AuthSession::unreachableText;
    QTest::newRow("token service unreachable") << 200 << good << QString("dead") << AuthSession::unreachableText;
}

void TestAuthSession::renewalKeepsTheSignInOnlyThroughFailuresOfNetworkOrServer()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, tokenService);
    QFETCH(QString, problem);

    QTcpServer silent;
    if (tokenService == "hang") {
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        m_service->configBody = QJsonDocument(QJsonObject{{"supabaseUrl", QString("http://127.0.0.1:%1").arg(silent.serverPort())},
                                                          {"supabaseAnonKey", "anon-key"}})
                                    .toJson();
    } else if (tokenService == "dead") {
        m_service->configBody = QJsonDocument(QJsonObject{{"supabaseUrl", QString("http://127.0.0.1:%1").arg(deadPort())},
                                                          {"supabaseAnonKey", "anon-key"}})
                                    .toJson();
    }
    m_service->tokenStatus = QHttpServerResponse::StatusCode(status);
    m_service->tokenBody = answer;
    storeSignIn("old-access", "old-refresh", now + 60, "me@example.org");
    AuthSession session;
    // Only the silent token service needs the timeout to run out; a short one
    // elsewhere could cut off a slow answer from our own server on a busy machine.
    if (tokenService == "hang")
        session.setRequestTimeout(std::chrono::milliseconds(1500));
    QSignalSpy changed(&session, &AuthSession::emailChanged);

    QCOMPARE(ask(session), std::nullopt);
    const QSettings settings = store();
    QCOMPARE(settings.value("serverURL").toString(), m_service->base());
    if (!problem.isEmpty()) {
        // Not a refusal: the sign-in stays for the next try, and says why.
        QVERIFY(session.isSignedIn());
        QCOMPARE(session.email(), QString("me@example.org"));
        QCOMPARE(changed.size(), 0);
        QCOMPARE(settings.value("authRefreshToken").toString(), QString("old-refresh"));
        QCOMPARE(session.renewalProblem().value_or(QString()), problem);
        return;
    }
    QVERIFY(!session.isSignedIn());
    QCOMPARE(session.email(), QString());
    QCOMPARE(changed.size(), 1);
    QVERIFY(!session.renewalProblem());
    for (const char *key : {"authAccessToken", "authRefreshToken", "authExpiresAt", "authEmail"})
        QVERIFY2(!settings.contains(key), key);
}

void TestAuthSession::unreadableConfigurationKeepsTheSignIn_data()
{
    QTest::addColumn<QString>("serverURL"); // empty: the test service
    QTest::addColumn<QByteArray>("config");

    const QByteArray good = "use the service's own";
    QTest::newRow("server unreachable") << QString("http://127.0.0.1:%1").arg(deadPort()) << good;
    QTest::newRow("server address without host") << "localhost:8790" << good;
    QTest::newRow("server address empty") << "" << good;
    QTest::newRow("not JSON") << QString() << QByteArray("<html>maintenance</html>");
    QTest::newRow("an array") << QString() << QByteArray(R"(["http://127.0.0.1:1","k"])");
    QTest::newRow("key missing") << QString() << QByteArray(R"({"supabaseUrl":"http://127.0.0.1:1"})");
    QTest::newRow("key not a string") << QString() << QByteArray(R"({"supabaseUrl":"http://127.0.0.1:1","supabaseAnonKey":5})");
    QTest::newRow("address null") << QString() << QByteArray(R"({"supabaseUrl":null,"supabaseAnonKey":"k"})");
    QTest::newRow("address not a URL") << QString() << QByteArray(R"({"supabaseUrl":"not a url","supabaseAnonKey":"k"})");
    QTest::newRow("address relative") << QString() << QByteArray(R"({"supabaseUrl":"/auth","supabaseAnonKey":"k"})");
    QTest::newRow("address of another kind")
        << QString() << QByteArray(R"({"supabaseUrl":"file:///etc/","supabaseAnonKey":"k"})");
    QTest::newRow("key that would add headers")
        << QString() << QByteArray(R"({"supabaseUrl":"http://127.0.0.1:1","supabaseAnonKey":"k\r\nX-Evil: 1"})");
}

void TestAuthSession::unreadableConfigurationKeepsTheSignIn()
{
    QFETCH(QString, serverURL);
    QFETCH(QByteArray, config);

    if (!serverURL.isNull())
        store().setValue("serverURL", serverURL);
    if (config != "use the service's own")
        m_service->configBody = config;
    storeSignIn("old-access", "old-refresh", now + 60, "me@example.org");
    AuthSession session;
    session.setRequestTimeout(std::chrono::milliseconds(2000));

    QCOMPARE(ask(session), std::nullopt);
    QCOMPARE(m_service->tokenRequests.size(), 0);
    QVERIFY(session.isSignedIn());
    QCOMPARE(session.email(), QString("me@example.org"));
    const QSettings settings = store();
    QCOMPARE(settings.value("authAccessToken").toString(), QString("old-access"));
    QCOMPARE(settings.value("authRefreshToken").toString(), QString("old-refresh"));
    QCOMPARE(settings.value("authExpiresAt").toDouble(), now + 60);
    QCOMPARE(settings.value("authEmail").toString(), QString("me@example.org"));
}

void TestAuthSession::renewalSendsOnlyTheKeyAndTheRefreshToken_data()
{
    QTest::addColumn<QString>("serverSuffix");
    QTest::addColumn<QString>("supabaseSuffix");
    QTest::addColumn<QString>("tokenPath");
    QTest::addColumn<int>("configStatus");

    QTest::newRow("bare addresses") << "" << "" << "/auth/v1/token" << 200;
    QTest::newRow("trailing slash") << "/" << "/" << "/auth/v1/token" << 200;
    QTest::newRow("path on both") << "/ignored/path?keep=1" << "/sb/" << "/sb/auth/v1/token" << 200;
    QTest::newRow("last segment replaced") << "" << "/sb" << "/auth/v1/token" << 200;
    QTest::newRow("configuration answered with 404") << "" << "" << "/auth/v1/token" << 404;
}

void TestAuthSession::renewalSendsOnlyTheKeyAndTheRefreshToken()
{
    QFETCH(QString, serverSuffix);
    QFETCH(QString, supabaseSuffix);
    QFETCH(QString, tokenPath);
    QFETCH(int, configStatus);

    store().setValue("serverURL", m_service->base() + serverSuffix);
    m_service->configStatus = QHttpServerResponse::StatusCode(configStatus);
    m_service->configBody = QJsonDocument(QJsonObject{{"supabaseUrl", m_service->base() + supabaseSuffix},
                                                      {"supabaseAnonKey", "anon-key"},
                                                      {"extra", true}})
                                .toJson();
    storeSignIn(QVariant(), "old refresh+/=", QVariant(), QVariant());
    AuthSession session;
    QCOMPARE(ask(session), QString("new-access"));

    QCOMPARE(m_service->configRequests.size(), 1);
    const Request &config = m_service->configRequests[0];
    QCOMPARE(config.url.path(), QString("/api/auth/config"));
    QCOMPARE(config.url.query(), serverSuffix.contains("keep") ? QString("keep=1") : QString());
    QVERIFY(!config.hasHeader("apikey"));
    QVERIFY(!config.hasHeader("authorization"));

    QCOMPARE(m_service->tokenRequests.size(), 1);
    const Request &token = m_service->tokenRequests[0];
    QCOMPARE(token.url.path(), tokenPath);
    QCOMPARE(token.url.query(), QString("grant_type=refresh_token"));
    QCOMPARE(token.header("apikey"), QByteArray("anon-key"));
    QCOMPARE(token.header("content-type"), QByteArray("application/json"));
    QVERIFY(!token.hasHeader("authorization"));
    QVERIFY(!token.hasHeader("cookie"));
    const QJsonDocument body = QJsonDocument::fromJson(token.body);
    QCOMPARE(body.object(), (QJsonObject{{"refresh_token", "old refresh+/="}}));
    // Signed in without a known e-mail, and the answer names one.
    QCOMPARE(session.email(), QString("new@example.org"));
}

void TestAuthSession::callersAtTheSameTimeShareOneRenewal_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected"); // null: none

    QTest::newRow("renewed") << 200 << "new-access";
    QTest::newRow("refused") << 400 << QString();
}

void TestAuthSession::callersAtTheSameTimeShareOneRenewal()
{
    QFETCH(int, status);
    QFETCH(QString, expected);

    m_service->tokenStatus = QHttpServerResponse::StatusCode(status);
    storeSignIn("old-access", "old-refresh", now + 30, "me@example.org");
    AuthSession session;
    // Both start before either request is answered.
    QCoro::Task<std::optional<QString>> leg = session.validAccessToken();
    QCoro::Task<std::optional<QString>> save = session.validAccessToken();
    const std::optional<QString> first = QCoro::waitFor(std::move(leg));
    const std::optional<QString> second = QCoro::waitFor(std::move(save));

    const std::optional<QString> want = expected.isNull() ? std::nullopt : std::optional<QString>(expected);
    QCOMPARE(first, want);
    QCOMPARE(second, want);
    QCOMPARE(m_service->tokenRequests.size(), 1);
    QCOMPARE(session.isSignedIn(), status == 200);
}

void TestAuthSession::signInIsRememberedAndOwnerOnly()
{
    // No session bus in the tests: the settings file keeps the sign-in.
    QCOMPARE(TokenVault::shared().place(), TokenVault::Place::SettingsFile);
    auto session = std::make_unique<AuthSession>();
    QCOMPARE(session->email(), QString());
    QVERIFY(!session->isSignedIn());
    QSignalSpy changed(session.get(), &AuthSession::emailChanged);

    session->adopt("access-1", "refresh-1", now + 500, QString("me@example.org"));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(session->email(), QString("me@example.org"));
    QVERIFY(session->isSignedIn());
    const QString file = store().fileName();
    QCOMPARE(modeOf(file), 0600);
    // Another part of the program writing its settings keeps the file private.
    store().setValue("languageB", "de");
    QCOMPARE(modeOf(file), 0600);

    // The same e-mail again changes nothing visible.
    session->adopt("access-2", "refresh-2", now + 900, QString("me@example.org"));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(QCoro::waitFor(session->validAccessToken()), QString("access-2"));

    // A later launch finds the sign-in.
    session = std::make_unique<AuthSession>();
    QCOMPARE(session->email(), QString("me@example.org"));
    QCOMPARE(QCoro::waitFor(session->validAccessToken()), QString("access-2"));

    QSignalSpy changedAgain(session.get(), &AuthSession::emailChanged);
    session->adopt("access-3", "refresh-3", now + 900, std::nullopt);
    QCOMPARE(changedAgain.size(), 1);
    QCOMPARE(session->email(), QString());
    QVERIFY(!store().contains("authEmail"));
    QVERIFY(session->isSignedIn());

    session->signOut();
    QVERIFY(!session->isSignedIn());
    const QSettings settings = store();
    for (const char *key : {"authAccessToken", "authRefreshToken", "authExpiresAt", "authEmail"})
        QVERIFY2(!settings.contains(key), key);
    QCOMPARE(settings.value("languageB").toString(), QString("de"));
    QCOMPARE(QCoro::waitFor(session->validAccessToken()), std::nullopt);
    QCOMPARE(m_service->tokenRequests.size(), 0);
}

void TestAuthSession::pageCopyNeverReplacesANewerRenewal_data()
{
    QTest::addColumn<QString>("storedRefresh"); // empty: signed out
    QTest::addColumn<double>("storedExpiry");
    QTest::addColumn<QString>("pageRefresh");
    QTest::addColumn<double>("pageExpiry");
    QTest::addColumn<bool>("adopted");

    QTest::newRow("signed out: the page signs in") << "" << 0.0 << "r1" << now + 3600 << true;
    QTest::newRow("same sign-in") << "r1" << now + 3600 << "r1" << now + 3600 << true;
    QTest::newRow("page signed in anew") << "r1" << now + 100 << "r9" << now + 3600 << true;
    QTest::newRow("page renewed itself") << "r2" << now + 1800 << "r3" << now + 3000 << true;
    QTest::newRow("application renewed since") << "r2" << now + 3600 << "r1" << now + 600 << false;
}

void TestAuthSession::pageCopyNeverReplacesANewerRenewal()
{
    QFETCH(QString, storedRefresh);
    QFETCH(double, storedExpiry);
    QFETCH(QString, pageRefresh);
    QFETCH(double, pageExpiry);
    QFETCH(bool, adopted);
    AuthSession auth;
    if (!storedRefresh.isEmpty())
        auth.adopt("stored-access", storedRefresh, storedExpiry, QStringLiteral("ada@example.org"));
    QCOMPARE(auth.adoptFromPage("page-access", pageRefresh, pageExpiry, QStringLiteral("page@example.org")), adopted);
    const QSettings settings = store();
    QCOMPARE(settings.value("authRefreshToken").toString(), adopted ? pageRefresh : storedRefresh);
    QCOMPARE(auth.email(), adopted ? QStringLiteral("page@example.org") : QStringLiteral("ada@example.org"));
}

QTEST_GUILESS_MAIN(TestAuthSession)
#include "tst_authsession.moc"
