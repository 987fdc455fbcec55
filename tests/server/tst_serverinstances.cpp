#include "localzarnoserver.h"
#include "notesfixture.h"
#include "socketprobe.h"
#include "testservice.h"

#include <QSqlQuery>
#include <QTest>

using namespace Qt::StringLiterals;

// Two instances, A and B, on one store: what a user does through one, the
// other knows.
class TestServerInstances : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void signInOnOneIsHonouredByTheOther();
    void refreshOnOneAndReuseOnTheOther_data();
    void refreshOnOneAndReuseOnTheOther();
    void guessesOnBothCountTogether();
    void oneLiveConnectionPerAccountOnEither();
    void aKilledInstanceFreesItsAccount();
    void aDroppedClaimKeepsTheLiveConnectionAndIsMadeAgain();

private:
    // The live claims of SQLite are one instance's memory: one file, one instance.
    [[nodiscard]] static bool claimsAreShared() { return TestService::onPostgres(); }

    // Both clocks move together.
    void advance(qint64 seconds)
    {
        m_a->advance(seconds);
        m_b->advance(seconds);
    }

    std::unique_ptr<TestService> m_a;
    std::unique_ptr<TestService> m_b;
};

namespace {

// How the service answers a transcription connection: the close code of a
// refusal, or 0 once it listens, with `listening` connections in all.
int answerTo(SocketProbe &probe, TestService &service, int listening)
{
    QDeadlineTimer deadline(20000);
    while (!probe.disconnected && service.service().listeningCount() < listening && !deadline.hasExpired())
        QTest::qWait(10);
    return probe.disconnected ? probe.closeCode : 0;
}

QUrl transcribeUrl(const LocalZarnoServer &server)
{
    QUrl url(server.baseURL());
    url.setScheme(u"ws"_s);
    url.setPath(u"/ws/transcribe"_s);
    url.setQuery(u"a=any&b=en&token="_s + QString::fromLatin1(QUrl::toPercentEncoding(server.accessToken())));
    return url;
}

} // namespace

void TestServerInstances::init()
{
    // On one data folder: the same SQLite file, or the same PostgreSQL database.
    m_a = std::make_unique<TestService>();
    m_b = std::make_unique<TestService>(m_a->dataDir());
    QVERIFY(m_a->start());
    QVERIFY(m_b->start());
}

void TestServerInstances::cleanup()
{
    m_b.reset();
    m_a.reset();
}

void TestServerInstances::signInOnOneIsHonouredByTheOther()
{
    const HttpResult signIn = m_a->signIn(u"ada@example.org"_s);
    const QString access = signIn.json.value("access_token").toString();
    QCOMPARE(m_b->withBearer("GET", u"/api/sessions"_s, access).status, 200);
    // The key that clients send is one for all instances.
    QCOMPARE(m_b->service().publicKey(), m_a->service().publicKey());

    const QString id = m_a->withBearer("POST", u"/api/sessions"_s, access, compact(notes(1'700'000'000'000)))
                           .json.value("session").toObject().value("id").toString();
    QVERIFY(!id.isEmpty());
    const QJsonArray listed = m_b->withBearer("GET", u"/api/sessions"_s, access).json.value("sessions").toArray();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.at(0).toObject().value("id").toString(), id);

    // Signing out on B ends the sign-in made on A.
    QCOMPARE(m_b->request("POST", u"/auth/v1/logout"_s, {},
                          {{"Authorization", "Bearer " + access.toUtf8()}, {"apikey", m_b->service().publicKey().toUtf8()}})
                 .status,
             204);
    QCOMPARE(m_a->withBearer("GET", u"/api/sessions"_s, access).status, 401);
    QCOMPARE(m_a->refresh(signIn.json.value("refresh_token").toString()).status, 400);
}

void TestServerInstances::refreshOnOneAndReuseOnTheOther_data()
{
    QTest::addColumn<qint64>("laterSeconds");
    QTest::addColumn<int>("status");
    QTest::newRow("a lost answer, sent again at once") << qint64(0) << 200;
    QTest::newRow("at the end of the reuse interval") << qint64(10) << 200;
    QTest::newRow("a copy, after the interval") << qint64(11) << 400;
}

void TestServerInstances::refreshOnOneAndReuseOnTheOther()
{
    QFETCH(qint64, laterSeconds);
    QFETCH(int, status);
    const QString original = m_a->signIn(u"ada@example.org"_s).json.value("refresh_token").toString();
    const HttpResult rotated = m_b->refresh(original);
    QCOMPARE(rotated.status, 200);
    const QString active = rotated.json.value("refresh_token").toString();
    advance(laterSeconds);
    const HttpResult reuse = m_a->refresh(original);
    QCOMPARE(reuse.status, status);
    if (status == 200) {
        QCOMPARE(reuse.json.value("refresh_token").toString(), active);
        QCOMPARE(m_b->refresh(active).status, 200);
    } else {
        QCOMPARE(reuse.json.value("error_description").toString(), u"Invalid Refresh Token: Already Used"_s);
        // The whole sign-in ended, on both.
        QCOMPARE(m_b->refresh(active).status, 400);
        QCOMPARE(m_a->withBearer("GET", u"/api/sessions"_s, rotated.json.value("access_token").toString()).status, 401);
    }
}

