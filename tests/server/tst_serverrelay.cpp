#include "fakesoniox.h"
#include "socketprobe.h"
#include "testservice.h"

#include "engine.h"
#include "sonioxrelay.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString testKey = u"sk-test-0123456789"_s;

QUrl transcribeUrl(TestService &server, const QString &token, const QString &spoken, const QString &target,
                   bool onlyTranscript)
{
    QUrl url = server.transcribeUrl(token, target, onlyTranscript);
    QUrlQuery query(url);
    query.removeAllQueryItems(u"a"_s);
    query.addQueryItem(u"a"_s, spoken);
    url.setQuery(query);
    return url;
}

} // namespace

class TestServerRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void startRequestFollowsTheAppsChoice_data();
    void startRequestFollowsTheAppsChoice();
    void audioFinalizeAndTokensPassThrough();
    void upstreamTroubleBecomesACloseTheAppKnows_data();
    void upstreamTroubleBecomesACloseTheAppKnows();
    void withoutAKeyEveryConnectionIsClosedWith4411();
    void anAccountStillListensOnce();
    void idleStreamIsKeptAlive();
    void configurationSaysWhatTheEngineServes_data();
    void configurationSaysWhatTheEngineServes();
    void keyComesFromAFileOrTheEnvironment_data();
    void keyComesFromAFileOrTheEnvironment();

private:
    void startService(const QString &key = testKey, int keepaliveMs = 10000);

    std::unique_ptr<FakeSoniox> m_fake;
    std::unique_ptr<TestService> m_server;
    QString m_token;
};

void TestServerRelay::init()
{
    m_server.reset();
    m_fake = std::make_unique<FakeSoniox>();
}

void TestServerRelay::startService(const QString &key, int keepaliveMs)
{
    m_server = std::make_unique<TestService>();
    m_server->options().engine = u"soniox"_s;
    m_server->options().soniox.url = m_fake->url();
    m_server->options().soniox.key = key;
    m_server->options().soniox.model = u"stt-rt-test"_s;
    m_server->options().soniox.connectTimeoutMs = 2000;
    m_server->options().soniox.drainMs = 1000;
    m_server->options().soniox.keepaliveMs = keepaliveMs;
    QVERIFY(m_server->start());
    m_token = m_server->accessTokenFor(u"ada@example.org"_s);
}

void TestServerRelay::startRequestFollowsTheAppsChoice_data()
{
    QTest::addColumn<QString>("spoken");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("onlyTranscript");
    QTest::addColumn<QJsonValue>("hints");
    QTest::addColumn<QJsonValue>("translation");
    const QJsonValue none(QJsonValue::Undefined);
    auto oneWay = [](const QString &target) {
        return QJsonValue(QJsonObject{{u"type"_s, u"one_way"_s}, {u"target_language"_s, target}});
    };
    QTest::newRow("any language into Spanish") << u"any"_s << u"es"_s << false << none << oneWay(u"es"_s);
    QTest::newRow("English into Japanese") << u"en"_s << u"ja"_s << false << QJsonValue(QJsonArray{u"en"_s})
                                           << oneWay(u"ja"_s);
    QTest::newRow("transcript only") << u"fr"_s << u"de"_s << true << QJsonValue(QJsonArray{u"fr"_s}) << none;
    QTest::newRow("no target") << u"any"_s << QString() << false << none << none;
    QTest::newRow("codes that are not languages") << u"en\",\"x"_s << u"<b>"_s << false << none << none;
}

void TestServerRelay::startRequestFollowsTheAppsChoice()
{
    QFETCH(QString, spoken);
    QFETCH(QString, target);
    QFETCH(bool, onlyTranscript);
    QFETCH(QJsonValue, hints);
    QFETCH(QJsonValue, translation);
    startService();
    SocketProbe app(transcribeUrl(*m_server, m_token, spoken, target, onlyTranscript));
    QTRY_VERIFY(app.connected);
    QTRY_COMPARE(m_fake->streams.size(), 1);
    QTRY_VERIFY(!m_fake->last().start.isEmpty());

    const FakeSoniox::Stream &stream = m_fake->last();
    QCOMPARE(stream.authorization, "Bearer " + testKey.toUtf8());
    QVERIFY(stream.startWasFirst);
    const QJsonObject start = stream.start;
    QVERIFY2(!start.contains(u"api_key"_s), "the key travels in the header only");
    QCOMPARE(start.value(u"model"_s).toString(), u"stt-rt-test"_s);
    QCOMPARE(start.value(u"audio_format"_s).toString(), u"pcm_s16le"_s);
    QCOMPARE(start.value(u"sample_rate"_s).toInt(), 16000);
    QCOMPARE(start.value(u"num_channels"_s).toInt(), 1);
    QCOMPARE(start.value(u"enable_endpoint_detection"_s).toBool(), true);
    QCOMPARE(start.value(u"enable_language_identification"_s).toBool(), true);
    QCOMPARE(start.value(u"enable_speaker_diarization"_s).toBool(), true);
    QCOMPARE(start.value(u"language_hints"_s), hints);
    QCOMPARE(start.value(u"translation"_s), translation);
}

