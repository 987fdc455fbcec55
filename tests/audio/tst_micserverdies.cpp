#include "miccapture.h"
#include "privatepulse.h"
#include "signal.h"

#include <QCoroTask>
#include <QTest>

using namespace std::chrono_literals;

// The sound server dies under a running capture (a crash, a restart of
// PipeWire): stopping afterwards must not touch what Qt already freed. On a
// server of its own, so the shared one of the other tests lives on.
class TestMicServerDies : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void stopAfterTheSoundServerDied();

private:
    PrivatePulse m_pulse;
};

void TestMicServerDies::initTestCase()
{
    const QString problem = m_pulse.start();
    if (!problem.isEmpty())
        QSKIP(qPrintable(problem));
    // Before anything asks Qt for audio: its engine connects once per process.
    qputenv("PULSE_SERVER", m_pulse.address());
}

void TestMicServerDies::stopAfterTheSoundServerDied()
{
    MicCapture capture;
    std::atomic<int> chunks{0};
    capture.setOnChunk([&chunks](const QByteArray &) { ++chunks; });
    const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
    QVERIFY2(!error, error ? qPrintable(error->description) : "");
    QTest::qWait(300);

    m_pulse.stop();
    QTest::qWait(500);
    capture.stop();
    capture.stop();
    const int after = chunks;
    QTest::qWait(200);
    QCOMPARE(chunks.load(), after); // nothing more arrives once stopped
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestMicServerDies test;
    leaveWithoutAudioTeardown(QTest::qExec(&test, argc, argv));
}
#include "tst_micserverdies.moc"
