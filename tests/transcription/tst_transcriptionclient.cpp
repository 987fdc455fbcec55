#include "transcriptionclient.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtEndian>

#include <memory>
#include <thread>

namespace {

// One audio chunk of the usual size, numbered in its first four bytes.
QByteArray chunk(int index, qsizetype size = 2730)
{
    QByteArray bytes(size, char(index & 0x7f));
    qToLittleEndian<qint32>(index, bytes.data());
    return bytes;
}

struct Frame
{
    bool isText = false;
    QByteArray data;
};

// A real WebSocket endpoint on the loopback that records every frame of
// every connection it accepts.
class RecordingServer : public QObject
{
public:
    RecordingServer() : m_server(QStringLiteral("recorder"), QWebSocketServer::NonSecureMode)
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&m_server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *socket = m_server.nextPendingConnection()) {
                const int index = int(sockets.size());
                sockets.append(socket);
                frames.append(QList<Frame>());
                urls.append(socket->requestUrl());
                QObject::connect(socket, &QWebSocket::binaryMessageReceived, this,
                                 [this, index](const QByteArray &data) { frames[index].append({false, data}); });
                QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                                 [this, index](const QString &text) { frames[index].append({true, text.toUtf8()}); });
            }
        });
    }

    // Opens a leg of the client and sends it one chunk; the server's side of
    // that leg once the chunk has arrived, or null.
    QWebSocket *openLeg(TranscriptionLink &client, int chunkNumber)
    {
        const qsizetype index = sockets.size();
        client.open(url());
        client.send(chunk(chunkNumber));
        if (!QTest::qWaitFor([&] { return frames.value(index).size() == 1; }, 5000))
            return nullptr;
        return sockets[index];
    }

    QUrl url(const QString &pathAndQuery = QStringLiteral("/ws/transcribe?a=any&b=en&token=t")) const
    {
        return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_server.serverPort()) + pathAndQuery);
    }

    QList<int> chunkNumbers(int connection) const
    {
        QList<int> numbers;
        for (const Frame &frame : frames.value(connection))
            numbers.append(frame.isText ? -1 : qFromLittleEndian<qint32>(frame.data.constData()));
        return numbers;
    }

    QWebSocketServer m_server;
    QList<QWebSocket *> sockets;
    QList<QList<Frame>> frames;
    QList<QUrl> urls;
};

// Collects what the client reports; its handlers run on the client's thread.
class Recorder
{
public:
    explicit Recorder(TranscriptionClient &client)
    {
        // Direct: the recorder hears the client on the client's own thread.
        QObject::connect(&client, &TranscriptionLink::updateReceived, [this](quint64, const TranscriptUpdate &message) {
            QMutexLocker lock(&m_mutex);
            QStringList texts;
            for (const SpokenPiece &token : message.pieces)
                texts.append(token.text);
            m_messages.append(texts.join(u'|'));
            m_onGuiThread = m_onGuiThread || QThread::currentThread() == qApp->thread();
        });
        QObject::connect(&client, &TranscriptionLink::failed, [this](quint64, const QString &error) {
            QMutexLocker lock(&m_mutex);
            m_errors.append(error);
            m_onGuiThread = m_onGuiThread || QThread::currentThread() == qApp->thread();
        });
    }

    QStringList errors() const
    {
        QMutexLocker lock(&m_mutex);
        return m_errors;
    }
    QStringList messages() const
    {
        QMutexLocker lock(&m_mutex);
        return m_messages;
    }
    bool calledOnGuiThread() const
    {
        QMutexLocker lock(&m_mutex);
        return m_onGuiThread;
    }

private:
    mutable QMutex m_mutex;
    QStringList m_errors;
    QStringList m_messages;
    bool m_onGuiThread = false;
};

// Gives late events of a connection time to show up before asserting that
// none did; absence cannot be awaited.
void settle()
{
    QTest::qWait(150);
}

