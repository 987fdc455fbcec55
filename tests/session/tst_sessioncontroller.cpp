#include "sessioncontroller.h"
#include "authsession.h"
#include "clock.h"
#include "localzarnoserver.h"
#include "loopbackservice.h"
#include "servermessages.h"
#include "sessionfakes.h"
#include "sessionjournal.h"
#include "serviceclient.h"
#include "settings.h"
#include "transcriptionclient.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QUrlQuery>

using namespace std::chrono_literals;

namespace {

QSettings userStore()
{
    return ZarnoSettings::standardStore();
}

} // namespace

class TestSessionController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void elapsedText_data();
    void elapsedText();
    void clientIdentifierHasItsForm();

    void sessionStartsListeningWithThePanelOpen();
    void startWhileOpenOrStartingChangesNothing();
    void audioReachesTheServerInOrder();
    void legsSumTheirTime();
    void wordsTakeTheTickAlong();
    void shortFirstLegOpensThePanelExpandedAgain();
    void resumeContinuesTheSameSession();
    void newSessionStartsCleanButKeepsTheSavedNotes();
    void serverCloseWhileListeningPausesWithItsSentence_data();
    void serverCloseWhileListeningPausesWithItsSentence();
    void errorWhilePausedOnlySetsTheSentence();
    void refusalDuringSetUpNeverPretendsToListen();
    void failedLegReturnsToWhereTheSessionWas_data();
    void failedLegReturnsToWhereTheSessionWas();
    void permissionIsAskedOnceWhereThePlatformAsks();
    void silentMicrophoneFailsWithinTheShippedLimit();
    void phaseFollowsTheSession_data();
    void phaseFollowsTheSession();
    void meetingPromptOnlyWhileIdle();

    void stoppedSessionIsSavedAsNotes();
    void uploadOutcomes_data();
    void uploadOutcomes();
    void failedUploadIsSavedAgainOnce();
    void blankTranscriptSendsNothing();
    void saveAgainAfterSigningIn();
    void resumeDuringStopKeepsTheSessionGoing();
    void startDuringAnUploadWaitsForTheNotes_data();
    void startDuringAnUploadWaitsForTheNotes();
    void secondStopUploadsOnce();
    void stopRightAfterPauseKeepsTheFinalWords();
    void legEndsOnTheServersWord_data();
    void legEndsOnTheServersWord();
    void utteranceCutMidwayReachesTheNotes_data();
    void utteranceCutMidwayReachesTheNotes();
    void journalKeepsTheSessionUntilTheNotesAreSaved_data();
    void journalKeepsTheSessionUntilTheNotesAreSaved();
    void notesSaverAloneSaysHowTheSaveEnded_data();
    void notesSaverAloneSaysHowTheSaveEnded();
    void failedResumeClosesTheWaitingConnection();
    void panelHideAfterSaveSkipsANewSession();
    void savedNotesOpenInTheMainWindow_data();
    void savedNotesOpenInTheMainWindow();

    void interruptedSessionComesBackPaused_data();
    void interruptedSessionComesBackPaused();
    void unwritableJournalWarnsOnceAndTheSessionGoesOn_data();
    void unwritableJournalWarnsOnceAndTheSessionGoesOn();

private:
    // With the tests' short waits, or with `timing` (the shipped ones); the
    // journal at `journal`, by default in this test's own folder.
    void makeState(std::optional<SessionTiming> timing = std::nullopt, QString journal = {});
    void startAndListen();
    [[nodiscard]] bool listening() const { return m_state->phase() == SessionController::Phase::Listening; }
    // Paused, or closing a leg after a pause or stop.
    [[nodiscard]] bool paused() const { return SessionController::readsPaused(m_state->phase()); }
    void speak(const QByteArray &json, int expectedLines);

    std::unique_ptr<LoopbackService> m_service;
    std::unique_ptr<AuthSession> m_auth;
    FakeMicrophone *m_mic = nullptr;
    FakePermission *m_permission = nullptr;
    FakeDetector *m_detector = nullptr;
    FakePanel m_panel;
    FakePrompt m_prompt;
    FakeHarvest m_harvest;
    FakeWindow m_window;
    std::unique_ptr<QTemporaryDir> m_stateDir;
    std::unique_ptr<SessionController> m_state;
    QDateTime m_now;
};

void TestSessionController::init()
{
    m_now = QDateTime::currentDateTimeUtc();
    Clock::setSource([this] { return m_now; });
    {
        QSettings store = userStore();
        store.clear();
    }
    m_service = std::make_unique<LoopbackService>();
    QVERIFY(m_service->listen());
    userStore().setValue(QStringLiteral("serverURL"), m_service->baseURL());

    m_auth = std::make_unique<AuthSession>();
    m_auth->adopt(QStringLiteral("access-1"), QStringLiteral("refresh-1"),
                  double(m_now.toSecsSinceEpoch() + 24 * 3600), QStringLiteral("ada@example.org"));
    m_panel = FakePanel();
    m_prompt = FakePrompt();
    m_harvest = FakeHarvest();
    m_window = FakeWindow();
    m_stateDir = std::make_unique<QTemporaryDir>();
    makeState();
}

void TestSessionController::cleanup()
{
    m_state.reset();
    m_auth.reset();
    m_service.reset();
    Clock::setSource({});
    // A test may leave a folder where the settings file goes.
    const QString settingsFile = userStore().fileName();
    if (QFileInfo(settingsFile).isDir())
        QDir(settingsFile).removeRecursively();
}

void TestSessionController::makeState(std::optional<SessionTiming> timing, QString journal)
{
    SessionParts parts;
    parts.client = std::make_unique<TranscriptionClient>();
    auto mic = std::make_unique<FakeMicrophone>();
    m_mic = mic.get();
    parts.mic = std::move(mic);
    auto permission = std::make_unique<FakePermission>();
    m_permission = permission.get();
    parts.permission = std::move(permission);
    auto detector = std::make_unique<FakeDetector>();
    m_detector = detector.get();
    parts.detector = std::move(detector);
    parts.auth = m_auth.get();
    parts.notes = &m_auth->client();
    parts.panel = &m_panel;
    parts.prompt = &m_prompt;
    parts.harvest = &m_harvest;
    parts.window = &m_window;
    parts.journal = std::make_unique<SessionJournal>(
        journal.isEmpty() ? m_stateDir->filePath(QStringLiteral("zarno/session.journal")) : journal, 10ms);
    parts.timing.harvestWait = 5ms;
    // The loopback never answers a finalize unless a test tells it to.
    parts.timing.finalizeLimit = 150ms;
    parts.timing.tick = 20ms;
    parts.timing.micTimeout = 100ms;
    parts.timing.hideAfterSave = 200ms;
    parts.timing.requestTimeout = 5000ms;
    if (timing)
        parts.timing = *timing;
    m_state.reset();
    m_state = std::make_unique<SessionController>(std::move(parts));
}

void TestSessionController::startAndListen()
{
    m_state->startListening();
    QTRY_VERIFY(listening());
    QTRY_COMPARE(m_service->connectionCount(), 1);
}

void TestSessionController::speak(const QByteArray &json, int expectedLines)
{
    // A leg is up for the app before the service has taken its socket.
    QTRY_VERIFY(m_service->lastSocket());
    m_service->sendToClient(json);
    QTRY_COMPARE(m_state->transcript()->lines().size(), expectedLines);
}