void TestServerInstances::guessesOnBothCountTogether()
{
    const QString owner = u"ada@example.org"_s;
    QCOMPARE(m_a->signIn(owner, u"right password"_s).status, 200);
    // Five failures between them lock the account on both for a second.
    for (int i = 0; i < 5; ++i)
        QCOMPARE((i % 2 ? m_a : m_b)->signIn(owner, u"a guess"_s).status, 400);
    for (TestService *instance : {m_a.get(), m_b.get()}) {
        const HttpResult locked = instance->signIn(owner, u"right password"_s);
        QCOMPARE(locked.status, 429);
        QCOMPARE(locked.retryAfter, QByteArray("1"));
    }
    advance(1);
    // The next failure, on either, doubles the lock on both.
    QCOMPARE(m_a->signIn(owner, u"a guess"_s).status, 400);
    QCOMPARE(m_b->signIn(owner, u"right password"_s).retryAfter, QByteArray("2"));
    advance(2);
    // A success on one clears the count on both.
    QCOMPARE(m_b->signIn(owner, u"right password"_s).status, 200);
    for (int i = 0; i < 4; ++i)
        QCOMPARE((i % 2 ? m_b : m_a)->signIn(owner, u"a guess"_s).status, 400);
    QCOMPARE(m_a->signIn(owner, u"right password"_s).status, 200);
}

void TestServerInstances::oneLiveConnectionPerAccountOnEither()
{
    if (!claimsAreShared())
        QSKIP("One SQLite file serves one instance: its live claims stay in that instance's memory.");
    SocketProbe onA(m_a->transcribeUrl(m_a->accessTokenFor(u"ada@example.org"_s)));
    QCOMPARE(answerTo(onA, *m_a, 1), 0);
    SocketProbe onB(m_b->transcribeUrl(m_b->accessTokenFor(u"ada@example.org"_s)));
    QCOMPARE(answerTo(onB, *m_b, 1), 4409);
    QCOMPARE(onB.closeReason, u"Another session of this account is already listening."_s);
    // Another account listens on B meanwhile, and A's goes on.
    SocketProbe grace(m_b->transcribeUrl(m_b->accessTokenFor(u"grace@example.org"_s)));
    QCOMPARE(answerTo(grace, *m_b, 1), 0);
    QVERIFY(!onA.disconnected);

    onA.socket.close();
    QTRY_COMPARE(m_a->service().listeningCount(), 0);
    SocketProbe again(m_b->transcribeUrl(m_b->accessTokenFor(u"ada@example.org"_s)));
    QCOMPARE(answerTo(again, *m_b, 2), 0);
}

void TestServerInstances::aKilledInstanceFreesItsAccount()
{
    if (!claimsAreShared())
        QSKIP("One SQLite file serves one instance: its live claims stay in that instance's memory.");
    LocalZarnoServer holder(QStringLiteral(ZARNO_SERVER_BINARY), {u"--database"_s, m_a->options().database});
    QVERIFY(holder.start());
    SocketProbe held(transcribeUrl(holder));
    QTRY_VERIFY(held.connected);
    const QString token = m_b->grant(u"password"_s, {{"email", "ada@example.org"}, {"password", "a local password"}})
                              .json.value("access_token").toString();
    SocketProbe refused(m_b->transcribeUrl(token));
    QCOMPARE(answerTo(refused, *m_b, 1), 4409);
    QVERIFY(!held.disconnected);

    holder.killNow();
    QTRY_VERIFY(held.disconnected);
    // The database ends the dead instance's session, and its lock with it, within 20 s.
    QDeadlineTimer deadline(20000);
    int code = 4409;
    while (code == 4409 && !deadline.hasExpired()) {
        SocketProbe attempt(m_b->transcribeUrl(token));
        code = answerTo(attempt, *m_b, 1);
    }
    QCOMPARE(code, 0);
    QCOMPARE(m_b->service().listeningCount(), 1);
}

void TestServerInstances::aDroppedClaimKeepsTheLiveConnectionAndIsMadeAgain()
{
    if (!claimsAreShared())
        QSKIP("One SQLite file serves one instance: its live claims stay in that instance's memory.");
    SocketProbe ada(m_a->transcribeUrl(m_a->accessTokenFor(u"ada@example.org"_s)));
    QCOMPARE(answerTo(ada, *m_a, 1), 0);
    {
        // The database ends the session that holds the claims, as a restart or a lost link would.
        QSqlDatabase db = TestService::openStoreDatabase(m_a->dataDir(), u"admin"_s);
        QSqlQuery ended(u"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                        " WHERE application_name = 'zarno-server-claims'"_s, db);
        QVERIFY(ended.next());
        QCOMPARE(ended.value(0).toInt(), 1);
        db.close();
    }
    QSqlDatabase::removeDatabase(u"admin"_s);
    // The next claim on A finds the connection gone, opens it again and claims Ada's again.
    SocketProbe grace(m_a->transcribeUrl(m_a->accessTokenFor(u"grace@example.org"_s)));
    QCOMPARE(answerTo(grace, *m_a, 2), 0);
    SocketProbe second(m_b->transcribeUrl(m_b->accessTokenFor(u"ada@example.org"_s)));
    QCOMPARE(answerTo(second, *m_b, 1), 4409);
    QVERIFY(!ada.disconnected);
}

QTEST_GUILESS_MAIN(TestServerInstances)
#include "tst_serverinstances.moc"