QList<int> range(int from, int to)
{
    QList<int> numbers;
    for (int i = from; i < to; ++i)
        numbers.append(i);
    return numbers;
}

} // namespace

class TestTranscriptionClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void audioGivenWhileOpeningLeavesFirstAndInOrder();
    void openingQueueKeepsTheOldest2048Chunks();
    void audioWithoutAConnectionIsDropped();
    void audioFromAnotherThreadWhileOpeningKeepsItsOrder();
    void framesAreDecodedAndRouted();
    void serverCloseGivesItsSentence_data();
    void serverCloseGivesItsSentence();
    void brokenConnectionGivesOneTransportSentence_data();
    void brokenConnectionGivesOneTransportSentence();
    void nothingIsReportedAfterClose_data();
    void nothingIsReportedAfterClose();
    void closeSilencesWhatIsAlreadyBeingDelivered();
    void closingOneLegDoesNotSilenceTheNext();
    void aLegLeftOpenNeverReportsIntoTheNext();
    void destroyingTheClientEndsItsConnection();
    void resultsReachAReceiverOnItsThreadNamingTheirConnection();
};

void TestTranscriptionClient::audioGivenWhileOpeningLeavesFirstAndInOrder()
{
    RecordingServer server;
    TranscriptionClient client;
    Recorder recorder(client);

    QVERIFY(!client.hasTask());
    client.open(server.url());
    QVERIFY(client.hasTask());
    // The server answers the handshake only from this thread's event loop,
    // so all of this is given before the socket can be open.
    for (int i = 0; i < 40; ++i)
        client.send(chunk(i));
    client.finalize();

    QTRY_COMPARE_WITH_TIMEOUT(server.frames.value(0).size(), 41, 5000);
    // Once open; one chunk more than the socket takes at once, so that part
    // of it waits, and what follows while the server reads must queue behind.
    constexpr int large = 45;
    constexpr qsizetype largeSize = 8 << 20;
    for (int i = 40; i < 60; ++i) {
        client.send(chunk(i, i == large ? largeSize : 2730));
        if (i >= large)
            QTest::qWait(1);
    }
    client.finalize();
    QTRY_COMPARE_WITH_TIMEOUT(server.frames.value(0).size(), 62, 5000);

    QCOMPARE(server.urls.value(0).path(), QStringLiteral("/ws/transcribe"));
    QCOMPARE(server.urls.value(0).query(), QStringLiteral("a=any&b=en&token=t"));
    QList<int> expected = range(0, 40);
    expected << -1 << range(40, 60) << -1;
    QCOMPARE(server.chunkNumbers(0), expected);
    for (const Frame &frame : std::as_const(server.frames[0])) {
        if (frame.isText) {
            QCOMPARE(frame.data, QByteArray(R"({"type":"finalize"})"));
            QCOMPARE(frame.data.size(), 19);
        } else {
            const int number = qFromLittleEndian<qint32>(frame.data.constData());
            QVERIFY(frame.data == chunk(number, number == large ? largeSize : 2730));
        }
    }
    settle();
    QCOMPARE(recorder.errors(), QStringList());
}

void TestTranscriptionClient::openingQueueKeepsTheOldest2048Chunks()
{
    RecordingServer server;
    TranscriptionClient client;
    client.open(server.url());
    for (int i = 0; i < 2100; ++i)
        client.send(chunk(i));

    QTRY_COMPARE_WITH_TIMEOUT(server.frames.value(0).size(), 2048, 10000);
    // Once open, audio goes straight out again.
    client.send(chunk(5000));
    QTRY_COMPARE_WITH_TIMEOUT(server.frames.value(0).size(), 2049, 5000);
    QCOMPARE(server.chunkNumbers(0), range(0, 2048) << 5000);
}

