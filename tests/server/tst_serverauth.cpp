#include "passwordhash.h"
#include "signinthrottle.h"
#include "testservice.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using namespace Qt::StringLiterals;

class TestServerAuth : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void configNamesThisServiceAndItsKey();
    void tokenEndpointWantsTheApiKey_data();
    void tokenEndpointWantsTheApiKey();
    void firstSignInCreatesTheAccount();
    void signInWithAnotherPasswordIsRefused();
    void badGrantRequestsAreRefused_data();
    void badGrantRequestsAreRefused();
    void refreshRotatesTheTokens();
    void rotatedTokenAnswersOnlyWithinTheReuseInterval_data();
    void rotatedTokenAnswersOnlyWithinTheReuseInterval();
    void accessTokenExpiresAfterItsLifetime();
    void refreshTokenExpiresUnused_data();
    void refreshTokenExpiresUnused();
    void signOutEndsTheWholeSignIn_data();
    void signOutEndsTheWholeSignIn();
    void guessingBacksOff();
    void aLockLastsMinutesAndSaysHowLong_data();
    void aLockLastsMinutesAndSaysHowLong();
    void guessesSentAtOnceAreHeldBeforeHashing();
    void throttleKeysOnlyOnTheClientsOwnAddress_data();
    void throttleKeysOnlyOnTheClientsOwnAddress();
    void passwordsAreStoredAsArgon2id();
    void olderHashesAreReplacedAtTheNextSignIn();
    void signInSurvivesARestart();
    void storeHoldsNoPasswordOrToken();

private:
    std::unique_ptr<TestService> m_server;
};

void TestServerAuth::init()
{
    m_server = std::make_unique<TestService>();
    QVERIFY(m_server->start());
}

void TestServerAuth::configNamesThisServiceAndItsKey()
{
    const HttpResult config = m_server->request("GET", u"/api/auth/config"_s);
    QCOMPARE(config.status, 200);
    QCOMPARE(config.json.value("supabaseUrl").toString(), m_server->service().baseUrl());
    const QString key = config.json.value("supabaseAnonKey").toString();
    QVERIFY(!key.isEmpty());
    QCOMPARE(key, m_server->service().publicKey());

    // The key belongs to the data directory, not to one run.
    const QString dir = m_server->dataDir();
    m_server->stop();
    TestService again(dir);
    QVERIFY(again.start());
    QCOMPARE(again.request("GET", u"/api/auth/config"_s).json.value("supabaseAnonKey").toString(), key);
}

void TestServerAuth::tokenEndpointWantsTheApiKey_data()
{
    QTest::addColumn<QByteArray>("apiKey");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << QByteArray() << u"No API key found in request"_s;
    QTest::newRow("wrong") << QByteArray("zarno-local-guess") << u"Invalid API key"_s;
}

void TestServerAuth::tokenEndpointWantsTheApiKey()
{
    QFETCH(QByteArray, apiKey);
    QFETCH(QString, message);
    const QString refreshToken = m_server->signIn(u"ada@example.org"_s).json.value("refresh_token").toString();
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!apiKey.isEmpty())
        headers.append({"apikey", apiKey});
    const HttpResult result = m_server->request("POST", u"/auth/v1/token?grant_type=refresh_token"_s,
                                                R"({"refresh_token":")" + refreshToken.toUtf8() + R"("})", headers);
    QCOMPARE(result.status, 401);
    QCOMPARE(result.json.value("message").toString(), message);
    // The refused request did not use up the token.
    QCOMPARE(m_server->refresh(refreshToken).status, 200);
}

void TestServerAuth::firstSignInCreatesTheAccount()
{
    const HttpResult first = m_server->signIn(u"  Ada@Example.org "_s);
    QCOMPARE(first.status, 200);
    QCOMPARE(first.json.value("token_type").toString(), u"bearer"_s);
    QCOMPARE(first.json.value("expires_in").toInteger(), 3600);
    QCOMPARE(first.json.value("expires_at").toInteger(), m_server->nowSeconds() + 3600);
    QCOMPARE(first.json.value("user").toObject().value("email").toString(), u"ada@example.org"_s);
    QVERIFY(!first.json.value("access_token").toString().isEmpty());
    QVERIFY(!first.json.value("refresh_token").toString().isEmpty());

    const HttpResult second = m_server->signIn(u"ada@example.org"_s);
    QCOMPARE(second.status, 200);
    QCOMPARE(second.json.value("user").toObject().value("id"), first.json.value("user").toObject().value("id"));
    QVERIFY(second.json.value("access_token") != first.json.value("access_token"));
    QVERIFY(second.json.value("refresh_token") != first.json.value("refresh_token"));

    const HttpResult other = m_server->signIn(u"grace@example.org"_s);
    QVERIFY(other.json.value("user").toObject().value("id") != first.json.value("user").toObject().value("id"));
}

