#include "miccapture.h"

#include <QCoroTask>
#include <QMediaDevices>
#include <QTest>

using namespace std::chrono_literals;

// Run with no sound server to talk to, so the system has no input at all.
class TestMicNoDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startWithoutAnyInputFails();
};

void TestMicNoDevice::startWithoutAnyInputFails()
{
    QVERIFY2(QMediaDevices::audioInputs().isEmpty(), "this test must run without a sound server");
    MicCapture capture;
    int chunks = 0;
    capture.setOnChunk([&chunks](const QByteArray &) { ++chunks; });

    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
        QVERIFY(error);
        QCOMPARE(error->domain, QStringLiteral("zarno"));
        QCOMPARE(error->code, 1);
        QCOMPARE(error->description, QStringLiteral("No audio input device available"));
    }
    capture.stop();
    capture.stop();
    QCOMPARE(chunks, 0);
}

QTEST_GUILESS_MAIN(TestMicNoDevice)
#include "tst_micnodevice.moc"