void TestServerRelay::audioFinalizeAndTokensPassThrough()
{
    startService();
    // Diarization names each word's speaker.
    QJsonObject go = FakeSoniox::token(u"Go"_s, true, u"en"_s);
    go.insert(u"speaker"_s, u"2"_s);
    QJsonObject forward = FakeSoniox::token(u" forward."_s, true, u"en"_s);
    forward.insert(u"speaker"_s, u"2"_s);
    const QJsonObject spoken =
        FakeSoniox::tokens({go, forward, FakeSoniox::token(u"<end>"_s, true, QString())});
    const QJsonObject spanish = FakeSoniox::tokens({FakeSoniox::token(u"Adelante."_s, true, u"es"_s, true)});
    m_fake->afterFinalize = {spoken, spanish};
    SocketProbe app(transcribeUrl(*m_server, m_token, u"any"_s, u"es"_s, false));
    QTRY_VERIFY(app.connected);

    // Audio sent before the provider answers waits, in order, behind the start request.
    QByteArray sent;
    for (int i = 0; i < 5; ++i) {
        const QByteArray chunk(2720, char('a' + i));
        app.socket.sendBinaryMessage(chunk);
        sent += chunk;
    }
    app.socket.sendBinaryMessage(QByteArray()); // no end of audio from an empty frame
    QTRY_COMPARE(m_fake->streams.size(), 1);
    QTRY_COMPARE(m_fake->last().audio.size(), sent.size());
    QVERIFY(m_fake->last().startWasFirst);
    QCOMPARE(m_fake->last().audio, sent);
    QVERIFY(!m_fake->last().endOfAudio);

    // A provisional message passes as it is.
    const QJsonObject provisional = FakeSoniox::tokens({FakeSoniox::token(u"Go"_s, false, u"en"_s)});
    m_fake->send(provisional);
    QTRY_COMPARE(app.messages.size(), 1);
    QCOMPARE(app.messages.at(0).json, provisional);

    app.socket.sendTextMessage(QString::fromLatin1(R"({"type":"finalize"})"));
    QTRY_COMPARE(app.messages.size(), 3);
    QCOMPARE(m_fake->last().finalizes, 1);
    // Words and translation come down unchanged; the speaker's pauses do not.
    const QList<QJsonObject> tokens = app.tokens();
    QCOMPARE(SocketProbe::textOf(app.finalTokens(false)), u"Go forward."_s);
    QCOMPARE(SocketProbe::textOf(app.finalTokens(true)), u"Adelante."_s);
    QCOMPARE(app.messages.at(2).json, spanish);
    // The provider's answer to the finalize reaches the app, after the words.
    QTRY_COMPARE(app.finAfterMessages, QList<qsizetype>{3});
    for (const QJsonObject &token : tokens)
        QVERIFY(!token.value(u"text"_s).toString().startsWith(u'<'));
    for (const QJsonObject &token : app.finalTokens(false))
        QCOMPARE(token.value(u"speaker"_s).toString(), u"2"_s);

    // The app's close ends the audio upstream, and the stream closes in order.
    app.socket.close();
    QTRY_VERIFY(m_fake->last().closed);
    QVERIFY(m_fake->last().endOfAudio);
    QVERIFY(!m_fake->last().audioAfterEnd);
    QTRY_COMPARE(m_server->service().listeningCount(), 0);
}

void TestServerRelay::upstreamTroubleBecomesACloseTheAppKnows_data()
{
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<int>("closeCode");
    QTest::addColumn<bool>("errorRelayed");
    QTest::addColumn<QString>("reason");
    QTest::newRow("balance used up") << u"402"_s << 4402 << false << QString();
    QTest::newRow("bad request") << u"400"_s << 1011 << true << u"Recognition service error 400: Provider says 400."_s;
    QTest::newRow("rate limited") << u"429"_s << 1011 << true << u"Recognition service error 429: Provider says 429."_s;
    QTest::newRow("request ended early") << u"503"_s << 1011 << true
                                         << u"Recognition service error 503: Provider says 503."_s;
    QTest::newRow("connection dropped") << u"drop"_s << 1011 << false
                                        << u"The connection to the recognition service was lost."_s;
    QTest::newRow("unreachable") << u"unreachable"_s << 1011 << false
                                 << u"The recognition service cannot be reached."_s;
}