void TestSessionController::elapsedText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0:00";
    QTest::newRow("under a minute") << qint64(59) << "0:59";
    QTest::newRow("a minute") << qint64(60) << "1:00";
    QTest::newRow("minutes") << qint64(754) << "12:34";
    QTest::newRow("past an hour") << qint64(4503) << "75:03";
}

void TestSessionController::elapsedText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(SessionController::elapsedText(seconds), text);
}

void TestSessionController::clientIdentifierHasItsForm()
{
    const QDateTime at = QDateTime::fromSecsSinceEpoch(1733531234, QTimeZone::utc());
    const QString id = SessionController::makeSourceClientId(at);
    QVERIFY2(QRegularExpression(QStringLiteral("^mac_1733531234_[0-9A-F]{5}$")).match(id).hasMatch(), qPrintable(id));
}

void TestSessionController::sessionStartsListeningWithThePanelOpen()
{
    m_detector->app = QStringLiteral("Zoom");
    m_state->startListening();
    QVERIFY(!listening()); // only once the leg is up
    QTRY_VERIFY(listening());
    QVERIFY(!paused());
    QCOMPARE(m_state->phase(), SessionController::Phase::Listening);
    QCOMPARE(m_state->elapsed(), QStringLiteral("0:00"));
    QCOMPARE(m_harvest.harvests, 1);
    QCOMPARE(m_panel.shows, QList<bool>{true});
    QVERIFY(m_detector->suppressed());
    QCOMPARE(m_prompt.closes, 1);
    QTRY_COMPARE(m_service->connectionCount(), 1);
    const QUrlQuery query(m_service->lastSocketUrl());
    QCOMPARE(query.queryItemValue("token"), QStringLiteral("access-1"));
    QCOMPARE(query.queryItemValue("a"), QStringLiteral("any"));
    QCOMPARE(query.queryItemValue("b"), QStringLiteral("en"));
}

void TestSessionController::startWhileOpenOrStartingChangesNothing()
{
    m_state->startListening();
    m_state->startListening(); // while the first leg is still being set up
    QTRY_VERIFY(listening());
    QTRY_COMPARE(m_service->connectionCount(), 1); // the service has the connection to speak on
    speak(finalTokensJson({"Kept."}), 1);
    const auto id = m_state->sourceClientId();
    m_state->startListening();
    m_state->resumeListening();
    QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Kept."});
    QCOMPARE(m_state->sourceClientId(), id);

    m_state->pauseListening();
    m_state->startListening();
    m_state->pauseListening();
    QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Kept."});
    QVERIFY(paused());
    QCOMPARE(m_mic->starts, 1);
    QCOMPARE(m_service->connectionCount(), 1);
}

void TestSessionController::audioReachesTheServerInOrder()
{
    startAndListen();
    QList<QByteArray> chunks;
    for (int i = 0; i < 50; ++i)
        chunks.append(QByteArray(2730, char(i)));
    m_mic->deliver(chunks);
    QTRY_COMPARE(m_service->audio().size(), 50);
    QCOMPARE(m_service->audio(), chunks);

    m_state->pauseListening();
    QTRY_COMPARE(m_service->textFrames(), QStringList{R"({"type":"finalize"})"});
    QVERIFY(!m_mic->running);
}

void TestSessionController::legsSumTheirTime()
{
    startAndListen();
    m_now = m_now.addSecs(65);
    QTRY_COMPARE(m_state->elapsed(), QStringLiteral("1:05")); // the ticker
    m_state->pauseListening();
    QCOMPARE(m_state->elapsed(), QStringLiteral("1:05"));
    QCOMPARE(m_state->accumulatedSeconds(), 65);

    m_now = m_now.addSecs(500); // paused time does not count
    m_state->resumeListening();
    QTRY_VERIFY(listening());
    QCOMPARE(m_state->elapsed(), QStringLiteral("1:05"));
    m_now = m_now.addSecs(10);
    QTRY_COMPARE(m_state->elapsed(), QStringLiteral("1:15"));
    m_now = m_now.addMSecs(60'900);
    m_state->pauseListening();
    QCOMPARE(m_state->elapsed(), QStringLiteral("2:15"));
}

// Words that come after the time turned show the new time with them, rather
// than a moment later in a wake-up of its own.
void TestSessionController::wordsTakeTheTickAlong()
{
    SessionTiming timing;
    timing.harvestWait = 5ms;
    timing.tick = 1h; // never due within this test
    makeState(timing);
    startAndListen();
    int ticks = 0;
    connect(m_state.get(), &SessionController::changed, this, [&ticks](SessionController::Changes what) {
        ticks += what & SessionController::Change::Elapsed ? 1 : 0;
    });
    m_now = m_now.addMSecs(900);
    speak(finalTokensJson({"Almost."}), 1);
    QCOMPARE(ticks, 0);
    m_now = m_now.addSecs(64);
    speak(finalTokensJson({" Now."}), 2);
    QCOMPARE(m_state->elapsed(), QStringLiteral("1:04"));
    QCOMPARE(ticks, 1);
}

void TestSessionController::shortFirstLegOpensThePanelExpandedAgain()
{
    startAndListen();
    m_now = m_now.addMSecs(900);
    m_state->pauseListening();
    QCOMPARE(m_state->accumulatedSeconds(), 0);
    m_state->resumeListening();
    QTRY_VERIFY(listening());
    m_now = m_now.addSecs(2);
    m_state->pauseListening();
    m_state->resumeListening();
    QTRY_VERIFY(listening());
    QCOMPARE(m_panel.shows, (QList<bool>{true, true, false}));
}

void TestSessionController::resumeContinuesTheSameSession()
{
    startAndListen();
    m_service->sendToClient(R"({"tokens":[{"text":"Hello","is_final":true},{"text":" wor","is_final":false}]})");
    QTRY_COMPARE(m_state->transcript()->partial(), QStringLiteral(" wor"));
    const auto id = m_state->sourceClientId();
    const auto started = m_state->sessionStartedAt();
    m_state->pauseListening();
    m_now = m_now.addSecs(30);
    m_state->resumeListening();
    QTRY_VERIFY(listening());
    QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Hello"});
    QCOMPARE(m_state->transcript()->partial(), QStringLiteral(" wor"));
    QCOMPARE(m_state->sourceClientId(), id);
    QCOMPARE(m_state->sessionStartedAt(), started);

    m_service->sendToClient(finalTokensJson({" world."})); // the open line of the first leg goes on
    QTRY_COMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Hello world."});
}

void TestSessionController::newSessionStartsCleanButKeepsTheSavedNotes()
{
    startAndListen();
    speak(finalTokensJson({"First."}), 1);
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    QCOMPARE(m_state->savedSessionIdText(), QStringLiteral("notes-1"));
    const auto firstId = m_state->sourceClientId();

    m_now = m_now.addSecs(5);
    m_state->startListening();
    QCOMPARE(m_state->saveState(), SaveState::idle());
    QVERIFY(m_state->transcript()->lines().isEmpty());
    QCOMPARE(m_state->savedSessionIdText(), QStringLiteral("notes-1"));
    QVERIFY(m_state->sourceClientId() != firstId);
    QTRY_VERIFY(listening());
}

void TestSessionController::serverCloseWhileListeningPausesWithItsSentence_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("sentence");
    QTest::newRow("quota") << 4402 << "Translation quota reached for this plan.";
    QTest::newRow("another session") << 4409 << "Another zarno session is already listening on this account.";
    QTest::newRow("expired") << 4401 << "Sign-in expired — open zarno and sign in again.";
    // Not the server: the microphone stops under the leg (code 0).
    QTest::newRow("microphone stops") << 0 << "The microphone stopped — check the sound settings, then Resume.";
}

