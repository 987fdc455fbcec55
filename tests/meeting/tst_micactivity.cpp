#include "meetingdetector.h"
#include "privatepulse.h"
#include "proctree.h"
#include "pulsemicactivity.h"

#include <QSignalSpy>
#include <QTest>

#include <pulse/error.h>
#include <pulse/simple.h>

using namespace std::chrono_literals;

// The microphone watch against a real PulseAudio server that the test starts
// for itself, with recordings made by parecord as a meeting program would;
// parecord is no program a user knows, so a detection names none.
class TestMicActivity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void recordingIsDetectedOnce();
    void recordingWhileSuppressedNeedsAStopAndStart();
    void recordingWhilePendingLeavesThePendingName();
    void recordingRunningAtStartMustStopAndStart();
    void ownRecordingIsNoMeeting();
    void watchComesBackWithTheSoundServer();
    void withoutSoundServerProgramsAreStillDetected();

private:
    // A detector on an empty process tree with no window system, watching
    // the private server; returns once the watch is up.
    void makeDetector();
    void startRecording();
    void stopRecording();
    // Makes the server announce a change and waits until the detector has
    // taken another look.
    void lookAgain();

    PrivatePulse m_pulse;
    ProcTree m_tree;
    std::unique_ptr<MeetingDetector> m_detector;
    MicActivity *m_mic = nullptr;
    std::unique_ptr<QSignalSpy> m_looks;
    std::unique_ptr<QSignalSpy> m_published;
    std::unique_ptr<QProcess> m_recorder;
    int m_volume = 50;
};

void TestMicActivity::initTestCase()
{
    const QString problem = m_pulse.start();
    if (!problem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("No private PulseAudio server could be started, so the microphone watch "
                                        "cannot be tested here: ") + problem));
}

void TestMicActivity::cleanup()
{
    stopRecording();
    m_published.reset();
    m_looks.reset();
    m_detector.reset();
    m_mic = nullptr;
}

void TestMicActivity::cleanupTestCase()
{
    m_pulse.stop();
}

void TestMicActivity::makeDetector()
{
    auto mic = std::make_unique<PulseMicActivity>(m_pulse.address(), 100ms);
    m_mic = mic.get();
    QSignalSpy started(m_mic, &MicActivity::started);
    auto apps = std::make_unique<RunningApps>(
        RunningApps::Options{m_tree.root(), 1h, [] { return std::optional<ActiveWindow>(); }});
    m_detector = std::make_unique<MeetingDetector>(std::move(apps), std::move(mic));
    m_looks = std::make_unique<QSignalSpy>(m_mic, &MicActivity::looked);
    m_published = std::make_unique<QSignalSpy>(m_detector.get(), &MeetingWatch::detectedAppChanged);
    QVERIFY(started.wait(5000));
    QVERIFY(m_detector->micWatched());
}

void TestMicActivity::startRecording()
{
    m_recorder = m_pulse.record();
    QVERIFY2(m_recorder->waitForStarted(5000), qPrintable(m_recorder->errorString()));
}

void TestMicActivity::stopRecording()
{
    if (!m_recorder)
        return;
    m_recorder->terminate();
    if (!m_recorder->waitForFinished(3000)) {
        m_recorder->kill();
        m_recorder->waitForFinished(3000);
    }
    m_recorder.reset();
}

void TestMicActivity::lookAgain()
{
    const qsizetype before = m_looks->count();
    m_volume = m_volume == 50 ? 60 : 50;
    QCOMPARE(m_pulse.run({QStringLiteral("set-source-volume"), QStringLiteral("virtmic"), QString::number(m_volume) + u'%'}), 0);
    QTRY_VERIFY(m_looks->count() > before);
}

void TestMicActivity::recordingIsDetectedOnce()
{
    makeDetector();
    QVERIFY(!m_detector->micWasActive());
    startRecording();
    QTRY_COMPARE(m_detector->detectedApp().value_or(QString()), MeetingDetector::genericSource());
    QCOMPARE(m_published->count(), 1);

    lookAgain();
    QCOMPARE(m_published->count(), 1);
    stopRecording();
    QTRY_VERIFY(!m_detector->micWasActive());
    QCOMPARE(m_published->count(), 1);
}