void TestTranscriptionClient::audioWithoutAConnectionIsDropped()
{
    RecordingServer server;
    TranscriptionClient client;
    client.send(chunk(1));
    client.finalize();
    QVERIFY(!client.hasTask());

    client.open(server.url());
    client.send(chunk(2));
    QTRY_COMPARE_WITH_TIMEOUT(server.frames.value(0).size(), 1, 5000);
    client.close();
    QVERIFY(!client.hasTask());
    client.send(chunk(3));
    client.finalize();
    QTRY_VERIFY_WITH_TIMEOUT(server.sockets.value(0) && server.sockets[0]->state() != QAbstractSocket::ConnectedState,
                             5000);
    QCOMPARE(server.chunkNumbers(0), QList<int>{2});
}

void TestTranscriptionClient::audioFromAnotherThreadWhileOpeningKeepsItsOrder()
{
    RecordingServer server;
    TranscriptionClient client;
    constexpr int total = 2000; // within the opening queue, so none may be lost
    client.open(server.url());
    std::thread capture([&client] {
        for (int i = 0; i < total; ++i) {
            client.send(chunk(i));
            if (i % 16 == 0)
                QThread::yieldCurrentThread();
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(server.frames.value(0).size(), total, 10000);
    capture.join();
    QCOMPARE(server.chunkNumbers(0), range(0, total));
}

void TestTranscriptionClient::framesAreDecodedAndRouted()
{
    RecordingServer server;
    TranscriptionClient client;
    Recorder recorder(client);
    client.open(server.url());
    QTRY_VERIFY_WITH_TIMEOUT(server.sockets.size() == 1, 5000);
    QWebSocket *socket = server.sockets[0];

    socket->sendTextMessage(QStringLiteral("not json"));
    socket->sendBinaryMessage(QByteArray("\xff\xfe{}", 4));
    socket->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"lost","is_final":7}]})"));
    socket->sendTextMessage(QStringLiteral(R"({"error_code":503,"error_message":"busy","tokens":[{"text":"no"}]})"));
    socket->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"Hello","is_final":true},{"text":" wor"}]})"));
    socket->sendBinaryMessage(QByteArray(R"({"tokens":[{"text":" café"}]})"));
    socket->sendTextMessage(QStringLiteral(R"({"error_code":0})"));
    socket->sendTextMessage(QStringLiteral("{}"));

    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages().size(), 3, 5000);
    QCOMPARE(recorder.messages(), (QStringList{QStringLiteral("Hello| wor"), QStringLiteral(" café"), QString()}));
    QCOMPARE(recorder.errors(),
             (QStringList{QStringLiteral("Server error 503: busy"), QStringLiteral("Server error 0: unknown")}));
    QVERIFY(!recorder.calledOnGuiThread());
}

void TestTranscriptionClient::serverCloseGivesItsSentence_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("sentence");

    const QString signIn = QStringLiteral("Sign-in expired — open zarno and sign in again.");
    QTest::newRow("4401") << 4401 << QString() << signIn;
    QTest::newRow("4401 with a reason") << 4401 << QStringLiteral("token expired") << signIn;
    QTest::newRow("4402") << 4402 << QStringLiteral("quota") << QStringLiteral("Translation quota reached for this plan.");
    QTest::newRow("4403 with a reason") << 4403 << QStringLiteral("Token revoked") << signIn;
    QTest::newRow("4409") << 4409 << QString()
                          << QStringLiteral("Another zarno session is already listening on this account.");
    QTest::newRow("4411") << 4411 << QStringLiteral("no key")
                          << QStringLiteral("The server is missing its transcription key.");
    QTest::newRow("4000 with a reason") << 4000 << QStringLiteral("Maintenance — back in five minutes.")
                                        << QStringLiteral("Maintenance — back in five minutes.");
    QTest::newRow("4404 without a reason") << 4404 << QString()
                                           << QStringLiteral("The server closed the connection (4404).");
    QTest::newRow("4410 with a reason") << 4410 << QStringLiteral("Gone") << QStringLiteral("Gone");
    QTest::newRow("1000 not asked for") << 1000 << QString()
                                        << QStringLiteral("The server closed the connection (1000).");
    QTest::newRow("1001") << 1001 << QString() << QStringLiteral("The server closed the connection (1001).");
    // The service's "try again later" (Qt's WebSocket cannot receive 1013 itself).
    QTest::newRow("4013 overloaded") << 4013 << QStringLiteral("The server is overloaded — try again in a moment.")
                                     << QStringLiteral("The server is overloaded — try again in a moment.");
    QTest::newRow("1011 with a reason") << 1011 << QStringLiteral("Recogniser crashed.")
                                        << QStringLiteral("Recogniser crashed.");
}