void TestSessionController::serverCloseWhileListeningPausesWithItsSentence()
{
    QFETCH(int, code);
    QFETCH(QString, sentence);
    const auto breakLeg = [&] {
        if (code == 0)
            m_mic->fail();
        else
            m_service->closeClient(code, QStringLiteral("ignored"));
    };
    startAndListen();
    speak(finalTokensJson({"Said before."}), 1);
    m_now = m_now.addSecs(12);
    breakLeg();
    QTRY_VERIFY(paused());
    QVERIFY(!listening());
    QTRY_COMPARE(m_state->lastErrorText(), sentence);
    QVERIFY(paused());
    QCOMPARE(m_state->elapsed(), QStringLiteral("0:12"));
    QVERIFY(!m_mic->running);
    if (code == 0) // the connection is still up: the words in flight arrive
        speak(finalTokensJson({"Still heard."}), 2);
    QTRY_COMPARE(m_state->phase(), SessionController::Phase::Paused);
    const QStringList kept = lineTexts(m_state->transcript()->lines());
    QCOMPARE(kept, (code == 0 ? QStringList{"Said before.", "Still heard."} : QStringList{"Said before."}));

    m_state->resumeListening(); // the user can go on
    QVERIFY(!m_state->lastError());
    QTRY_VERIFY(listening());

    // Saved at last: the lost connection is no longer what the session says.
    breakLeg();
    QTRY_VERIFY(paused());
    QTRY_COMPARE(m_state->lastErrorText(), sentence);
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState().kind(), SaveState::Kind::Saved);
    QVERIFY(!m_state->lastError());
    QStringList saved;
    for (const QJsonValue &entry : QJsonDocument::fromJson(m_service->uploads().first().body).object()["entries"].toArray())
        saved.append(entry.toObject()["text"].toString());
    QCOMPARE(saved, kept);
}

void TestSessionController::phaseFollowsTheSession_data()
{
    using Phase = SessionController::Phase;
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<Phase>>("phases");

    QTest::newRow("start") << QStringList{"start"} << QList<Phase>{Phase::Starting, Phase::Listening};
    QTest::newRow("pause waits for the final words, then resumes")
        << QStringList{"start", "pause", "resume"}
        << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Closing, Phase::Paused, Phase::Starting,
                        Phase::Listening};
    // Never idle on the way: the user would see "Watching for meetings".
    QTest::newRow("stop closes, then uploads")
        << QStringList{"start", "speak", "stop"}
        << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Closing, Phase::Uploading,
                        Phase::Idle};
    QTest::newRow("stop without words uploads nothing")
        << QStringList{"start", "stop"}
        << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Closing, Phase::Idle};
    QTest::newRow("failed upload keeps the session paused")
        << QStringList{"start", "speak", "failUploads", "stop"}
        << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Closing, Phase::Uploading,
                        Phase::Paused};
    QTest::newRow("microphone failure with nothing to keep")
        << QStringList{"failMic", "start"} << QList<Phase>{Phase::Starting, Phase::Idle};
    QTest::newRow("failed resume keeps the transcript")
        << QStringList{"start", "speak", "pause", "failMic", "resume"}
        << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Closing, Phase::Paused, Phase::Starting,
                        Phase::Paused};
    QTest::newRow("microphone stopping pauses after the final words")
        << QStringList{"start", "speak", "micStops"}
        << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Closing, Phase::Paused};
    QTest::newRow("server close pauses at once")
        << QStringList{"start", "speak", "drop"}
        << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Paused};
    QTest::newRow("server close before any words ends the session")
        << QStringList{"start", "drop"} << QList<Phase>{Phase::Starting, Phase::Listening, Phase::Paused, Phase::Idle};
}

void TestSessionController::phaseFollowsTheSession()
{
    using Phase = SessionController::Phase;
    QFETCH(QStringList, steps);
    QFETCH(QList<Phase>, phases);

    QList<Phase> seen;
    QObject::connect(m_state.get(), &SessionController::changed, m_state.get(),
                     [&seen, this](SessionController::Changes what) {
                         if (what & SessionController::Change::Phase)
                             seen.append(m_state->phase());
                     });
    const auto settled = [this] {
        const Phase phase = m_state->phase();
        return phase != Phase::Starting && phase != Phase::Closing && phase != Phase::Uploading;
    };
    for (const QString &step : steps) {
        if (step == "start")
            m_state->startListening();
        else if (step == "pause")
            m_state->pauseListening();
        else if (step == "resume")
            m_state->resumeListening();
        else if (step == "stop")
            m_state->stopAndSave();
        else if (step == "speak")
            speak(finalTokensJson({"Said."}), int(m_state->transcript()->lines().size()) + 1);
        else if (step == "drop") {
            // The leg can be up before the service has taken its socket.
            QTRY_VERIFY(m_service->lastSocket());
            m_service->closeClient(4402);
        }
        else if (step == "micStops")
            m_mic->fail();
        else if (step == "failMic")
            m_mic->nextStart = FakeMicrophone::Start::Fails;
        else if (step == "failUploads")
            m_service->uploadStatus = 500;
        QTRY_VERIFY(settled());
        if (step == "drop" || step == "micStops")
            QTRY_VERIFY(m_state->phase() != Phase::Listening && settled());
    }
    QCOMPARE(seen, phases);
}

void TestSessionController::errorWhilePausedOnlySetsTheSentence()
{
    startAndListen();
    m_state->pauseListening();
    // The server answers the finalize with an error before the socket closes.
    QTRY_COMPARE(m_service->textFrames().size(), 1);
    m_service->sendToClient(R"({"error_code":503,"error_message":"busy"})");
    QTRY_COMPARE(m_state->lastErrorText(), QStringLiteral("Server error 503: busy"));
    QVERIFY(paused());
    QVERIFY(paused());
}

void TestSessionController::refusalDuringSetUpNeverPretendsToListen()
{
    m_mic->nextStart = FakeMicrophone::Start::Held; // the server answers first
    connect(m_service.get(), &LoopbackService::connected, this, [this] { m_service->closeClient(4403); });
    QList<SessionController::Phase> phases;
    connect(m_state.get(), &SessionController::changed, this, [&](SessionController::Changes what) {
        if (what & SessionController::Change::Phase)
            phases.append(m_state->phase());
    });
    m_state->startListening();
    QTRY_COMPARE(m_state->lastErrorText(), QStringLiteral("Sign-in expired — open zarno and sign in again."));
    QVERIFY(m_mic->isHeld());
    QVERIFY(m_mic->release()); // the device comes up only after the refusal
    QTRY_VERIFY(!(m_state->phase() == SessionController::Phase::Starting));
    QVERIFY(!listening());
    QVERIFY(!paused());
    QVERIFY(!phases.contains(SessionController::Phase::Listening));
    QVERIFY(!m_mic->running);
    QCOMPARE(m_mic->starts, 1);
}

