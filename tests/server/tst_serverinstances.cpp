#include "notesfixture.h"
#include "socketprobe.h"
#include "testservice.h"

#include <QTest>

using namespace Qt::StringLiterals;

// Two instances, A and B, on one store: what a user does through one, the
// other knows.
class TestServerInstances : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase_data();
    void init();
    void cleanup();
    void signInOnOneIsHonouredByTheOther();
    void refreshOnOneAndReuseOnTheOther_data();
    void refreshOnOneAndReuseOnTheOther();
    void guessesOnBothCountTogether();

private:
    // Both clocks move together.
    void advance(qint64 seconds)
    {
        m_a->advance(seconds);
        m_b->advance(seconds);
    }

    std::unique_ptr<TestService> m_a;
    std::unique_ptr<TestService> m_b;
};

void TestServerInstances::initTestCase_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("one SQLite file") << u"sqlite"_s;
}

void TestServerInstances::init()
{
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

QTEST_GUILESS_MAIN(TestServerInstances)
#include "tst_serverinstances.moc"
