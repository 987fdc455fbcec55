#include "legrunner.h"
#include "authsession.h"
#include "loopbackservice.h"
#include "servermessages.h"
#include "sessionfakes.h"
#include "settings.h"
#include "transcriptionclient.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTest>

using namespace std::chrono_literals;

// A leg run alone, without a session around it: the real link to a loopback
// service, the real sign-in, a stand-in microphone.
class TestLegRunner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void startSaysWhyALegCannotRun_data();
    void startSaysWhyALegCannotRun();
    void finishEndsOnTheServersWord_data();
    void finishEndsOnTheServersWord();
    void wordsAreMarkedWhereTheyWereHeard();

private:
    void makeRunner(std::chrono::milliseconds finalizeLimit);
    [[nodiscard]] LegRunner::Start started();

    std::unique_ptr<LoopbackService> m_service;
    std::unique_ptr<AuthSession> m_auth;
    std::unique_ptr<TranscriptionClient> m_link;
    FakeMicrophone m_mic;
    FakePermission m_permission;
    std::unique_ptr<LegRunner> m_runner;
    QStringList m_heard;
    QList<Side> m_sides; // of each final piece heard
};

void TestLegRunner::init()
{
    m_service = std::make_unique<LoopbackService>();
    QVERIFY(m_service->listen());
    {
        QSettings store = ZarnoSettings::standardStore();
        store.clear();
        store.setValue(QStringLiteral("serverURL"), m_service->baseURL());
    }
    m_auth = std::make_unique<AuthSession>();
    m_auth->adopt(QStringLiteral("access-1"), QStringLiteral("refresh-1"),
                  double(QDateTime::currentSecsSinceEpoch() + 24 * 3600), QStringLiteral("ada@example.org"));
    m_link = std::make_unique<TranscriptionClient>();
    m_mic.nextStart = FakeMicrophone::Start::Runs;
    m_permission.current = MicPermission::Status::Authorized;
    m_heard.clear();
    m_sides.clear();
}

void TestLegRunner::cleanup()
{
    m_runner.reset();
    m_link.reset();
    m_auth.reset();
    m_service.reset();
}

void TestLegRunner::makeRunner(std::chrono::milliseconds finalizeLimit)
{
    m_runner = std::make_unique<LegRunner>(
        LegParts{m_link.get(), &m_mic, &m_permission, m_auth.get(), nullptr, 1ms, finalizeLimit, 100ms});
    connect(m_runner.get(), &LegRunner::updated, this, [this](const TranscriptUpdate &update) {
        for (const SpokenPiece &piece : update.pieces)
            if (piece.final) {
                m_heard << piece.text;
                m_sides << piece.source;
            }
    });
}

LegRunner::Start TestLegRunner::started()
{
    std::optional<LegRunner::Start> result;
    [](LegRunner *runner, std::optional<LegRunner::Start> *out) -> QCoro::Task<> {
        *out = co_await runner->start();
    }(m_runner.get(), &result);
    // Gone stands for a start that never ended.
    if (!QTest::qWaitFor([&result] { return result.has_value(); }, 10000))
        return LegRunner::Start{};
    return *result;
}

void TestLegRunner::startSaysWhyALegCannotRun_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("sentence"); // none: the leg runs
    QTest::newRow("runs") << QString() << QString();
    QTest::newRow("no sign-in") << "token" << LegRunner::notSignedInText;
    QTest::newRow("unusable address") << "address" << LegRunner::badServerURLText;
    QTest::newRow("microphone not allowed") << "permission" << LegRunner::micPermissionText;
    QTest::newRow("microphone fails") << "mic"
                                      << LegRunner::micFailedPrefix + QStringLiteral("No audio input device available");
}