void TestSessionController::failedLegReturnsToWhereTheSessionWas_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("resumed");
    QTest::addColumn<bool>("heard"); // words before the pause
    QTest::addColumn<QString>("sentence");
    const QList<std::pair<const char *, QString>> failures = {
        {"mic", "Microphone failed: No audio input device available"},
        {"hang", "Microphone failed: The microphone didn't respond. Reconnect your audio device and try again."},
        {"permission",
         "zarno can't hear you yet — allow the microphone in System Settings → Privacy & Security → Microphone."},
        {"token", "Not signed in yet — Open zarno, log in inside that window once, then try again."},
        {"address", "Server URL is not valid."},
        {"settings", QStringLiteral("zarno can't read its settings file %1 — make it a file you can read, or move it away.")
                         .arg(QFileInfo(userStore().fileName()).absoluteFilePath())},
    };
    for (const auto &[failure, sentence] : failures) {
        QTest::addRow("%s, first leg", failure) << QString::fromLatin1(failure) << false << false << sentence;
        QTest::addRow("%s, resumed leg", failure) << QString::fromLatin1(failure) << true << true << sentence;
        QTest::addRow("%s, resumed leg that heard nothing", failure)
            << QString::fromLatin1(failure) << true << false << sentence;
    }
}

void TestSessionController::failedLegReturnsToWhereTheSessionWas()
{
    QFETCH(QString, failure);
    QFETCH(bool, resumed);
    QFETCH(bool, heard);
    QFETCH(QString, sentence);
    if (resumed) {
        startAndListen();
        if (heard)
            speak(finalTokensJson({"Keep me."}), 1);
        m_state->pauseListening();
        QTRY_VERIFY(paused());
    }
    if (failure == "mic")
        m_mic->nextStart = FakeMicrophone::Start::Fails;
    else if (failure == "hang")
        m_mic->nextStart = FakeMicrophone::Start::Hangs;
    else if (failure == "permission")
        m_permission->current = MicPermission::Status::Denied;
    else if (failure == "token")
        m_auth->signOut();
    else if (failure == "settings") {
        // No sign-in, and a folder where the settings file goes: the file is named.
        m_auth->signOut();
        const QString settingsFile = userStore().fileName();
        QVERIFY(QFile::remove(settingsFile));
        QVERIFY(QDir().mkpath(settingsFile));
    } else
        userStore().setValue("serverURL", "localhost:8790");

    if (resumed)
        m_state->resumeListening();
    else
        m_state->startListening();
    QTRY_COMPARE(m_state->lastErrorText(), sentence);
    QTRY_VERIFY(!(m_state->phase() == SessionController::Phase::Starting));
    QVERIFY(!listening());
    // A session with a transcript stays open so it can be resumed or saved;
    // a first leg that never ran leaves nothing behind.
    QCOMPARE(paused(), heard);
    QCOMPARE(lineTexts(m_state->transcript()->lines()), heard ? QStringList{"Keep me."} : QStringList{});
    // The sentence is on screen: the panel is up and expanded.
    QVERIFY(m_panel.visible);
    QVERIFY(m_panel.isExpanded);
    // Only an open session keeps meetings from being noticed.
    QCOMPARE(m_detector->suppressed(), heard);
    if (!heard)
        QCOMPARE(m_state->phase(), SessionController::Phase::Idle);
}

// The shipped limit, checked through what a person meets: a microphone that
// never answers fails the start within about four seconds, with its sentence.
void TestSessionController::silentMicrophoneFailsWithinTheShippedLimit()
{
    makeState(SessionTiming{});
    m_mic->nextStart = FakeMicrophone::Start::Hangs;
    QElapsedTimer waited;
    waited.start();
    m_state->startListening();
    const QDeadlineTimer patience(10000);
    while (!m_state->lastError() && !patience.hasExpired())
        QTest::qWait(50);
    QCOMPARE(m_state->lastErrorText(),
             QStringLiteral("Microphone failed: The microphone didn't respond. Reconnect your audio device and try again."));
    QVERIFY2(waited.elapsed() >= 3000 && waited.elapsed() <= 6000, qPrintable(QString::number(waited.elapsed())));
    QVERIFY(!listening());
}

void TestSessionController::permissionIsAskedOnceWhereThePlatformAsks()
{
    m_permission->current = MicPermission::Status::NotDetermined;
    m_permission->grants = false;
    m_state->startListening();
    QTRY_VERIFY(m_state->lastError().has_value());
    QCOMPARE(m_permission->requests, 1);
    QCOMPARE(m_mic->starts, 0);

    m_permission->grants = true;
    m_state->startListening();
    QTRY_VERIFY(listening());
    QCOMPARE(m_permission->requests, 2);
}

void TestSessionController::meetingPromptOnlyWhileIdle()
{
    m_detector->publish(QStringLiteral("Zoom"));
    QCOMPARE(m_prompt.shown, QStringList{"Zoom"});
    m_prompt.dismiss();
    QVERIFY(!m_detector->app);
    QVERIFY(!(m_state->phase() == SessionController::Phase::Starting));

    m_detector->publish(QStringLiteral("Microsoft Teams"));
    m_prompt.take();
    QVERIFY(!m_detector->app);
    QTRY_VERIFY(listening());

    m_detector->setDetectedApp(QStringLiteral("Webex")); // even unsuppressed
    m_state->pauseListening();
    m_detector->setDetectedApp(QStringLiteral("Webex"));
    QCOMPARE(m_prompt.shown, (QStringList{"Zoom", "Microsoft Teams"}));
}