void TestServerAuth::signInWithAnotherPasswordIsRefused()
{
    QCOMPARE(m_server->signIn(u"ada@example.org"_s, u"first password"_s).status, 200);
    const HttpResult wrong = m_server->signIn(u"ada@example.org"_s, u"second password"_s);
    QCOMPARE(wrong.status, 400);
    QCOMPARE(wrong.json.value("error").toString(), u"invalid_grant"_s);
    QVERIFY(!wrong.json.contains("access_token"));
    QCOMPARE(m_server->signIn(u"ADA@example.org"_s, u"first password"_s).status, 200);
}

void TestServerAuth::badGrantRequestsAreRefused_data()
{
    QTest::addColumn<QString>("grantType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown refresh token") << u"refresh_token"_s << QByteArray(R"({"refresh_token":"never-issued"})") << u"invalid_grant"_s;
    QTest::newRow("empty refresh token") << u"refresh_token"_s << QByteArray(R"({"refresh_token":""})") << u"invalid_grant"_s;
    QTest::newRow("refresh token as number") << u"refresh_token"_s << QByteArray(R"({"refresh_token":12})") << u"invalid_request"_s;
    QTest::newRow("no body") << u"refresh_token"_s << QByteArray() << u"invalid_request"_s;
    QTest::newRow("not json") << u"refresh_token"_s << QByteArray("refresh_token=abc") << u"invalid_request"_s;
    QTest::newRow("address without @") << u"password"_s << QByteArray(R"({"email":"ada","password":"secret1"})") << u"validation_failed"_s;
    QTest::newRow("address with two @") << u"password"_s << QByteArray(R"({"email":"a@b@c","password":"secret1"})") << u"validation_failed"_s;
    QTest::newRow("short password") << u"password"_s << QByteArray(R"({"email":"ada@example.org","password":"12345"})") << u"weak_password"_s;
    QTest::newRow("no password") << u"password"_s << QByteArray(R"({"email":"ada@example.org"})") << u"invalid_request"_s;
    QTest::newRow("unknown grant") << u"client_credentials"_s << QByteArray("{}") << u"unsupported_grant_type"_s;
}

void TestServerAuth::badGrantRequestsAreRefused()
{
    QFETCH(QString, grantType);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    const HttpResult result = m_server->request("POST", u"/auth/v1/token?grant_type="_s + grantType, body,
                                                {{"apikey", m_server->service().publicKey().toUtf8()}});
    QCOMPARE(result.status, 400);
    QCOMPARE(result.json.value("error").toString(), error);
    QVERIFY(!result.json.value("error_description").toString().isEmpty());
}

void TestServerAuth::refreshRotatesTheTokens()
{
    const HttpResult signIn = m_server->signIn(u"ada@example.org"_s);
    m_server->advance(600);
    const HttpResult renewed = m_server->refresh(signIn.json.value("refresh_token").toString());
    QCOMPARE(renewed.status, 200);
    QCOMPARE(renewed.json.value("expires_at").toInteger(), m_server->nowSeconds() + 3600);
    QCOMPARE(renewed.json.value("user").toObject().value("email").toString(), u"ada@example.org"_s);
    const QString access = renewed.json.value("access_token").toString();
    const QString refresh = renewed.json.value("refresh_token").toString();
    QVERIFY(access != signIn.json.value("access_token").toString());
    QVERIFY(refresh != signIn.json.value("refresh_token").toString());
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, access).status, 200);
    // The new refresh token rotates in turn.
    const HttpResult again = m_server->refresh(refresh);
    QCOMPARE(again.status, 200);
    QVERIFY(again.json.value("refresh_token").toString() != refresh);
}

// The service runs with its shipped reuse interval (10 s) here.
void TestServerAuth::rotatedTokenAnswersOnlyWithinTheReuseInterval_data()
{
    QTest::addColumn<qint64>("laterSeconds");
    QTest::addColumn<int>("status");
    QTest::newRow("at once") << qint64(0) << 200;
    QTest::newRow("at the end of the interval") << qint64(10) << 200;
    QTest::newRow("after the interval") << qint64(11) << 400;
    QTest::newRow("much later") << qint64(86400) << 400;
}

