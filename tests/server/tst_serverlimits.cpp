#include "testservice.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// Sends the request and reads until a whole answer is in, or until the
// service closes the connection when `untilClosed`.
// The service runs on this thread: waits keep its event loop turning.
RawReply exchange(quint16 port, const QByteArray &request, bool untilClosed = false, int waitMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    RawReply reply;
    QDeadlineTimer deadline(waitMs);
    while (socket.state() != QAbstractSocket::ConnectedState && !deadline.hasExpired())
        QTest::qWait(5);
    socket.write(request);
    while (!deadline.hasExpired()) {
        QTest::qWait(5);
        reply.bytes += socket.readAll();
        if (socket.state() != QAbstractSocket::ConnectedState) {
            reply.closed = true;
            break;
        }
        if (reply.isWhole() && !untilClosed)
            break;
    }
    reply.bytes += socket.readAll();
    return reply;
}

QByteArray get(const QByteArray &path, const QByteArray &host)
{
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

// The service's log lines while a test runs.
QStringList capturedLog;
void captureLog(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (QByteArrayView(context.category).startsWith("zarno.server"))
        capturedLog.append(message);
}

} // namespace

class TestServerLimits : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void oversizedOrUnframedRequestsAreRefusedBeforeTheBody_data();
    void oversizedOrUnframedRequestsAreRefusedBeforeTheBody();
    void requestsMustNameThisService_data();
    void requestsMustNameThisService();
    void silentConnectionsAreClosed_data();
    void silentConnectionsAreClosed();
    void newcomerIsServedWhenTheConnectionCapIsFull();
    void idleConnectionsBeyondTheDescriptorLimit();
    void loggedPathsAreEscapedAndCut_data();
    void loggedPathsAreEscapedAndCut();
    void dataDirectoryModes_data();
    void dataDirectoryModes();

private:
    quint16 port() { return m_server->service().port(); }
    QByteArray host() { return "127.0.0.1:" + QByteArray::number(port()); }

    std::unique_ptr<TestService> m_server;
};

void TestServerLimits::init()
{
    capturedLog.clear();
    m_server = std::make_unique<TestService>();
}

void TestServerLimits::cleanup()
{
    qInstallMessageHandler(nullptr);
    m_server.reset();
}

void TestServerLimits::oversizedOrUnframedRequestsAreRefusedBeforeTheBody_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("status");
    const qint64 cap = RequestLimits().maxBodyBytes;
    QTest::newRow("400 MB of notes") << QByteArray("POST /api/sessions HTTP/1.1\r\nContent-Length: 400000000\r\n") << 413;
    QTest::newRow("one byte over the cap")
        << "POST /auth/v1/token?grant_type=password HTTP/1.1\r\nContent-Length: " + QByteArray::number(cap + 1) + "\r\n" << 413;
    QTest::newRow("length beyond any number") << QByteArray("POST /api/sessions HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n") << 400;
    QTest::newRow("two lengths") << QByteArray("POST /api/sessions HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7\r\n") << 400;
    QTest::newRow("negative length") << QByteArray("POST /api/sessions HTTP/1.1\r\nContent-Length: -1\r\n") << 400;
    QTest::newRow("chunked body") << QByteArray("POST /api/sessions HTTP/1.1\r\nTransfer-Encoding: chunked\r\n") << 411;
    QTest::newRow("headers over 16 KiB") << "GET /app HTTP/1.1\r\nX-Pad: " + QByteArray(20000, 'a') + "\r\n" << 431;
    QTest::newRow("not HTTP") << QByteArray("HELLO\r\n") << 400;
}

void TestServerLimits::oversizedOrUnframedRequestsAreRefusedBeforeTheBody()
{
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    QVERIFY(m_server->start());
    // Without a token and with the body still to come: the answer comes first.
    const QByteArray request = head + "Host: " + host() + "\r\n\r\n" + QByteArray(64 * 1024, 'x');
    const RawReply reply = exchange(port(), request, true);
    QCOMPARE(reply.status(), status);
    QVERIFY(!reply.json().value("message").toString().isEmpty());
    QVERIFY(reply.closed);
    // The service goes on serving.
    QCOMPARE(m_server->request("GET", u"/api/auth/config"_s).status, 200);
}