void TestSessionController::stoppedSessionIsSavedAsNotes()
{
    QSettings store = userStore();
    store.setValue("languageA", "en");
    store.setValue("languageB", "es");
    store.setValue("transcriptOnly", true);
    const QDateTime started = m_now;
    startAndListen();

    m_now = m_now.addSecs(3);
    speak(finalTokensJson({"  Good morning.\t"}, false, "en"), 1);
    m_now = m_now.addSecs(1);
    // No language: the target language stands in. A speaker is saved as told.
    speak(R"({"tokens":[{"text":" Buenos días.","is_final":true,"translation_status":"translation","speaker":"2"}]})",
          2);
    m_now = m_now.addSecs(1);
    speak(finalTokensJson({" "}), 3);                    // blank: not saved
    m_now = m_now.addSecs(1);
    speak(finalTokensJson({"\n"}, true), 4);             // a line break is content
    const qint64 lastLineAt = m_now.toMSecsSinceEpoch();
    m_now = m_now.addSecs(20);

    int hidesWhenSaved = -1;
    connect(m_state.get(), &SessionController::changed, this, [&] {
        if (m_state->saveState() == SaveState::saved() && hidesWhenSaved < 0)
            hidesWhenSaved = m_panel.hides;
    });
    m_state->stopAndSave();
    QVERIFY(paused()); // during the final wait
    QTRY_COMPARE(m_service->textFrames(), QStringList{R"({"type":"finalize"})"});
    QTRY_COMPARE(m_service->uploads().size(), 1);
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    QVERIFY(!paused());
    QCOMPARE(m_state->phase(), SessionController::Phase::Idle);
    QVERIFY(!m_detector->suppressed());
    QVERIFY(m_state->transcript()->lines().isEmpty());
    QCOMPARE(m_state->transcript()->partial(), QString());
    QCOMPARE(m_state->savedSessionIdText(), QStringLiteral("notes-1"));

    const LoopbackService::Upload &upload = m_service->uploads().first();
    QCOMPARE(upload.contentType, QByteArray("application/json"));
    QCOMPARE(upload.authorization, QByteArray("Bearer access-1"));
    QVERIFY(!upload.body.contains('\n')); // compact
    const QJsonObject body = QJsonDocument::fromJson(upload.body).object();
    QCOMPARE(body.keys().size(), 8);
    QCOMPARE(body["sourceClientId"].toString(), *m_state->sourceClientId());
    QCOMPARE(body["startedAt"].toInteger(), started.toMSecsSinceEpoch());
    QCOMPARE(body["endedAt"].toInteger(), lastLineAt);
    QCOMPARE(body["sourceLanguage"].toString(), QStringLiteral("en"));
    QCOMPARE(body["targetLanguage"].toString(), QStringLiteral("es"));
    QCOMPARE(body["onlyTranscript"].toBool(), true);
    QCOMPARE(body["timezone"].toString(), QString::fromUtf8(QTimeZone::systemTimeZoneId()));
    const QJsonArray entries = body["entries"].toArray();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[0].toObject(), (QJsonObject{{"t", started.addSecs(3).toMSecsSinceEpoch()},
                                                 {"text", "Good morning."},
                                                 {"lang", "en"},
                                                 {"translated", false},
                                                 {"source", "mic"}}));
    QCOMPARE(entries[1].toObject()["lang"].toString(), QStringLiteral("es"));
    QCOMPARE(entries[1].toObject()["speaker"].toString(), QStringLiteral("2"));
    QCOMPARE(entries[1].toObject()["translated"].toBool(), true);
    QCOMPARE(entries[2].toObject()["text"].toString(), QStringLiteral("\n"));
    QCOMPARE(entries[2].toObject()["translated"].toBool(), true);

    // An expanded panel stays up to show the result, then goes.
    QCOMPARE(hidesWhenSaved, 0);
    QTRY_COMPARE(m_panel.hides, 1);
}

void TestSessionController::uploadOutcomes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("id");
    QTest::newRow("200 with an id") << 200 << QByteArray(R"({"session":{"id":"m-42"}})") << true << "m-42";
    QTest::newRow("200 with nothing") << 200 << QByteArray("{}") << true << QString();
    QTest::newRow("200 with a numeric id") << 200 << QByteArray(R"({"session":{"id":42}})") << true << QString();
    QTest::newRow("200 not JSON") << 200 << QByteArray("saved!") << true << QString();
    QTest::newRow("201") << 201 << QByteArray(R"({"session":{"id":"m-1"}})") << false << QString();
    QTest::newRow("204") << 204 << QByteArray() << false << QString();
    QTest::newRow("401") << 401 << QByteArray() << false << QString();
    QTest::newRow("500") << 500 << QByteArray() << false << QString();
}

void TestSessionController::uploadOutcomes()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(bool, saved);
    QFETCH(QString, id);
    m_service->uploadStatus = status;
    m_service->uploadAnswer = answer;
    startAndListen();
    speak(finalTokensJson({"Notes."}), 1);
    m_state->pauseListening();
    m_state->stopAndSave(); // from paused: at once
    QTRY_VERIFY(m_state->saveState() == SaveState::saved()
                || m_state->saveState().kind() == SaveState::Kind::Failed);
    if (saved) {
        QCOMPARE(m_state->savedSessionId().has_value(), !id.isEmpty());
        QCOMPARE(m_state->savedSessionIdText(), id);
        QVERIFY(m_state->transcript()->lines().isEmpty());
        QVERIFY(!paused());
    } else {
        QCOMPARE(m_state->saveState(),
                 SaveState::failed("Saving failed — the transcript is still here; try Save again."));
        QVERIFY(paused());
        QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Notes."});
    }
}

void TestSessionController::failedUploadIsSavedAgainOnce()
{
    m_service->uploadStatus = 500;
    startAndListen();
    speak(finalTokensJson({"One.", " Two."}), 2);
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState().kind(), SaveState::Kind::Failed);
    QVERIFY(paused());

    m_service->uploadStatus = 200;
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    QCOMPARE(m_service->uploads().size(), 2);
    QCOMPARE(m_service->uploads().at(0).body, m_service->uploads().at(1).body);
}

void TestSessionController::blankTranscriptSendsNothing()
{
    startAndListen();
    speak(finalTokensJson({" \t "}), 1);
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->phase(), SessionController::Phase::Idle);
    QTest::qWait(50);
    QCOMPARE(m_service->uploads().size(), 0);
    QCOMPARE(m_state->saveState(), SaveState::idle());
    QCOMPARE(m_state->lastErrorText(), QStringLiteral("Nothing to save — no words were heard."));
}

void TestSessionController::saveAgainAfterSigningIn()
{
    startAndListen();
    speak(finalTokensJson({"Precious words."}), 1);
    m_state->pauseListening();
    m_auth->signOut();
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState(), SaveState::failed("Couldn't save — sign in again in the zarno window."));
    QVERIFY(!paused());
    QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Precious words."});

    m_auth->adopt("access-2", "refresh-2", double(m_now.toSecsSinceEpoch() + 3600), std::nullopt);
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    QCOMPARE(m_service->uploads().size(), 1);
    QCOMPARE(m_service->uploads().first().authorization, QByteArray("Bearer access-2"));
}

void TestSessionController::resumeDuringStopKeepsTheSessionGoing()
{
    startAndListen();
    speak(finalTokensJson({"Before."}), 1);
    m_state->stopAndSave();
    QVERIFY(paused());
    m_state->resumeListening(); // within the final wait
    QTRY_VERIFY(listening());
    QTest::qWait(300); // past the stop's wait
    QVERIFY(listening());
    QCOMPARE(m_service->uploads().size(), 0);
    speak(finalTokensJson({" After."}), 2);
    QCOMPARE(m_service->lastSocket()->state(), QAbstractSocket::ConnectedState);
}

void TestSessionController::startDuringAnUploadWaitsForTheNotes_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("saved, then the new session starts") << 200;
    QTest::newRow("failed: the old transcript stays") << 500;
}

void TestSessionController::startDuringAnUploadWaitsForTheNotes()
{
    QFETCH(int, status);
    m_service->holdUploads = true;
    m_service->uploadStatus = status;
    startAndListen();
    speak(finalTokensJson({"Old session."}), 1);
    m_state->stopAndSave();
    QTRY_COMPARE(m_service->uploads().size(), 1);
    QCOMPARE(m_state->phase(), SessionController::Phase::Uploading);

    m_state->startListening(); // e.g. a meeting prompt answered right away
    QVERIFY(!(m_state->phase() == SessionController::Phase::Starting));
    QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Old session."});
    m_service->releaseUpload();
    if (status == 200) {
        QTRY_VERIFY(listening());
        QCOMPARE(m_state->savedSessionIdText(), QStringLiteral("notes-1"));
        QCOMPARE(m_state->saveState(), SaveState::idle());
        QVERIFY(m_state->transcript()->lines().isEmpty());
    } else {
        QTRY_COMPARE(m_state->saveState().kind(), SaveState::Kind::Failed);
        QVERIFY(paused());
        QVERIFY(!(m_state->phase() == SessionController::Phase::Starting));
        QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Old session."});
    }
}