void TestTranscriptionClient::serverCloseGivesItsSentence()
{
    QFETCH(int, code);
    QFETCH(QString, reason);
    QFETCH(QString, sentence);

    RecordingServer server;
    TranscriptionClient client;
    Recorder recorder(client);
    QWebSocket *socket = server.openLeg(client, 0);
    QVERIFY(socket);
    socket->close(QWebSocketProtocol::CloseCode(code), reason);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.errors().size(), 1, 5000);
    settle();
    QCOMPARE(recorder.errors(), QStringList{sentence});
    // The leg stays until its owner closes it.
    QVERIFY(client.hasTask());
}

void TestTranscriptionClient::brokenConnectionGivesOneTransportSentence_data()
{
    QTest::addColumn<QString>("breakage");
    QTest::addColumn<QString>("sentence");

    QTest::newRow("socket aborted") << "abort" << "The connection to the server was lost.";
    QTest::newRow("server process gone") << "server gone" << "The connection to the server was lost.";
    // The sentence names the address that was tried, without its query.
    QTest::newRow("nothing listening") << "refused" << "Could not connect to the server at {address}.";
    QTest::newRow("handshake answered 403") << "403" << "The server refused the connection (403).";
    QTest::newRow("dropped during handshake") << "drop handshake" << "The connection to the server was lost.";
}

void TestTranscriptionClient::brokenConnectionGivesOneTransportSentence()
{
    QFETCH(QString, breakage);
    QFETCH(QString, sentence);

    auto server = std::make_unique<RecordingServer>();
    QTcpServer plain;
    QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&plain, &QTcpServer::newConnection, &plain, [&plain, breakage] {
        QTcpSocket *socket = plain.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, breakage] {
            socket->readAll();
            if (breakage == QLatin1StringView("403")) {
                socket->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
                socket->disconnectFromHost();
            } else {
                socket->abort();
            }
        });
    });
    QUrl url = server->url();
    if (breakage == QLatin1StringView("403") || breakage == QLatin1StringView("drop handshake"))
        url.setPort(plain.serverPort());
    if (breakage == QLatin1StringView("refused")) {
        plain.close();
        url.setPort(plain.serverPort());
        server.reset();
    }

    TranscriptionClient client;
    Recorder recorder(client);
    client.open(url);
    if (breakage == QLatin1StringView("abort") || breakage == QLatin1StringView("server gone")) {
        client.send(chunk(0));
        QTRY_COMPARE_WITH_TIMEOUT(server->frames.value(0).size(), 1, 5000);
        if (breakage == QLatin1StringView("abort"))
            server->sockets[0]->abort();
        else
            server.reset();
    }

    QTRY_COMPARE_WITH_TIMEOUT(recorder.errors().size(), 1, 5000);
    settle();
    QCOMPARE(recorder.errors(), QStringList{QString(sentence).replace(QStringLiteral("{address}"), url.authority())});
    QCOMPARE(recorder.messages(), QStringList());
}

void TestTranscriptionClient::nothingIsReportedAfterClose_data()
{
    QTest::addColumn<QString>("serverThen");

    QTest::newRow("server aborts") << "abort";
    QTest::newRow("server closes 4409") << "4409";
    QTest::newRow("server sends an error and a message") << "messages";
    QTest::newRow("server stays") << "nothing";
}