void TestLegRunner::startSaysWhyALegCannotRun()
{
    QFETCH(QString, failure);
    QFETCH(QString, sentence);
    if (failure == "token")
        m_auth->signOut();
    else if (failure == "address")
        ZarnoSettings::standardStore().setValue(QStringLiteral("serverURL"), QStringLiteral("localhost:8790"));
    else if (failure == "permission")
        m_permission.current = MicPermission::Status::Denied;
    else if (failure == "mic")
        m_mic.nextStart = FakeMicrophone::Start::Fails;
    makeRunner(150ms);
    const LegRunner::Start start = started();
    QCOMPARE(start.kind, sentence.isEmpty() ? LegRunner::Start::Kind::Ready : LegRunner::Start::Kind::Failed);
    QCOMPARE(start.sentence, sentence);
    // Only a running leg keeps its connection; a failed one leaves none open.
    QTRY_COMPARE(m_link->hasTask(), sentence.isEmpty());
    if (sentence.isEmpty()) {
        QTRY_COMPARE(m_service->connectionCount(), 1);
        m_service->sendToClient(finalTokensJson({"Heard."}));
        QTRY_COMPARE(m_heard, QStringList{"Heard."});
    }
}

void TestLegRunner::finishEndsOnTheServersWord_data()
{
    QTest::addColumn<bool>("answers");
    QTest::addColumn<bool>("resumed"); // a new leg starts during the wait
    QTest::addColumn<bool>("ended");
    QTest::newRow("the server answers") << true << false << true;
    QTest::newRow("the server never answers") << false << false << true;
    QTest::newRow("a new leg takes the link over") << false << true << false;
}

void TestLegRunner::finishEndsOnTheServersWord()
{
    QFETCH(bool, answers);
    QFETCH(bool, resumed);
    QFETCH(bool, ended);
    // One that answers is waited for however long it takes.
    makeRunner(answers ? std::chrono::milliseconds(std::chrono::hours(1)) : 150ms);
    QCOMPARE(started().kind, LegRunner::Start::Kind::Ready);
    QTRY_COMPARE(m_service->connectionCount(), 1);
    if (answers)
        connect(m_service.get(), &LoopbackService::textFrameReceived, this, [this] {
            m_service->sendToClient(finalTokensJson({"Last words."}));
            m_service->sendToClient(finMarkerJson());
        });
    m_runner->stopMic();
    std::optional<bool> result;
    [](LegRunner *runner, std::optional<bool> *out) -> QCoro::Task<> {
        *out = co_await runner->finish();
    }(m_runner.get(), &result);
    if (resumed)
        QCOMPARE(started().kind, LegRunner::Start::Kind::Ready);
    QTRY_VERIFY(result.has_value());
    QCOMPARE(*result, ended);
    QCOMPARE(m_heard, answers ? QStringList{"Last words."} : QStringList{});
    // A finished leg leaves no connection; a new leg keeps its own.
    QCOMPARE(m_link->hasTask(), resumed);
}

// A second of the user, then a second of the computer's sound; the words'
// times count from the first chunk of each leg's connection.
void TestLegRunner::wordsAreMarkedWhereTheyWereHeard()
{
    const auto timedWords = [](const QList<std::pair<qint64, qint64>> &spans) {
        QJsonArray tokens;
        for (const auto &[start, end] : spans)
            tokens.append(QJsonObject{{"text", QStringLiteral(" w%1").arg(start)}, {"is_final", true},
                                      {"start_ms", start}, {"end_ms", end}});
        return QJsonDocument(QJsonObject{{"tokens", tokens}}).toJson(QJsonDocument::Compact);
    };
    const QByteArray chunk(3200, '\0'); // 100 ms
    QList<QByteArray> chunks;
    QList<ChunkSides> sides;
    for (int i = 0; i < 20; ++i) {
        chunks << chunk;
        sides << ChunkSides{.samples = 1600, .micLevel = 0.2f, .systemLevel = 0.2f, .micVoice = i < 10,
                            .systemVoice = i >= 10};
    }
    makeRunner(150ms);
    for (int leg = 0; leg < 2; ++leg) {
        QCOMPARE(started().kind, LegRunner::Start::Kind::Ready);
        QTRY_COMPARE(m_service->connectionCount(), leg + 1);
        // The second leg hears the computer first.
        m_mic.deliver(chunks.mid(leg * 10), sides.mid(leg * 10));
        m_service->sendToClient(timedWords({{100, 600}, {1200, 1800}}));
        QTRY_COMPARE(m_heard.size(), 2 * (leg + 1));
        m_runner->drop();
    }
    QCOMPARE(m_sides, (QList<Side>{Side::Mic, Side::System, Side::System, Side::System}));
}

QTEST_GUILESS_MAIN(TestLegRunner)
#include "tst_legrunner.moc"