void TestSessionController::secondStopUploadsOnce()
{
    m_service->holdUploads = true;
    startAndListen();
    speak(finalTokensJson({"Once."}), 1);
    m_state->stopAndSave();
    m_state->stopAndSave(); // a double click, or the panel and the menu
    QTRY_COMPARE(m_service->uploads().size(), 1);
    m_state->stopAndSave();
    m_service->releaseUpload();
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    QTest::qWait(300);
    QCOMPARE(m_service->uploads().size(), 1);
}

void TestSessionController::stopRightAfterPauseKeepsTheFinalWords()
{
    startAndListen();
    speak(finalTokensJson({"Almost"}), 1);
    // The server answers the finalize with the last words.
    connect(m_service.get(), &LoopbackService::textFrameReceived, this,
            [this] { m_service->sendToClient(finalTokensJson({" done."})); });
    m_state->pauseListening();
    m_state->stopAndSave(); // within the pause's wait
    QTRY_COMPARE(m_service->uploads().size(), 1);
    const QJsonArray entries = QJsonDocument::fromJson(m_service->uploads().first().body)["entries"].toArray();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]["text"].toString(), QStringLiteral("Almost done."));
}

namespace {

// How a leg is ended, and how the server answers its finalize.
enum class Ending { Stop, Pause, MicrophoneFails };
enum class Answer { Marker, Finished, Never };

} // namespace

void TestSessionController::legEndsOnTheServersWord_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<Answer>("answer");
    QTest::newRow("stop, <fin>") << Ending::Stop << Answer::Marker;
    QTest::newRow("pause, <fin>") << Ending::Pause << Answer::Marker;
    QTest::newRow("microphone fails, <fin>") << Ending::MicrophoneFails << Answer::Marker;
    QTest::newRow("stop, stream finished") << Ending::Stop << Answer::Finished;
    QTest::newRow("pause, stream finished") << Ending::Pause << Answer::Finished;
    QTest::newRow("stop, never answers") << Ending::Stop << Answer::Never;
    QTest::newRow("pause, never answers") << Ending::Pause << Answer::Never;
    QTest::newRow("microphone fails, never answers") << Ending::MicrophoneFails << Answer::Never;
}

void TestSessionController::legEndsOnTheServersWord()
{
    QFETCH(Ending, ending);
    QFETCH(Answer, answer);
    // A server that answers is waited for however long it takes (the test
    // would time out on a wait for the limit); one that never answers ends
    // the leg at the limit.
    SessionTiming timing;
    timing.harvestWait = 5ms;
    timing.finalizeLimit = answer == Answer::Never ? 150ms : std::chrono::milliseconds(std::chrono::hours(1));
    makeState(timing);
    startAndListen();
    speak(finalTokensJson({"Said"}), 1);
    connect(m_service.get(), &LoopbackService::textFrameReceived, this, [this, answer] {
        m_service->sendToClient(finalTokensJson({" late", " words."}));
        if (answer == Answer::Marker)
            m_service->sendToClient(finMarkerJson());
        else if (answer == Answer::Finished)
            m_service->sendToClient(R"({"tokens":[],"finished":true})");
    });
    if (ending == Ending::Stop) {
        m_state->stopAndSave();
    } else {
        if (ending == Ending::Pause)
            m_state->pauseListening();
        else
            m_mic->fail();
        QTRY_COMPARE(m_state->phase(), SessionController::Phase::Paused);
        QCOMPARE(lineTexts(m_state->transcript()->lines()), QStringList{"Said late words."});
        m_state->stopAndSave();
    }
    QTRY_COMPARE(m_service->uploads().size(), 1);
    const QJsonArray entries = QJsonDocument::fromJson(m_service->uploads().first().body)["entries"].toArray();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]["text"].toString(), QStringLiteral("Said late words."));
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    // The markers are never words.
    QVERIFY(!m_service->uploads().first().body.contains("<fin>"));
}

void TestSessionController::utteranceCutMidwayReachesTheNotes_data()
{
    QTest::addColumn<int>("cutMs");
    QTest::addColumn<bool>("micFails");
    QTest::addColumn<QString>("heard");
    // goforward.raw says "go forward ten meters" and is quiet after 2.2 s.
    for (const bool micFails : {false, true}) {
        const char *how = micFails ? "microphone fails" : "pause";
        QTest::addRow("%s after \"go forward\"", how) << 1300 << micFails << QStringLiteral("forward");
        QTest::addRow("%s after \"ten\"", how) << 1800 << micFails << QStringLiteral("ten");
        QTest::addRow("%s as the speech ends", how) << 2200 << micFails << QStringLiteral("meters");
    }
}

void TestSessionController::utteranceCutMidwayReachesTheNotes()
{
    QFETCH(int, cutMs);
    QFETCH(bool, micFails);
    QFETCH(QString, heard);
    QFile recording(QStringLiteral("/usr/share/pocketsphinx/test/data/goforward.raw"));
    if (!recording.open(QIODevice::ReadOnly))
        QSKIP("goforward.raw is missing (scripts/setup --test installs pocketsphinx-testdata)");
    LocalZarnoServer server(QStringLiteral(ZARNO_SERVER_BINARY));
    QVERIFY(server.start());
    userStore().setValue(QStringLiteral("serverURL"), server.baseURL());
    m_auth->adopt(server.accessToken(), server.refreshToken(), double(QDateTime::currentSecsSinceEpoch() + 3600),
                  QStringLiteral("ada@example.org"));
    SessionTiming timing;
    timing.harvestWait = 5ms;
    timing.finalizeLimit = std::chrono::minutes(1); // the recogniser's answer ends the leg, not this
    makeState(timing);
    m_state->startListening();
    QTRY_COMPARE(m_state->phase(), SessionController::Phase::Listening);

    // All at once: the recogniser is still working through the audio when
    // the leg ends, as a slow machine would be mid-utterance.
    const QByteArray speech = recording.readAll().left(cutMs * 32);
    QList<QByteArray> chunks;
    for (qsizetype at = 0; at < speech.size(); at += 2720)
        chunks.append(speech.mid(at, 2720));
    m_mic->deliver(chunks);
    if (micFails)
        m_mic->fail();
    else
        m_state->pauseListening();
    QTRY_COMPARE_WITH_TIMEOUT(m_state->phase(), SessionController::Phase::Paused, 30000);
    m_state->stopAndSave();
    QTRY_COMPARE_WITH_TIMEOUT(m_state->saveState(), SaveState::saved(), 10000);
    QVERIFY(m_state->savedSessionId());

    QString text;
    for (const QJsonValue entry : server.notes(*m_state->savedSessionId())[QStringLiteral("session")][QStringLiteral("entries")].toArray())
        text += entry[QStringLiteral("text")].toString() + u' ';
    QVERIFY2(text.contains(heard, Qt::CaseInsensitive), qPrintable(text));
}

void TestSessionController::journalKeepsTheSessionUntilTheNotesAreSaved_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<int>("uploadStatus");
    QTest::newRow("pause") << Ending::Pause << 0;
    QTest::newRow("microphone fails") << Ending::MicrophoneFails << 0;
    QTest::newRow("stop, saved") << Ending::Stop << 200;
    QTest::newRow("stop, save refused") << Ending::Stop << 500;
}