void TestServerAuth::rotatedTokenAnswersOnlyWithinTheReuseInterval()
{
    QFETCH(qint64, laterSeconds);
    QFETCH(int, status);
    const QString original = m_server->signIn(u"ada@example.org"_s).json.value("refresh_token").toString();
    const QString otherSignIn = m_server->signIn(u"ada@example.org"_s).json.value("refresh_token").toString();
    const HttpResult rotated = m_server->refresh(original);
    const QString active = rotated.json.value("refresh_token").toString();
    const QString activeAccess = rotated.json.value("access_token").toString();
    m_server->advance(laterSeconds);
    const HttpResult reuse = m_server->refresh(original);
    QCOMPARE(reuse.status, status);
    if (status == 200) {
        // A client that lost the first answer gets the active token, not a new branch.
        QCOMPARE(reuse.json.value("refresh_token").toString(), active);
        QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, reuse.json.value("access_token").toString()).status, 200);
        // The active token itself keeps working.
        QCOMPARE(m_server->refresh(active).status, 200);
    } else {
        QCOMPARE(reuse.json, (QJsonObject{{"error", "invalid_grant"}, {"error_description", "Invalid Refresh Token: Already Used"}}));
        // A copy of a spent token is about: the whole sign-in ends, newest token included.
        QCOMPARE(m_server->refresh(active).status, 400);
        QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, activeAccess).status, 401);
        // Another sign-in of the same account is a family of its own.
        QCOMPARE(m_server->refresh(otherSignIn).status, 200);
    }
}

void TestServerAuth::accessTokenExpiresAfterItsLifetime()
{
    const QString access = m_server->accessTokenFor(u"ada@example.org"_s);
    m_server->advance(3599);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, access).status, 200);
    m_server->advance(1);
    const HttpResult expired = m_server->withBearer("GET", u"/api/sessions"_s, access);
    QCOMPARE(expired.status, 401);
}

void TestServerAuth::refreshTokenExpiresUnused_data()
{
    QTest::addColumn<qint64>("unusedSeconds");
    QTest::addColumn<int>("status");
    QTest::newRow("29 days") << qint64(29 * 86400) << 200;
    QTest::newRow("30 days") << qint64(30 * 86400) << 200;
    QTest::newRow("30 days and a second") << qint64(30 * 86400 + 1) << 400;
    QTest::newRow("a year") << qint64(365 * 86400) << 400;
}

void TestServerAuth::refreshTokenExpiresUnused()
{
    QFETCH(qint64, unusedSeconds);
    QFETCH(int, status);
    const QString first = m_server->signIn(u"ada@example.org"_s).json.value("refresh_token").toString();
    // Each rotation starts the clock again.
    m_server->advance(20 * 86400);
    const QString second = m_server->refresh(first).json.value("refresh_token").toString();
    QVERIFY(!second.isEmpty());
    m_server->advance(unusedSeconds);
    const HttpResult renewed = m_server->refresh(second);
    QCOMPARE(renewed.status, status);
    if (status != 200)
        QCOMPARE(renewed.json.value("error").toString(), u"invalid_grant"_s);
}

void TestServerAuth::signOutEndsTheWholeSignIn_data()
{
    QTest::addColumn<QByteArray>("apiKey"); // KEY: the service's own
    QTest::addColumn<QString>("token");     // ACCESS: the signed-in one
    QTest::addColumn<qint64>("laterSeconds");
    QTest::addColumn<int>("status");
    QTest::newRow("signed in") << QByteArray("KEY") << u"ACCESS"_s << qint64(0) << 204;
    QTest::newRow("access token already expired") << QByteArray("KEY") << u"ACCESS"_s << qint64(7200) << 204;
    QTest::newRow("unknown token") << QByteArray("KEY") << u"not-a-token"_s << qint64(0) << 401;
    QTest::newRow("no token") << QByteArray("KEY") << QString() << qint64(0) << 401;
    QTest::newRow("no api key") << QByteArray() << u"ACCESS"_s << qint64(0) << 401;
}