void TestServerLimits::requestsMustNameThisService_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("publicUrl");
    QTest::newRow("127.0.0.1") << QByteArray("127.0.0.1:PORT") << 200 << QString();
    QTest::newRow("localhost") << QByteArray("localhost:PORT") << 200 << QString();
    QTest::newRow("localhost in capitals") << QByteArray("LocalHost:PORT") << 200 << QString();
    QTest::newRow("[::1]") << QByteArray("[::1]:PORT") << 200 << QString();
    QTest::newRow("name added with a flag") << QByteArray("notes.test:PORT") << 200 << QString();
    // Behind a proxy the app renews its sign-in where the operator says, not on the loopback.
    QTest::newRow("behind a proxy") << QByteArray("notes.test:PORT") << 200 << u"https://notes.test"_s;
    QTest::newRow("rebound name") << QByteArray("attacker.example:PORT") << 421 << QString();
    QTest::newRow("name that ends like ours") << QByteArray("evil-localhost:PORT") << 421 << QString();
    QTest::newRow("our name, another port") << QByteArray("localhost:1") << 421 << QString();
    QTest::newRow("our name without port") << QByteArray("127.0.0.1") << 421 << QString();
    QTest::newRow("empty") << QByteArray() << 421 << QString();
}

void TestServerLimits::requestsMustNameThisService()
{
    QFETCH(QByteArray, host);
    QFETCH(int, status);
    QFETCH(QString, publicUrl);
    m_server->options().limits.extraHosts = {u"notes.test"_s};
    m_server->options().publicUrl = publicUrl;
    QVERIFY(m_server->start());
    host.replace("PORT", QByteArray::number(port()));
    const RawReply reply = exchange(port(), get("/api/auth/config", host));
    QCOMPARE(reply.status(), status);
    if (status == 200) {
        // The address handed out is the service's own, whatever the client called it.
        QCOMPARE(reply.json().value("supabaseUrl").toString(),
                 publicUrl.isEmpty() ? m_server->service().baseUrl() : publicUrl);
    }
    // A request without any Host, or with two, is refused too.
    QCOMPARE(exchange(port(), "GET /api/auth/config HTTP/1.1\r\n\r\n").status(), 421);
    QCOMPARE(exchange(port(), "GET /app HTTP/1.1\r\nHost: " + this->host() + "\r\nHost: attacker.example\r\n\r\n").status(), 421);
}

void TestServerLimits::silentConnectionsAreClosed_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("status");
    QTest::newRow("nothing sent") << QByteArray() << 0;
    QTest::newRow("half a head") << QByteArray("GET /app HTTP/1.1\r\nHost: 127.0.0.1\r\n") << 408;
    QTest::newRow("after a request") << QByteArray("REQUEST") << 200;
    QTest::newRow("body stops halfway") << QByteArray("POST /api/sessions HTTP/1.1\r\nHost: HOST\r\nContent-Length: 100\r\n\r\n{") << 0;
}

void TestServerLimits::silentConnectionsAreClosed()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, status);
    m_server->options().limits.headTimeoutMs = 300;
    m_server->options().limits.idleTimeoutMs = 500;
    QVERIFY(m_server->start());
    if (sent == "REQUEST")
        sent = get("/api/auth/config", host());
    sent.replace("HOST", host());
    const RawReply reply = exchange(port(), sent, true);
    QVERIFY(reply.closed);
    QCOMPARE(reply.status(), status);
}

void TestServerLimits::newcomerIsServedWhenTheConnectionCapIsFull()
{
    m_server->options().limits.maxConnections = 20;
    QVERIFY(m_server->start());
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 30; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port());
        QTRY_COMPARE(idle.back()->state(), QAbstractSocket::ConnectedState);
        QTest::qWait(2); // each one idles a little longer than the next
    }
    // The longest-idle connections made room; the newest client is answered.
    QCOMPARE(m_server->request("GET", u"/api/auth/config"_s).status, 200);
    QTRY_VERIFY(std::count_if(idle.begin(), idle.end(), [](const auto &socket) {
                    return socket->state() == QAbstractSocket::UnconnectedState;
                }) >= 10);
    QVERIFY(idle.front()->state() == QAbstractSocket::UnconnectedState);
}