void TestSessionController::journalKeepsTheSessionUntilTheNotesAreSaved()
{
    QFETCH(Ending, ending);
    QFETCH(int, uploadStatus);
    const QString path = m_stateDir->filePath(QStringLiteral("zarno/session.journal"));
    // What a zarno killed at this moment would find.
    const auto onDisk = [path] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? readJournal(file.readAll(), QDateTime::currentDateTimeUtc()) : JournalReading();
    };
    m_service->holdUploads = true;
    m_service->uploadStatus = uploadStatus;
    startAndListen();
    speak(finalTokensJson({"Keep this."}), 1);
    // The leg's end is what records its length: no tick comes between.
    m_now = m_now.addSecs(65);
    if (ending == Ending::Pause)
        m_state->pauseListening();
    else if (ending == Ending::MicrophoneFails)
        m_mic->fail();
    else
        m_state->stopAndSave();
    QTRY_VERIFY(m_state->phase() == SessionController::Phase::Paused || !m_service->uploads().isEmpty());
    QTRY_COMPARE(onDisk().session.seconds, qint64(65));
    QCOMPARE(onDisk().kind, JournalReading::Kind::Session);
    QCOMPARE(lineTexts(onDisk().session.lines), QStringList{"Keep this."});
    if (ending != Ending::Stop)
        return;
    // The upload is in flight: the notes are not safe until the service says so.
    QCOMPARE(onDisk().kind, JournalReading::Kind::Session);
    m_service->releaseUpload();
    QTRY_VERIFY(m_state->phase() != SessionController::Phase::Uploading);
    QCOMPARE(onDisk().kind, uploadStatus == 200 ? JournalReading::Kind::Empty : JournalReading::Kind::Session);
}

void TestSessionController::notesSaverAloneSaysHowTheSaveEnded_data()
{
    using Kind = NotesSaver::Outcome::Kind;
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<Kind>("kind");
    QTest::newRow("saved") << 200 << true << Kind::Saved;
    QTest::newRow("refused") << 500 << true << Kind::Failed;
    QTest::newRow("created is not saved") << 201 << true << Kind::Failed;
    QTest::newRow("signed out") << 200 << false << Kind::NoSignIn;
}

void TestSessionController::notesSaverAloneSaysHowTheSaveEnded()
{
    using Kind = NotesSaver::Outcome::Kind;
    QFETCH(int, status);
    QFETCH(bool, signedIn);
    QFETCH(Kind, kind);
    m_state.reset(); // the saver alone, with no controller around it
    m_service->uploadStatus = status;
    if (!signedIn)
        m_auth->signOut();
    const QString path = m_stateDir->filePath(QStringLiteral("saver/session.journal"));
    SessionJournal journal(path, 10ms);
    Transcript transcript;
    journal.follow(&transcript);
    journal.beginSession({m_now, QStringLiteral("mac_1_ABCDE"), QStringLiteral("en"), QStringLiteral("es"), false});
    transcript.apply(message({token(QStringLiteral("Kept."), true)}));
    NotesSaver saver({m_auth.get(), &m_auth->client(), &journal, 5000ms});

    const NotesSession session{m_now, QStringLiteral("mac_1_ABCDE")};
    const NotesSaver::Outcome outcome = QCoro::waitFor(saver.save(transcript.lines(), session, std::nullopt));
    QCOMPARE(outcome.kind, kind);
    QCOMPARE(outcome.sessionId, kind == Kind::Saved ? std::optional<QString>(QStringLiteral("notes-1")) : std::nullopt);
    QCOMPARE(m_service->uploads().size(), signedIn ? 1 : 0);
    // The journal goes only with notes the service has.
    QFile file(path);
    const JournalReading left = file.open(QIODevice::ReadOnly) ? readJournal(file.readAll(), QDateTime::currentDateTimeUtc()) : JournalReading();
    QCOMPARE(left.kind, kind == Kind::Saved ? JournalReading::Kind::Empty : JournalReading::Kind::Session);
}

void TestSessionController::failedResumeClosesTheWaitingConnection()
{
    startAndListen();
    speak(finalTokensJson({"Here."}), 1);
    QWebSocket *first = m_service->lastSocket();
    m_state->pauseListening();
    m_auth->signOut();
    m_state->resumeListening(); // within the pause's wait, and it fails
    QTRY_COMPARE(m_state->lastErrorText(), SessionController::notSignedInText);
    QVERIFY(paused());
    QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
}

void TestSessionController::panelHideAfterSaveSkipsANewSession()
{
    startAndListen();
    speak(finalTokensJson({"Saved soon."}), 1);
    // The new session begins as soon as the notes are saved, well inside the
    // hide's wait however slowly this machine runs.
    connect(m_state.get(), &SessionController::changed, this, [this] {
        if (m_state->saveState() == SaveState::saved() && m_state->phase() == SessionController::Phase::Idle)
            m_state->startListening();
    });
    m_state->stopAndSave();
    QTRY_VERIFY(listening());
    QTest::qWait(400); // past the hide's wait
    QCOMPARE(m_panel.hides, 0);
}

void TestSessionController::savedNotesOpenInTheMainWindow_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("loaded");
    QTest::newRow("saved notes") << "http://127.0.0.1:9/x?y=1" << "a b&c" << "http://127.0.0.1:9/app?meeting=a%20b%26c";
    QTest::newRow("nothing saved") << "http://127.0.0.1:9/x?y=1" << "" << "http://127.0.0.1:9/app?y=1";
    QTest::newRow("unusable address") << "127.0.0.1:9" << "m" << "";
}

void TestSessionController::savedNotesOpenInTheMainWindow()
{
    QFETCH(QString, server);
    QFETCH(QString, id);
    QFETCH(QString, loaded);
    if (!id.isEmpty()) {
        m_service->uploadAnswer = QJsonDocument(QJsonObject{{"session", QJsonObject{{"id", id}}}}).toJson();
        startAndListen();
        speak(finalTokensJson({"x"}), 1);
        m_state->stopAndSave();
        QTRY_COMPARE(m_state->savedSessionIdText(), id);
    }
    userStore().setValue("serverURL", server);
    m_panel.hides = 0;
    m_state->openSavedNotes();
    QCOMPARE(m_window.loads.size(), loaded.isEmpty() ? 0 : 1);
    if (!loaded.isEmpty())
        QCOMPARE(m_window.loads.first().toString(QUrl::FullyEncoded), loaded);
    QCOMPARE(m_window.opens, 1);
    QCOMPARE(m_panel.hides, 1);
}


void TestSessionController::interruptedSessionComesBackPaused_data()
{
    QTest::addColumn<QByteArray>("damage");  // appended to the journal
    QTest::addColumn<bool>("replace");       // the damage replaces it instead
    QTest::addColumn<bool>("recovered");
    QTest::addColumn<bool>("setAside");
    QTest::addColumn<bool>("stuck"); // its name is too long to take ".corrupt"
    QTest::newRow("two legs, the second cut short") << QByteArray() << false << true << false << false;
    QTest::newRow("torn last record") << QByteArray(R"({"r":"line","row":2,"t":17,"te)") << false << true << false
                                      << false;
    QTest::newRow("garbage") << QByteArrayLiteral("\x00\x17not a journal\n{}\n") << true << false << true << false;
    QTest::newRow("garbage that cannot be set aside")
        << QByteArrayLiteral("\x00\x17not a journal\n{}\n") << true << false << false << true;
    QTest::newRow("empty file") << QByteArray() << true << false << false << false;
}