void TestServerAuth::signOutEndsTheWholeSignIn()
{
    QFETCH(QByteArray, apiKey);
    QFETCH(QString, token);
    QFETCH(qint64, laterSeconds);
    QFETCH(int, status);
    const HttpResult signIn = m_server->signIn(u"ada@example.org"_s);
    // The sign-in has rotated once: the family, not one token, is what ends.
    const HttpResult rotated = m_server->refresh(signIn.json.value("refresh_token").toString());
    const HttpResult otherDevice = m_server->signIn(u"ada@example.org"_s);
    if (token == u"ACCESS"_s)
        token = rotated.json.value("access_token").toString();
    if (apiKey == "KEY")
        apiKey = m_server->service().publicKey().toUtf8();
    m_server->advance(laterSeconds);
    QList<QPair<QByteArray, QByteArray>> headers{{"Authorization", "Bearer " + token.toUtf8()}};
    if (!apiKey.isEmpty())
        headers.append({"apikey", apiKey});
    QCOMPARE(m_server->request("POST", u"/auth/v1/logout"_s, {}, headers).status, status);

    const bool ended = status == 204;
    QCOMPARE(m_server->refresh(rotated.json.value("refresh_token").toString()).status, ended ? 400 : 200);
    if (laterSeconds == 0) {
        QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, rotated.json.value("access_token").toString()).status,
                 ended ? 401 : 200);
    }
    // The account's other sign-ins go on.
    QCOMPARE(m_server->refresh(otherDevice.json.value("refresh_token").toString()).status, 200);
}

void TestServerAuth::guessingBacksOff()
{
    const QString target = u"ada@example.org"_s;
    constexpr int freeFailures = 5;
    for (int i = 0; i < freeFailures; ++i)
        QCOMPARE(m_server->signIn(target, u"right password"_s).status, 200);
    for (int i = 0; i < freeFailures; ++i)
        QCOMPARE(m_server->signIn(target, u"a guess"_s).status, 400);

    // Locked: even the right password waits, and the wait doubles with each failure after it.
    HttpResult locked = m_server->signIn(target, u"right password"_s);
    QCOMPARE(locked.status, 429);
    QCOMPARE(locked.json.value("error").toString(), u"over_request_rate_limit"_s);
    QCOMPARE(m_server->request("POST", u"/auth/v1/token?grant_type=password"_s,
                               R"({"email":"x@example.org","password":"whatever"})",
                               {{"apikey", m_server->service().publicKey().toUtf8()}}).status,
             200);
    qint64 wait = 1;
    for (int round = 0; round < 3; ++round) {
        const HttpResult refused = m_server->signIn(target, u"a guess"_s);
        QCOMPARE(refused.status, 429);
        m_server->advance(wait);
        QCOMPARE(m_server->signIn(target, u"a guess"_s).status, 400);
        wait *= 2;
    }
    HttpResult last = m_server->signIn(target, u"right password"_s);
    QCOMPARE(last.status, 429);
    m_server->advance(wait);
    // A success clears the backoff.
    QCOMPARE(m_server->signIn(target, u"right password"_s).status, 200);
    QCOMPARE(m_server->signIn(target, u"a guess"_s).status, 400);
    QCOMPARE(m_server->signIn(target, u"right password"_s).status, 200);
}

void TestServerAuth::aLockLastsMinutesAndSaysHowLong_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("lockSeconds");
    QTest::newRow("within the allowance") << 4 << 0;
    QTest::newRow("the allowance") << 5 << 1;
    QTest::newRow("two past it") << 7 << 4;
    QTest::newRow("long past it: two minutes at most") << 14 << 120;
}

void TestServerAuth::aLockLastsMinutesAndSaysHowLong()
{
    QFETCH(int, failures);
    QFETCH(int, lockSeconds);
    const QString owner = u"ada@example.org"_s;
    QCOMPARE(m_server->signIn(owner, u"right password"_s).status, 200);
    for (int i = 0; i < failures; ++i) {
        HttpResult guess = m_server->signIn(owner, u"a guess"_s);
        if (guess.status == 429) {
            m_server->advance(guess.retryAfter.toLongLong());
            guess = m_server->signIn(owner, u"a guess"_s);
        }
        QCOMPARE(guess.status, 400);
    }
    const HttpResult locked = m_server->signIn(owner, u"right password"_s);
    if (lockSeconds == 0) {
        QCOMPARE(locked.status, 200);
        return;
    }
    QCOMPARE(locked.status, 429);
    QCOMPARE(locked.retryAfter.toInt(), lockSeconds);
    QCOMPARE(locked.json.value("error_description").toString(), u"Too many sign-in attempts. Try again in %1 s."_s.arg(lockSeconds));
    // Another account of the same address signs in meanwhile.
    QCOMPARE(m_server->signIn(u"grace@example.org"_s, u"her password"_s).status, 200);
    // The wait said is the wait there is.
    m_server->advance(lockSeconds - 1);
    const HttpResult almost = m_server->signIn(owner, u"right password"_s);
    QCOMPARE(almost.status, 429);
    QCOMPARE(almost.retryAfter, QByteArray("1"));
    m_server->advance(1);
    QCOMPARE(m_server->signIn(owner, u"right password"_s).status, 200);
}

