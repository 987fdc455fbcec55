#include "socketprobe.h"
#include "testservice.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;

class TestServerSocket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void badTokensAreClosedWithTheirCode_data();
    void badTokensAreClosedWithTheirCode();
    void secondListenerOfAnAccountIsClosed();
    void otherAccountsListenSideBySide();
    void plainHttpOnTheSocketAddressIsRefused();
    void audioFloodIsClosedAsOverloaded_data();
    void audioFloodIsClosedAsOverloaded();
    void listenersBeyondTheCapAreToldToComeBack();

private:
    std::unique_ptr<TestService> m_server;
};

void TestServerSocket::init()
{
    m_server = std::make_unique<TestService>();
    QVERIFY(m_server->start());
}

void TestServerSocket::badTokensAreClosedWithTheirCode_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<qint64>("laterSeconds");
    QTest::addColumn<int>("closeCode");
    QTest::newRow("unknown") << u"not-a-token"_s << qint64(0) << 4403;
    QTest::newRow("empty") << QString() << qint64(0) << 4403;
    QTest::newRow("refresh token instead") << u"REFRESH"_s << qint64(0) << 4403;
    QTest::newRow("expired") << u"ACCESS"_s << qint64(3600) << 4401;
    QTest::newRow("long expired") << u"ACCESS"_s << qint64(20 * 3600) << 4401;
}

void TestServerSocket::badTokensAreClosedWithTheirCode()
{
    QFETCH(QString, token);
    QFETCH(qint64, laterSeconds);
    QFETCH(int, closeCode);
    const HttpResult signIn = m_server->signIn(u"ada@example.org"_s);
    if (token == u"ACCESS"_s)
        token = signIn.json.value("access_token").toString();
    else if (token == u"REFRESH"_s)
        token = signIn.json.value("refresh_token").toString();
    m_server->advance(laterSeconds);
    SocketProbe probe(m_server->transcribeUrl(token));
    QTRY_VERIFY(probe.disconnected);
    QCOMPARE(probe.closeCode, closeCode);
    QVERIFY(!probe.closeReason.isEmpty());
    QVERIFY(probe.messages.isEmpty());
    QCOMPARE(m_server->service().listeningCount(), 0);
}

void TestServerSocket::secondListenerOfAnAccountIsClosed()
{
    const QString token = m_server->accessTokenFor(u"ada@example.org"_s);
    auto first = std::make_unique<SocketProbe>(m_server->transcribeUrl(token));
    QTRY_VERIFY(first->connected);
    QTRY_COMPARE(m_server->service().listeningCount(), 1);

    // Another sign-in of the same account is still the same account.
    SocketProbe second(m_server->transcribeUrl(m_server->accessTokenFor(u"ada@example.org"_s)));
    QTRY_VERIFY(second.disconnected);
    QCOMPARE(second.closeCode, 4409);
    QVERIFY(!first->disconnected);

    first->socket.close();
    QTRY_COMPARE(m_server->service().listeningCount(), 0);
    SocketProbe third(m_server->transcribeUrl(token));
    QTRY_VERIFY(third.connected);
    QTRY_COMPARE(m_server->service().listeningCount(), 1);
    QVERIFY(!third.disconnected);
}

void TestServerSocket::otherAccountsListenSideBySide()
{
    SocketProbe ada(m_server->transcribeUrl(m_server->accessTokenFor(u"ada@example.org"_s)));
    SocketProbe grace(m_server->transcribeUrl(m_server->accessTokenFor(u"grace@example.org"_s)));
    QTRY_VERIFY(ada.connected && grace.connected);
    QTRY_COMPARE(m_server->service().listeningCount(), 2);
    QVERIFY(!ada.disconnected && !grace.disconnected);
}

void TestServerSocket::plainHttpOnTheSocketAddressIsRefused()
{
    QCOMPARE(m_server->request("GET", u"/ws/transcribe?token=x"_s).status, 426);
    QCOMPARE(m_server->request("GET", u"/no/such/address"_s).status, 404);
}

void TestServerSocket::audioFloodIsClosedAsOverloaded_data()
{
    QTest::addColumn<bool>("finalizeRequests");
    QTest::newRow("audio") << false;
    QTest::newRow("finalize requests") << true;
}

void TestServerSocket::audioFloodIsClosedAsOverloaded()
{
    QFETCH(bool, finalizeRequests);
    SocketProbe flood(m_server->transcribeUrl(m_server->accessTokenFor(u"ada@example.org"_s)));
    QTRY_VERIFY(flood.connected);
    if (finalizeRequests) {
        // Far more than a client ever sends: one per leg.
        for (int i = 0; i < 2000; ++i)
            flood.socket.sendTextMessage(u"{\"type\":\"finalize\"}"_s);
    } else {
        // 60 s of noise at once: twice what the service lets wait for its recogniser.
        QByteArray noise(16000 * 2, Qt::Uninitialized);
        for (qsizetype i = 0; i < noise.size(); ++i)
            noise[i] = char(QRandomGenerator::global()->bounded(256));
        for (int second = 0; second < 60; ++second)
            flood.socket.sendBinaryMessage(noise);
    }
    QTRY_VERIFY_WITH_TIMEOUT(flood.disconnected, 20000);
    QCOMPARE(flood.closeCode, 4013);
    QCOMPARE(flood.closeReason, u"The server is overloaded — try again in a moment."_s);
    QTRY_COMPARE(m_server->service().listeningCount(), 0);
    // "In a moment": a reconnect at once is turned away without loading a recogniser.
    const QString token = m_server->accessTokenFor(u"ada@example.org"_s);
    SocketProbe atOnce(m_server->transcribeUrl(token));
    QTRY_VERIFY(atOnce.disconnected);
    QCOMPARE(atOnce.closeCode, 4013);
    m_server->advance(5);
    SocketProbe later(m_server->transcribeUrl(token));
    QTRY_VERIFY(later.connected);
    QTRY_COMPARE(m_server->service().listeningCount(), 1);
    QVERIFY(!later.disconnected);
}

void TestServerSocket::listenersBeyondTheCapAreToldToComeBack()
{
    TestService small;
    small.options().maxRecognizers = 1;
    QVERIFY(small.start());
    SocketProbe first(small.transcribeUrl(small.accessTokenFor(u"ada@example.org"_s)));
    QTRY_COMPARE(small.service().listeningCount(), 1);
    SocketProbe second(small.transcribeUrl(small.accessTokenFor(u"grace@example.org"_s)));
    QTRY_VERIFY(second.disconnected);
    QCOMPARE(second.closeCode, 4013);
    QCOMPARE(second.closeReason, u"The server is overloaded — try again in a moment."_s);
    QVERIFY(!first.disconnected);
}

QTEST_GUILESS_MAIN(TestServerSocket)
#include "tst_serversocket.moc"
