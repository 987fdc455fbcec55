#include "singleinstance.h"

#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QDeadlineTimer>

#include <atomic>
#include <thread>

#include <QCoroTimer>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondLaunchHandsOverItsArguments();
    void leftoverSocketOfACrashIsTakenOver();
    void nobodyListeningGivesNoAnswer();
};

namespace {

// The client blocks, so it runs beside the event loop that serves it.
std::optional<QString> sendBeside(const QString &path, const QStringList &arguments)
{
    std::optional<QString> answer;
    std::atomic<bool> done = false;
    std::thread client([&] {
        answer = SingleInstance::send(path, arguments, 5000);
        done = true;
    });
    QDeadlineTimer deadline(10000);
    while (!done && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    client.join();
    return answer;
}

} // namespace

void TestSingleInstance::secondLaunchHandsOverItsArguments()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("zarno.socket");
    SingleInstance first(path);
    QVERIFY(first.listen());
    QStringList received;
    first.setHandler([&received](QStringList arguments) -> QCoro::Task<QString> {
        received = arguments;
        co_await QCoro::sleepFor(std::chrono::milliseconds(20)); // answers may take a while
        co_return QStringLiteral("Listening");
    });

    SingleInstance second(path);
    QVERIFY(!second.listen());
    QTest::qWait(100);
    QVERIFY(received.isEmpty()); // looking whether anybody is home is no request
    QCOMPARE(sendBeside(path, {"start", "zarno://open?x=1&y=é"}), QStringLiteral("Listening"));
    QCOMPARE(received, (QStringList{"start", "zarno://open?x=1&y=é"}));
}

void TestSingleInstance::leftoverSocketOfACrashIsTakenOver()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("zarno.socket");
    {
        // A stale socket file with nobody behind it.
        QLocalServer crashed;
        crashed.setSocketOptions(QLocalServer::UserAccessOption);
        QVERIFY(crashed.listen(path));
        crashed.close();
    }
    QFile leftover(path);
    if (!leftover.exists())
        QVERIFY(leftover.open(QIODevice::WriteOnly)); // close() removed it; leave one as a crash would
    SingleInstance instance(path);
    QVERIFY(instance.listen());
}

void TestSingleInstance::nobodyListeningGivesNoAnswer()
{
    QTemporaryDir dir;
    QVERIFY(!SingleInstance::send(dir.filePath("none.socket"), {"stop"}, 200).has_value());
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