void TestServerLimits::idleConnectionsBeyondTheDescriptorLimit()
{
    // The real binary under a 1,024-descriptor limit; this test holds the other ends.
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_max < 1300)
        QSKIP("This test needs 1,300 descriptors for its own end of the connections.");
    own.rlim_cur = std::max<rlim_t>(own.rlim_cur, 1300);
    QVERIFY(setrlimit(RLIMIT_NOFILE, &own) == 0);

    QTemporaryDir data;
    QProcess server;
    server.setProgram(QStringLiteral(ZARNO_SERVER_BINARY));
    server.setArguments({u"--port"_s, u"0"_s, u"--data-dir"_s, data.path()});
    server.setChildProcessModifier([] {
        const rlimit limit{1024, 1024};
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    server.start();
    QVERIFY(server.waitForStarted());
    QVERIFY(server.waitForReadyRead(20000));
    const QByteArray banner = server.readLine().trimmed();
    const quint16 port = quint16(banner.mid(banner.lastIndexOf(':') + 1).toUInt());
    QVERIFY2(port != 0, banner.constData());

    // More idle connections than descriptors: without a cap the service could
    // accept no more, and the newcomer would wait in the backlog.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 1100; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
        if (i % 100 == 99)
            QTest::qWait(20);
    }
    QDeadlineTimer settled(10000);
    while (!settled.hasExpired() && std::any_of(idle.begin(), idle.end(), [](const auto &socket) {
               return socket->state() == QAbstractSocket::ConnectingState || socket->state() == QAbstractSocket::HostLookupState;
           }))
        QTest::qWait(20);
    QTest::qWait(200); // let the service accept them all
    QElapsedTimer clock;
    clock.start();
    const RawReply reply = exchange(port, get("/api/auth/config", "127.0.0.1:" + QByteArray::number(port)), false, 10000);
    qInfo("answered in %lld ms with %d idle connections open", clock.elapsed(),
          int(std::count_if(idle.begin(), idle.end(), [](const auto &socket) {
              return socket->state() == QAbstractSocket::ConnectedState;
          })));
    QCOMPARE(reply.status(), 200);
    server.kill();
    server.waitForFinished();
}

void TestServerLimits::loggedPathsAreEscapedAndCut_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("encoded new line") << QByteArray("/app%0A127.0.0.1%20GET%20/admin%20-%3E%20200")
                                      << u"/app\\x0a127.0.0.1 GET /admin -> 200"_s;
    QTest::newRow("carriage return and escape") << QByteArray("/x%0D%1B[31m") << u"/x\\x0d\\x1b[31m"_s;
    QTest::newRow("line separator") << QByteArray("/x%E2%80%A8y") << u"/x\\x2028y"_s;
    QTest::newRow("8 KB path") << "/" + QByteArray(8000, 'a') << QString();
}

void TestServerLimits::loggedPathsAreEscapedAndCut()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, expected);
    QVERIFY(m_server->start());
    qInstallMessageHandler(captureLog);
    QLoggingCategory::setFilterRules(u"zarno.server*=true"_s);
    const RawReply reply = exchange(port(), get(path, host()));
    QCOMPARE(reply.status(), 404);
    qInstallMessageHandler(nullptr);
    QCOMPARE(capturedLog.size(), 1);
    const QString line = capturedLog.first();
    QVERIFY2(!line.contains(u'\n') && !line.contains(u'\r') && !line.contains(QChar(0x2028)), qPrintable(line));
    QVERIFY2(line.size() < 300, qPrintable(line.left(300)));
    if (!expected.isEmpty())
        QVERIFY2(line.contains(expected), qPrintable(line));
}

void TestServerLimits::dataDirectoryModes_data()
{
    QTest::addColumn<int>("modeBefore"); // -1: the directory does not exist
    QTest::addColumn<int>("modeAfter");
    QTest::addColumn<bool>("warned");
    QTest::newRow("made by the service") << -1 << 0700 << false;
    QTest::newRow("existing, private") << 0700 << 0700 << false;
    QTest::newRow("existing, readable by others") << 0755 << 0755 << true;
    QTest::newRow("existing, group may enter") << 0710 << 0710 << true;
}

void TestServerLimits::dataDirectoryModes()
{
    QFETCH(int, modeBefore);
    QFETCH(int, modeAfter);
    QFETCH(bool, warned);
    QTemporaryDir parent;
    const QString dir = parent.filePath(u"zarno-data"_s);
    if (modeBefore >= 0) {
        QVERIFY(QDir().mkdir(dir));
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), mode_t(modeBefore)) == 0);
    }
    qInstallMessageHandler(captureLog);
    TestService service(dir);
    QVERIFY(service.start());
    qInstallMessageHandler(nullptr);
    struct stat status {};
    QVERIFY(::stat(QFile::encodeName(dir).constData(), &status) == 0);
    QCOMPARE(int(status.st_mode & 0777), modeAfter);
    const bool sawWarning = std::any_of(capturedLog.cbegin(), capturedLog.cend(),
                                        [](const QString &line) { return line.contains(u"chmod 700"_s); });
    QCOMPARE(sawWarning, warned);
    // The database inside is private whatever the directory's mode.
    QVERIFY(::stat(QFile::encodeName(dir + u"/zarno.sqlite"_s).constData(), &status) == 0);
    QCOMPARE(int(status.st_mode & 0077), 0);
}

QTEST_GUILESS_MAIN(TestServerLimits)
#include "tst_serverlimits.moc"