void TestMicActivity::recordingWhileSuppressedNeedsAStopAndStart()
{
    makeDetector();
    m_detector->setSuppressed(true);
    startRecording();
    QTRY_VERIFY(m_detector->micWasActive());
    QVERIFY(!m_detector->detectedApp());

    // The session is over, but this recording began during it.
    m_detector->setSuppressed(false);
    lookAgain();
    QVERIFY(!m_detector->detectedApp());
    QCOMPARE(m_published->count(), 0);

    stopRecording();
    QTRY_VERIFY(!m_detector->micWasActive());
    QVERIFY(!m_detector->detectedApp());
    startRecording();
    QTRY_COMPARE(m_detector->detectedApp().value_or(QString()), MeetingDetector::genericSource());
    QCOMPARE(m_published->count(), 1);
}

void TestMicActivity::recordingWhilePendingLeavesThePendingName()
{
    makeDetector();
    m_detector->setDetectedApp(QStringLiteral("Zoom"));
    startRecording();
    QTRY_VERIFY(m_detector->micWasActive());
    lookAgain();
    QCOMPARE(m_detector->detectedApp().value_or(QString()), QStringLiteral("Zoom"));
    QCOMPARE(m_published->count(), 1);
}

void TestMicActivity::recordingRunningAtStartMustStopAndStart()
{
    startRecording();
    // The server has the recording before the watch comes up.
    QTRY_VERIFY(m_pulse.sourceRunning());
    makeDetector();
    QVERIFY(m_detector->micWasActive());
    lookAgain();
    QVERIFY(!m_detector->detectedApp());

    stopRecording();
    QTRY_VERIFY(!m_detector->micWasActive());
    startRecording();
    QTRY_COMPARE(m_detector->detectedApp().value_or(QString()), MeetingDetector::genericSource());
}

void TestMicActivity::ownRecordingIsNoMeeting()
{
    makeDetector();
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, 16000, 1};
    int error = 0;
    pa_simple *own = pa_simple_new(m_pulse.address().constData(), "tst_micactivity", PA_STREAM_RECORD, nullptr,
                                   "own capture", &sampleFormat, nullptr, nullptr, &error);
    QVERIFY2(own, pa_strerror(error));
    const auto closeOwn = qScopeGuard([own] { pa_simple_free(own); });
    QTRY_VERIFY(m_looks->count() > 0);
    lookAgain();
    QVERIFY(!m_detector->micWasActive());
    QVERIFY(!m_detector->detectedApp());

    // Someone else recording at the same time still counts.
    startRecording();
    QTRY_COMPARE(m_detector->detectedApp().value_or(QString()), MeetingDetector::genericSource());
}

// The sound server restarts (a crash, an update): the watch says it is gone
// once, however many tries fail meanwhile, and is back on its own.
void TestMicActivity::watchComesBackWithTheSoundServer()
{
    makeDetector();
    QSignalSpy unavailable(m_mic, &MicActivity::unavailable);
    QSignalSpy started(m_mic, &MicActivity::started);
    m_pulse.stop();
    QVERIFY(unavailable.wait(5000));
    QVERIFY(!m_detector->micWatched());
    QTest::qWait(500); // several tries fail
    const QString problem = m_pulse.start();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QTRY_VERIFY_WITH_TIMEOUT(m_detector->micWatched(), 5000);
    QCOMPARE(started.count(), 1);
    QCOMPARE(unavailable.count(), 1);

    startRecording();
    QTRY_COMPARE(m_detector->detectedApp().value_or(QString()), MeetingDetector::genericSource());
}

void TestMicActivity::withoutSoundServerProgramsAreStillDetected()
{
    QTemporaryDir nowhere;
    auto mic = std::make_unique<PulseMicActivity>("unix:" + QFile::encodeName(nowhere.filePath(QStringLiteral("native"))), 50ms);
    QSignalSpy unavailable(mic.get(), &MicActivity::unavailable);
    QSignalSpy started(mic.get(), &MicActivity::started);
    ProcTree tree;
    auto apps = std::make_unique<RunningApps>(RunningApps::Options{tree.root(), 1h, [] { return std::optional<ActiveWindow>(); }});
    MeetingDetector detector(std::move(apps), std::move(mic));
    QVERIFY(unavailable.wait(5000));
    QTest::qWait(300); // tries again, in vain, without saying so again
    QCOMPARE(unavailable.count(), 1);
    QCOMPARE(started.count(), 0);
    QVERIFY(!detector.micWatched());

    tree.add(321, ProcTree::zoom());
    detector.runningApps()->scan();
    QCOMPARE(detector.detectedApp().value_or(QString()), QStringLiteral("Zoom"));
}

QTEST_GUILESS_MAIN(TestMicActivity)
#include "tst_micactivity.moc"