// zarno dies mid-leg; the next launch brings the session back paused, and
// Stop & save uploads the same lines with their original times.
void TestSessionController::interruptedSessionComesBackPaused()
{
    QFETCH(QByteArray, damage);
    QFETCH(bool, replace);
    QFETCH(bool, recovered);
    QFETCH(bool, setAside);
    QFETCH(bool, stuck);
    const QString path = m_stateDir->filePath(stuck ? QStringLiteral("zarno/") + QString(250, u'j') : QStringLiteral("zarno/session.journal"));
    if (stuck)
        makeState(std::nullopt, path);
    const QDateTime started = m_now;
    startAndListen();
    speak(finalTokensJson({"Hello"}), 1);
    speak(finalTokensJson({" there."}), 1);
    m_now = m_now.addSecs(3);
    m_state->pauseListening();
    QTRY_VERIFY(m_state->phase() == SessionController::Phase::Paused);
    m_state->resumeListening();
    QTRY_VERIFY(listening());
    m_now = m_now.addSecs(2);
    speak(finalTokensJson({"Second ", "leg."}), 2);
    const QList<TranscriptLine> said = m_state->transcript()->lines();
    const QString clientId = *m_state->sourceClientId();
    m_now = m_now.addSecs(3);
    QTest::qWait(60); // ticks of the leg's clock, still listening
    m_now = m_now.addSecs(40);
    m_state.reset(); // as killed: nothing is saved on the way out
    QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
             QFile::Permissions());
    QCOMPARE(QFileInfo(QFileInfo(path).path()).permissions() & (QFile::ReadOther | QFile::ReadGroup),
             QFile::Permissions());

    QFile file(path);
    QVERIFY(file.open(replace ? QIODevice::WriteOnly | QIODevice::Truncate : QIODevice::Append));
    file.write(damage);
    file.close();
    m_panel = FakePanel();
    makeState(std::nullopt, path);
    m_state->recoverInterruptedSession();

    if (!recovered) {
        QCOMPARE(m_state->phase(), SessionController::Phase::Idle);
        QVERIFY(m_state->transcript()->isEmpty());
        QCOMPARE(QFile::exists(path), stuck);
        QCOMPARE(QFile::exists(path + QStringLiteral(".corrupt")), setAside);
        QCOMPARE(m_state->lastErrorText(), setAside ? SessionController::journalUnreadablePrefix + path + QStringLiteral(".corrupt.")
                                           : stuck  ? SessionController::journalStuckPrefix + path + u'.' : QString());
        return;
    }
    QCOMPARE(m_state->phase(), SessionController::Phase::Paused);
    QVERIFY(paused());
    QCOMPARE(m_state->lastErrorText(), SessionController::recoveredText);
    QCOMPARE(m_state->elapsed(), QStringLiteral("0:08")); // the open leg counts until its last tick
    QCOMPARE(m_panel.shows, QList<bool>{true});
    QCOMPARE(lineTexts(m_state->transcript()->lines()), (QStringList{"Hello there.", "Second leg."}));
    QCOMPARE(m_state->transcript()->lines().at(1).t, said.at(1).t);

    // Resumed, it is the same session: the next leg's words join it. Words
    // go to the leg's own connection, once the service holds it.
    const int connections = m_service->connectionCount();
    m_state->resumeListening();
    QTRY_VERIFY(listening());
    QTRY_COMPARE(m_service->connectionCount(), connections + 1);
    QCOMPARE(m_state->lastError(), std::nullopt);
    m_now = m_now.addSecs(1);
    speak(finalTokensJson({" More."}), 3);
    m_state.reset(); // and killed again: the journal goes on where it was cut
    makeState(std::nullopt, path);
    m_state->recoverInterruptedSession();
    QCOMPARE(m_state->elapsed(), QStringLiteral("0:09"));
    QCOMPARE(lineTexts(m_state->transcript()->lines()), (QStringList{"Hello there.", "Second leg.", " More."}));
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    const QJsonObject body = QJsonDocument::fromJson(m_service->uploads().last().body).object();
    QCOMPARE(body["startedAt"].toInteger(), started.toMSecsSinceEpoch());
    QCOMPARE(body["sourceClientId"].toString(), clientId);
    const QJsonArray entries = body["entries"].toArray();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[1].toObject()["t"].toInteger(), said.at(1).t.toMSecsSinceEpoch());
    QCOMPARE(entries[1].toObject()["text"].toString(), QStringLiteral("Second leg."));
    QCOMPARE(entries[2].toObject()["text"].toString(), QStringLiteral("More."));
    QVERIFY(!QFile::exists(path)); // saved: nothing left to recover
}

void TestSessionController::unwritableJournalWarnsOnceAndTheSessionGoesOn_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("roomComes"); // the blocker goes mid-session
    QTest::newRow("disk full") << QStringLiteral("full") << false;
    QTest::newRow("a file where its folder goes") << QStringLiteral("file") << false;
    QTest::newRow("disk full, then room") << QStringLiteral("full") << true;
    QTest::newRow("a file where its folder goes, then moved away") << QStringLiteral("file") << true;
}

void TestSessionController::unwritableJournalWarnsOnceAndTheSessionGoesOn()
{
    QFETCH(QString, where);
    QFETCH(bool, roomComes);
    const QString dir = m_stateDir->filePath(QStringLiteral("zarno"));
    if (where == QStringLiteral("full")) {
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), dir + QStringLiteral("/session.journal")));
    } else {
        QFile blocker(dir);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    makeState(std::nullopt, dir + QStringLiteral("/session.journal"));
    int warnings = 0;
    connect(m_state.get(), &SessionController::changed, this, [&](SessionController::Changes what) {
        warnings += (what & SessionController::Change::Sentence)
            && m_state->lastErrorText() == SessionController::journalFailedText;
    });
    startAndListen();
    speak(finalTokensJson({"Still heard."}), 1);
    speak(finalTokensJson({"And kept."}), 2);
    QCOMPARE(m_state->lastErrorText(), SessionController::journalFailedText);
    if (roomComes) {
        // The next line writes the whole session again; the warning goes.
        QVERIFY(QFile::remove(where == QStringLiteral("full") ? dir + QStringLiteral("/session.journal") : dir));
        speak(finalTokensJson({"Written again."}), 3);
        QTRY_COMPARE(m_state->lastError(), std::nullopt);
        QFile file(dir + QStringLiteral("/session.journal"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(readJournal(file.readAll(), QDateTime::currentDateTimeUtc()).session.lines.size(), 3);
    }
    m_state->pauseListening();
    QTRY_VERIFY(m_state->phase() == SessionController::Phase::Paused);
    QCOMPARE(m_state->lastErrorText(), roomComes ? QString() : SessionController::journalFailedText);
    QCOMPARE(warnings, 1);
    m_state->stopAndSave();
    QTRY_COMPARE(m_state->saveState(), SaveState::saved());
    QCOMPARE(QJsonDocument::fromJson(m_service->uploads().last().body).object()["entries"].toArray().size(),
             roomComes ? 3 : 2);
}

QTEST_GUILESS_MAIN(TestSessionController)
#include "tst_sessioncontroller.moc"