void TestServerAuth::guessesSentAtOnceAreHeldBeforeHashing()
{
    const QString owner = u"ada@example.org"_s;
    QCOMPARE(m_server->signIn(owner, u"right password"_s).status, 200);
    constexpr int guesses = 50;
    constexpr int other = guesses / 2;
    QList<QByteArray> requests;
    for (int i = 0; i < guesses; ++i)
        requests.append(m_server->passwordRequest(owner, u"guess %1"_s.arg(i)));
    requests.insert(other, m_server->passwordRequest(u"grace@example.org"_s, u"her password"_s));

    const QList<RawReply> replies = m_server->sendTogether(requests);
    int checked = 0;
    for (qsizetype i = 0; i < replies.size(); ++i) {
        if (i == other) {
            QCOMPARE(replies.at(i).status(), 200);
            continue;
        }
        if (replies.at(i).status() == 400) {
            ++checked;
            continue;
        }
        QCOMPARE(replies.at(i).status(), 429);
        QVERIFY(replies.at(i).headerValue("Retry-After").toInt() >= 1);
    }
    // Only the allowance reached a hash; every guess past it was refused at once.
    QVERIFY2(checked >= 1 && checked <= 5, qPrintable(QString::number(checked)));
    QCOMPARE(m_server->signIn(u"grace@example.org"_s, u"her password"_s).status, 200);

    HttpResult back = m_server->signIn(owner, u"right password"_s);
    if (back.status == 429) {
        m_server->advance(back.retryAfter.toLongLong());
        back = m_server->signIn(owner, u"right password"_s);
    }
    QCOMPARE(back.status, 200);
}

void TestServerAuth::throttleKeysOnlyOnTheClientsOwnAddress_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("forwarded");
    QTest::addColumn<QString>("key");
    QTest::newRow("loopback") << u"127.0.0.1"_s << false << u"ada@example.org"_s;
    QTest::newRow("other loopback") << u"127.0.0.2"_s << false << u"ada@example.org"_s;
    QTest::newRow("loopback v6") << u"::1"_s << false << u"ada@example.org"_s;
    QTest::newRow("loopback mapped") << u"::ffff:127.0.0.1"_s << false << u"ada@example.org"_s;
    QTest::newRow("own address") << u"203.0.113.5"_s << false << u"ada@example.org 203.0.113.5"_s;
    QTest::newRow("own address mapped") << u"::ffff:203.0.113.5"_s << false << u"ada@example.org 203.0.113.5"_s;
    QTest::newRow("own v6 address") << u"2001:db8::5"_s << false << u"ada@example.org 2001:db8::5"_s;
    QTest::newRow("a proxy's address") << u"203.0.113.5"_s << true << u"ada@example.org"_s;
}

void TestServerAuth::throttleKeysOnlyOnTheClientsOwnAddress()
{
    QFETCH(QString, peer);
    QFETCH(bool, forwarded);
    QFETCH(QString, key);
    QCOMPARE(SignInThrottle::keyFor(u"ada@example.org"_s, QHostAddress(peer), forwarded), key);
}

void TestServerAuth::passwordsAreStoredAsArgon2id()
{
    QCOMPARE(m_server->signIn(u"ada@example.org"_s, u"my secret words"_s).status, 200);
    const QString dir = m_server->dataDir();
    m_server->stop();
    QSqlDatabase db = TestService::openStoreDatabase(dir, u"inspect"_s);
    QVERIFY(db.isOpen());
    {
        QSqlQuery query(u"SELECT hash, iterations FROM accounts"_s, db);
        QVERIFY(query.next());
        QVERIFY(query.value(0).toByteArray().startsWith("$argon2id$"));
        QCOMPARE(query.value(1).toInt(), 0);
    }
    db.close();
    db = {};
    QSqlDatabase::removeDatabase(u"inspect"_s);
}