void TestServerRelay::upstreamTroubleBecomesACloseTheAppKnows()
{
    QFETCH(QString, trouble);
    QFETCH(int, closeCode);
    QFETCH(bool, errorRelayed);
    QFETCH(QString, reason);
    if (trouble == u"unreachable"_s)
        m_fake->stopListening();
    startService();
    SocketProbe app(transcribeUrl(*m_server, m_token, u"any"_s, u"en"_s, false));
    QTRY_VERIFY(app.connected);
    if (trouble != u"unreachable"_s) {
        QTRY_VERIFY(!m_fake->streams.isEmpty() && !m_fake->last().start.isEmpty());
        if (trouble == u"drop"_s)
            m_fake->last().socket->abort();
        else
            m_fake->sendError(trouble.toInt(), u"Provider says "_s + trouble + u'.');
    }
    QTRY_VERIFY_WITH_TIMEOUT(app.disconnected, 8000);
    QCOMPARE(app.closeCode, closeCode);
    if (!reason.isEmpty())
        QCOMPARE(app.closeReason, reason);
    QCOMPARE(app.messages.size(), errorRelayed ? 1 : 0);
    if (errorRelayed) {
        QCOMPARE(app.messages.first().json.value(u"error_code"_s).toInt(), trouble.toInt());
        QCOMPARE(app.messages.first().json.value(u"error_message"_s).toString(), u"Provider says "_s + trouble + u'.');
    }
    QTRY_COMPARE(m_server->service().listeningCount(), 0);
}

void TestServerRelay::withoutAKeyEveryConnectionIsClosedWith4411()
{
    startService(QString());
    SocketProbe app(transcribeUrl(*m_server, m_token, u"any"_s, u"es"_s, false));
    QTRY_VERIFY(app.disconnected);
    QCOMPARE(app.closeCode, 4411);
    QVERIFY(m_fake->streams.isEmpty());
    // A bad sign-in is still told apart from a missing key.
    SocketProbe stranger(transcribeUrl(*m_server, u"not-a-token"_s, u"any"_s, u"es"_s, false));
    QTRY_VERIFY(stranger.disconnected);
    QCOMPARE(stranger.closeCode, 4403);
}

void TestServerRelay::anAccountStillListensOnce()
{
    startService();
    SocketProbe first(transcribeUrl(*m_server, m_token, u"any"_s, u"es"_s, false));
    QTRY_VERIFY(first.connected);
    QTRY_COMPARE(m_server->service().listeningCount(), 1);
    SocketProbe second(transcribeUrl(*m_server, m_server->accessTokenFor(u"ada@example.org"_s), u"any"_s, u"es"_s, false));
    QTRY_VERIFY(second.disconnected);
    QCOMPARE(second.closeCode, 4409);
    QCOMPARE(m_fake->streams.size(), 1);

    // A resumed leg right after a pause gets its own stream at once, while the
    // old one is still finishing upstream.
    first.socket.close();
    QTRY_COMPARE(m_server->service().listeningCount(), 0);
    SocketProbe resumed(transcribeUrl(*m_server, m_token, u"any"_s, u"es"_s, false));
    QTRY_VERIFY(resumed.connected);
    QTRY_COMPARE(m_fake->streams.size(), 2);
    QVERIFY(!resumed.disconnected);

    // The cap on listeners holds for relayed ones too, before any stream is opened.
    const auto urlFor = [this](const QString &email) {
        return transcribeUrl(*m_server, m_server->accessTokenFor(email), u"any"_s, u"es"_s, false);
    };
    SocketProbe grace(urlFor(u"grace@example.org"_s));
    SocketProbe hopper(urlFor(u"hopper@example.org"_s));
    QTRY_COMPARE(m_server->service().listeningCount(), 3);
    QTRY_COMPARE(m_fake->streams.size(), 4);
    SocketProbe beyond(urlFor(u"linus@example.org"_s));
    QTRY_VERIFY(beyond.disconnected);
    QCOMPARE(beyond.closeCode, 4013);
    QCOMPARE(m_fake->streams.size(), 4);
    QVERIFY(!grace.disconnected && !hopper.disconnected && !resumed.disconnected);
}