void TestTranscriptionClient::nothingIsReportedAfterClose()
{
    QFETCH(QString, serverThen);

    RecordingServer server;
    TranscriptionClient client;
    Recorder recorder(client);
    QWebSocket *socket = server.openLeg(client, 0);
    QVERIFY(socket);

    // The server moves right after close() returns, racing the client's
    // own handling of the close: whichever comes first, nothing is reported.
    client.close();
    QVERIFY(!client.hasTask());
    if (serverThen == QLatin1StringView("abort")) {
        socket->abort();
    } else if (serverThen == QLatin1StringView("4409")) {
        socket->close(QWebSocketProtocol::CloseCode(4409));
    } else if (serverThen == QLatin1StringView("messages")) {
        socket->sendTextMessage(QStringLiteral(R"({"error_code":500})"));
        socket->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"late"}]})"));
    }
    socket->flush();

    QTRY_VERIFY_WITH_TIMEOUT(socket->state() == QAbstractSocket::UnconnectedState, 5000);
    if (serverThen == QLatin1StringView("nothing")) {
        QCOMPARE(socket->closeCode(), QWebSocketProtocol::CloseCodeNormal);
        QCOMPARE(socket->closeReason(), QString());
    }
    settle();
    QCOMPARE(recorder.errors(), QStringList());
    QCOMPARE(recorder.messages(), QStringList());
}

void TestTranscriptionClient::closeSilencesWhatIsAlreadyBeingDelivered()
{
    RecordingServer server;
    TranscriptionClient client;
    QSemaphore inHandler;
    QSemaphore closed;
    QMutex mutex;
    QStringList reported;
    // The first message holds the client's thread inside its handler until
    // close() has returned; the frames behind it are already read by then.
    QObject::connect(&client, &TranscriptionLink::updateReceived, [&](quint64, const TranscriptUpdate &message) {
        const bool gate = !message.pieces.isEmpty() && message.pieces.first().text == "gate";
        if (gate) {
            inHandler.release();
            closed.tryAcquire(1, 5000);
            return;
        }
        QMutexLocker lock(&mutex);
        reported.append(QStringLiteral("message"));
    });
    QObject::connect(&client, &TranscriptionLink::failed, [&](quint64, const QString &error) {
        QMutexLocker lock(&mutex);
        reported.append(error);
    });
    client.open(server.url());
    QTRY_VERIFY_WITH_TIMEOUT(server.sockets.size() == 1, 5000);
    QWebSocket *socket = server.sockets[0];
    socket->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"gate"}]})"));
    socket->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"after"}]})"));
    socket->sendTextMessage(QStringLiteral(R"({"error_code":500,"error_message":"late"})"));
    socket->close(QWebSocketProtocol::CloseCode(4409));
    socket->flush();

    QVERIFY(inHandler.tryAcquire(1, 5000));
    client.close();
    closed.release();
    QTRY_VERIFY_WITH_TIMEOUT(socket->state() == QAbstractSocket::UnconnectedState, 5000);
    settle();
    QMutexLocker lock(&mutex);
    QCOMPARE(reported, QStringList());
}

void TestTranscriptionClient::closingOneLegDoesNotSilenceTheNext()
{
    RecordingServer server;
    TranscriptionClient client;
    Recorder recorder(client);

    client.open(server.url());
    client.send(chunk(1));
    client.close();
    client.open(server.url());
    client.send(chunk(2));
    // The first leg was closed before it opened: its audio never leaves.
    QTRY_VERIFY_WITH_TIMEOUT(!server.frames.isEmpty() && server.frames.last().size() == 1, 5000);
    QCOMPARE(server.chunkNumbers(int(server.frames.size()) - 1), QList<int>{2});

    server.sockets.last()->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"second leg"}]})"));
    server.sockets.last()->close(QWebSocketProtocol::CloseCode(4402));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.errors().size(), 1, 5000);
    settle();
    QCOMPARE(recorder.messages(), QStringList{QStringLiteral("second leg")});
    QCOMPARE(recorder.errors(), QStringList{QStringLiteral("Translation quota reached for this plan.")});
}