void TestServerAuth::olderHashesAreReplacedAtTheNextSignIn()
{
    // An account as an earlier version stored it: PBKDF2-SHA256 with its own rounds.
    QCOMPARE(m_server->signIn(u"ada@example.org"_s, u"placeholder"_s).status, 200);
    const QString dir = m_server->dataDir();
    m_server->stop();
    const auto readHash = [&] {
        QSqlDatabase db = TestService::openStoreDatabase(dir, u"inspect"_s);
        QByteArray hash;
        if (db.isOpen()) {
            QSqlQuery query(u"SELECT hash FROM accounts"_s, db);
            if (query.next())
                hash = query.value(0).toByteArray();
        }
        db.close();
        db = {};
        QSqlDatabase::removeDatabase(u"inspect"_s);
        return hash;
    };
    {
        QSqlDatabase db = TestService::openStoreDatabase(dir, u"legacy"_s);
        QVERIFY(db.isOpen());
        QSqlQuery update(db);
        update.prepare(u"UPDATE accounts SET salt = ?, hash = ?, iterations = ?"_s);
        update.addBindValue(QByteArray("0123456789abcdef"));
        update.addBindValue(PasswordHash::pbkdf2(u"old password"_s, "0123456789abcdef", 1000));
        update.addBindValue(1000);
        QVERIFY(update.exec());
        db.close();
    }
    QSqlDatabase::removeDatabase(u"legacy"_s);
    const QByteArray legacy = readHash();

    TestService again(dir);
    QVERIFY(again.start());
    // A wrong password leaves the old record as it is.
    QCOMPARE(again.signIn(u"ada@example.org"_s, u"not the password"_s).status, 400);
    again.stop();
    QCOMPARE(readHash(), legacy);

    TestService third(dir);
    QVERIFY(third.start());
    QCOMPARE(third.signIn(u"ada@example.org"_s, u"old password"_s).status, 200);
    third.stop();
    QVERIFY(readHash().startsWith("$argon2id$"));

    TestService fourth(dir);
    QVERIFY(fourth.start());
    QCOMPARE(fourth.signIn(u"ada@example.org"_s, u"old password"_s).status, 200);
    QCOMPARE(fourth.signIn(u"ada@example.org"_s, u"not the password"_s).status, 400);
}

void TestServerAuth::signInSurvivesARestart()
{
    const HttpResult signIn = m_server->signIn(u"ada@example.org"_s, u"first password"_s);
    const QString dir = m_server->dataDir();
    m_server->stop();
    TestService again(dir);
    QVERIFY(again.start());
    QCOMPARE(again.withBearer("GET", u"/api/sessions"_s, signIn.json.value("access_token").toString()).status, 200);
    QCOMPARE(again.refresh(signIn.json.value("refresh_token").toString()).status, 200);
    QCOMPARE(again.signIn(u"ada@example.org"_s, u"other password"_s).status, 400);
}

void TestServerAuth::storeHoldsNoPasswordOrToken()
{
    const HttpResult signIn = m_server->signIn(u"ada@example.org"_s, u"my very secret words"_s);
    const HttpResult renewed = m_server->refresh(signIn.json.value("refresh_token").toString());
    const QString dir = m_server->dataDir();
    m_server->stop();
    QByteArray stored;
    for (const QFileInfo &file : QDir(dir).entryInfoList(QDir::Files)) {
        QFile f(file.filePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        stored += f.readAll();
        QCOMPARE(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
    }
    if (TestService::onPostgres()) {
        // Every row of every table, as text.
        QSqlDatabase db = TestService::openStoreDatabase(dir, u"dump"_s);
        QSqlQuery tables(u"SELECT tablename FROM pg_tables WHERE schemaname = 'public'"_s, db);
        while (tables.next()) {
            QSqlQuery rows(u"SELECT t::text FROM %1 t"_s.arg(tables.value(0).toString()), db);
            while (rows.next())
                stored += rows.value(0).toString().toUtf8();
        }
        db.close();
        db = {};
        QSqlDatabase::removeDatabase(u"dump"_s);
    }
    QVERIFY(stored.contains("ada@example.org"));
    QVERIFY(!stored.contains("my very secret words"));
    for (const QJsonObject &grant : {signIn.json, renewed.json}) {
        QVERIFY(!stored.contains(grant.value("access_token").toString().toUtf8()));
        QVERIFY(!stored.contains(grant.value("refresh_token").toString().toUtf8()));
    }
}

QTEST_GUILESS_MAIN(TestServerAuth)
#include "tst_serverauth.moc"