void TestServerRelay::idleStreamIsKeptAlive()
{
    startService(testKey, 300);
    SocketProbe app(transcribeUrl(*m_server, m_token, u"any"_s, u"es"_s, false));
    QTRY_VERIFY(!m_fake->streams.isEmpty() && !m_fake->last().start.isEmpty());
    QTRY_VERIFY(m_fake->last().keepalives >= 2);

    // Audio keeps the stream alive by itself: no keepalive while it flows.
    QTimer feeder;
    QObject::connect(&feeder, &QTimer::timeout, &app.socket, [&app] { app.socket.sendBinaryMessage(QByteArray(320, '\0')); });
    feeder.start(20);
    QTest::qWait(100);
    const int before = m_fake->last().keepalives;
    QTest::qWait(700);
    QCOMPARE(m_fake->last().keepalives, before);
    QVERIFY(m_fake->last().audioFrames > 5);
}

void TestServerRelay::configurationSaysWhatTheEngineServes_data()
{
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QString>("spoken");
    QTest::newRow("local") << u"local"_s << QStringList{u"es"_s} << u"en"_s;
    QTest::newRow("soniox") << u"soniox"_s
                            << QStringList{u"en"_s, u"zh"_s, u"es"_s, u"ja"_s, u"ko"_s, u"fr"_s, u"de"_s, u"pt"_s}
                            << u"ja"_s;
}

void TestServerRelay::configurationSaysWhatTheEngineServes()
{
    QFETCH(QString, engine);
    QFETCH(QStringList, targets);
    QFETCH(QString, spoken);
    m_server = std::make_unique<TestService>();
    m_server->options().engine = engine;
    QVERIFY(m_server->start());
    const HttpResult config = m_server->request("GET", u"/api/auth/config"_s);
    QCOMPARE(config.status, 200);
    QVERIFY(!config.json.value(u"supabaseAnonKey"_s).toString().isEmpty());
    const QJsonObject described = config.json.value(u"engine"_s).toObject();
    QCOMPARE(described.value(u"name"_s).toString(), engine);
    QStringList listed;
    for (const QJsonValue &code : described.value(u"translationTargets"_s).toArray())
        listed.append(code.toString());
    QCOMPARE(listed, targets);
    QVERIFY(described.value(u"sourceLanguages"_s).toArray().contains(spoken));
    QVERIFY2(!config.body.contains(testKey.toUtf8()), "the provider's key is never served");
}

void TestServerRelay::keyComesFromAFileOrTheEnvironment_data()
{
    QTest::addColumn<QByteArray>("fileContent"); // null: no file given
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("error");
    QTest::addColumn<bool>("warning");
    QTest::newRow("environment") << QByteArray() << 0 << QByteArray(" env-key\n") << u"env-key"_s << false << false;
    QTest::newRow("neither") << QByteArray() << 0 << QByteArray() << QString() << false << false;
    QTest::newRow("file with newline") << QByteArray("file-key\n") << 0600 << QByteArray("env-key") << u"file-key"_s
                                       << false << false;
    QTest::newRow("file readable by all") << QByteArray("file-key") << 0644 << QByteArray() << u"file-key"_s << false
                                          << true;
    QTest::newRow("empty file") << QByteArray("\n") << 0600 << QByteArray("env-key") << QString() << true << false;
    QTest::newRow("missing file") << QByteArray("MISSING") << 0600 << QByteArray() << QString() << true << false;
}

void TestServerRelay::keyComesFromAFileOrTheEnvironment()
{
    QFETCH(QByteArray, fileContent);
    QFETCH(int, fileMode);
    QFETCH(QByteArray, environment);
    QFETCH(QString, key);
    QFETCH(bool, error);
    QFETCH(bool, warning);
    QTemporaryDir dir;
    QString path;
    if (!fileContent.isNull()) {
        path = dir.filePath(u"soniox.key"_s);
        if (fileContent != "MISSING") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(fileContent);
            file.close();
            QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
            if (fileMode & 0044)
                permissions |= QFileDevice::ReadGroup | QFileDevice::ReadOther;
            QVERIFY(QFile::setPermissions(path, permissions));
        }
    }
    const SonioxKey loaded = loadSonioxKey(path, environment);
    QCOMPARE(loaded.key, key);
    QCOMPARE(!loaded.error.isEmpty(), error);
    QCOMPARE(!loaded.warning.isEmpty(), warning);
    if (!fileContent.isEmpty())
        QVERIFY2(!loaded.error.contains(u"file-key"_s), "messages never carry the key");
}

QTEST_GUILESS_MAIN(TestServerRelay)
#include "tst_serverrelay.moc"