void TestTranscriptionClient::aLegLeftOpenNeverReportsIntoTheNext()
{
    RecordingServer server;
    TranscriptionClient client;
    Recorder recorder(client);

    QWebSocket *first = server.openLeg(client, 1);
    QVERIFY(first);

    client.open(server.url());
    client.send(chunk(2));
    first->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"old leg"}]})"));
    first->close(QWebSocketProtocol::CloseCode(4403));
    QTRY_COMPARE_WITH_TIMEOUT(server.frames.value(1).size(), 1, 5000);
    server.sockets[1]->close(QWebSocketProtocol::CloseCode(4409));

    QTRY_COMPARE_WITH_TIMEOUT(recorder.errors().size(), 1, 5000);
    settle();
    QCOMPARE(recorder.errors(), QStringList{QStringLiteral("Another zarno session is already listening on this account.")});
    QCOMPARE(recorder.messages(), QStringList());
    // The client ended the abandoned leg itself.
    QTRY_VERIFY_WITH_TIMEOUT(first->state() == QAbstractSocket::UnconnectedState, 5000);
}

void TestTranscriptionClient::destroyingTheClientEndsItsConnection()
{
    RecordingServer server;
    auto client = std::make_unique<TranscriptionClient>();
    Recorder recorder(*client);
    QWebSocket *socket = server.openLeg(*client, 0);
    QVERIFY(socket);
    socket->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"x"}]})"));
    for (int i = 1; i < 100; ++i)
        client->send(chunk(i));

    client.reset();
    QTRY_VERIFY_WITH_TIMEOUT(socket->state() == QAbstractSocket::UnconnectedState, 5000);
    settle();
    QCOMPARE(recorder.errors(), QStringList());
}

void TestTranscriptionClient::resultsReachAReceiverOnItsThreadNamingTheirConnection()
{
    RecordingServer server;
    TranscriptionClient client;
    QObject receiver; // on this (the GUI) thread: the connection is queued
    QList<quint64> connections;
    QStringList texts;
    bool onReceiversThread = true;
    const auto record = [&](quint64 connection, const QString &text) {
        connections.append(connection);
        texts.append(text);
        onReceiversThread = onReceiversThread && QThread::currentThread() == receiver.thread();
    };
    QObject::connect(&client, &TranscriptionLink::updateReceived, &receiver,
                     [&](quint64 connection, const TranscriptUpdate &message) {
                         record(connection, message.pieces.first().text);
                     });
    QObject::connect(&client, &TranscriptionLink::failed, &receiver, record);

    const quint64 first = client.open(server.url());
    QTRY_VERIFY_WITH_TIMEOUT(server.sockets.size() == 1, 5000);
    server.sockets[0]->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"one"}]})"));
    QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 1, 5000);
    client.close();
    const quint64 second = client.open(server.url());
    QVERIFY(second > first);
    QTRY_VERIFY_WITH_TIMEOUT(server.sockets.size() == 2, 5000);
    server.sockets[1]->sendTextMessage(QStringLiteral(R"({"tokens":[{"text":"two"}]})"));
    server.sockets[1]->close(QWebSocketProtocol::CloseCode(4402));
    QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 3, 5000);
    QCOMPARE(connections, (QList<quint64>{first, second, second}));
    QCOMPARE(texts, (QStringList{"one", "two", "Translation quota reached for this plan."}));
    QVERIFY(onReceiversThread);
}

QTEST_GUILESS_MAIN(TestTranscriptionClient)
#include "tst_transcriptionclient.moc"
