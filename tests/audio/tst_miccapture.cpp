#include "miccapture.h"
#include "pulsetestenv.h"
#include "signal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QCoroTask>
#include <QMediaDevices>
#include <QSemaphore>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

using namespace std::chrono_literals;
using namespace testsignal;

namespace {

// Keeps what the capture hands out; chunks arrive on the capture's thread.
class ChunkLog
{
public:
    Microphone::ChunkHandler handler()
    {
        return [this](const QByteArray &chunk) {
            std::lock_guard lock(m_mutex);
            m_pcm += chunk;
            m_sizes.push_back(chunk.size());
            m_threads.insert(QThread::currentThread());
        };
    }
    // Each chunk's sides, with where in the stream the chunk begins.
    Microphone::SidesHandler sidesHandler()
    {
        return [this](const ChunkSides &sides) {
            std::lock_guard lock(m_mutex);
            m_sides.push_back({m_pcm.size() / 2, sides});
        };
    }
    std::vector<std::pair<qsizetype, ChunkSides>> sides() const
    {
        std::lock_guard lock(m_mutex);
        return m_sides;
    }

    QByteArray pcm() const
    {
        std::lock_guard lock(m_mutex);
        return m_pcm;
    }
    std::vector<qsizetype> sizes() const
    {
        std::lock_guard lock(m_mutex);
        return m_sizes;
    }
    std::set<QThread *> threads() const
    {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }
    size_t count() const
    {
        std::lock_guard lock(m_mutex);
        return m_sizes.size();
    }

private:
    mutable std::mutex m_mutex;
    QByteArray m_pcm;
    std::vector<qsizetype> m_sizes;
    std::set<QThread *> m_threads;
    std::vector<std::pair<qsizetype, ChunkSides>> m_sides;
};

// Interleaved s16 stereo at 48 kHz of speech-like noise (low-passed,
// swelling at 3 Hz) after `delay` seconds of silence, scaled by `gain`.
QByteArray speechLike(double seconds, double peak, double delay, double gain)
{
    const qsizetype before = qsizetype(delay * 48000), frames = before + qsizetype(seconds * 48000);
    QByteArray pcm(frames * 4, '\0');
    std::mt19937 random(7);
    std::normal_distribution<double> gauss(0, 1);
    double smooth = 0;
    for (qsizetype i = before; i < frames; ++i) {
        smooth = 0.9 * smooth + 0.1 * gauss(random);
        const double value = gain * peak * 2 * smooth * (0.6 + 0.4 * sine(3, 48000, i));
        const auto sample = qint16(std::lrint(std::clamp(value, -1.0, 1.0) * 32767));
        std::memcpy(pcm.data() + i * 4, &sample, 2);
        std::memcpy(pcm.data() + i * 4 + 2, &sample, 2);
    }
    return pcm;
}

// The frequency of the samples where only one side spoke, chunk by chunk.
double frequencyWhereOnly(const ChunkLog &log, bool mic, int &chunks)
{
    const std::vector<double> x = samplesOf(log.pcm());
    std::vector<double> found;
    for (const auto &[at, sides] : log.sides()) {
        if (sides.micVoice == mic && sides.systemVoice == !mic && size_t(at + sides.samples) <= x.size())
            found.push_back(testsignal::frequency(x, size_t(at), size_t(at + sides.samples), 16000));
    }
    chunks = int(found.size());
    if (found.empty())
        return 0;
    std::nth_element(found.begin(), found.begin() + qsizetype(found.size() / 2), found.end());
    return found[found.size() / 2];
}

// Stands in for a device whose start does not answer: the first search for
// it blocks until the test lets it go, then finds the real default input.
class FakeStuckDevice
{
public:
    MicCapture::DeviceFinder finder()
    {
        return [this] {
            if (m_searches++ == 0)
                (void)m_release.tryAcquire(1, 10000);
            return QMediaDevices::defaultAudioInput();
        };
    }
    void letGo() { m_release.release(); }

private:
    QSemaphore m_release;
    std::atomic<int> m_searches = 0;
};

// Returns once the capture's worker has done all that was asked of it so far:
// the worker drops the handler that `next` replaces, so the token expires.
bool workerCaughtUp(MicCapture &capture, Microphone::ChunkHandler next)
{
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    capture.setOnChunk([token](const QByteArray &) {});
    token.reset();
    capture.setOnChunk(std::move(next));
    return QTest::qWaitFor([&] { return watch.expired(); }, 10000);
}

QString describe(const std::optional<MicError> &error)
{
    return error ? QStringLiteral("%1 %2: %3").arg(error->domain).arg(error->code).arg(error->description) : QStringLiteral("started");
}

} // namespace

class TestMicCapture : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void toneArrivesIntact_data();
    void toneArrivesIntact();
    void lateStartIsStoppedAndFailsOnce_data();
    void lateStartIsStoppedAndFailsOnce();
    void startBeforeTheDeadlineKeepsRunning();
    void stopIsHarmless_data();
    void stopIsHarmless();
    void handlerCanBeReplacedWhileAudioFlows();
    void ownerThatGivesUpOnAStuckWorkerHearsNothingMore();
    void computersSoundJoinsTheMicrophone_data();
    void computersSoundJoinsTheMicrophone();
    void withoutTheComputersSoundTheMicrophoneGoesOn_data();
    void withoutTheComputersSoundTheMicrophoneGoesOn();
};

void TestMicCapture::initTestCase()
{
    bool mustSkip = false;
    const QString problem = pulsetestenv::problem(mustSkip);
    if (mustSkip)
        QSKIP(qPrintable(problem));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestMicCapture::toneArrivesIntact_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("sink");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("peak");
    QTest::addColumn<int>("chunkSamples");
    QTest::addColumn<bool>("chunksExact");
    QTest::addColumn<bool>("givenThread"); // the connection runs on a thread it is given

    // The default input; 4096 frames at 48 kHz make about 1365 samples.
    QTest::newRow("48 kHz stereo source") << QByteArray() << "mic48" << 48000 << 2 << 440.0 << 0.5 << 1365 << false
                                          << false;
    QTest::newRow("16 kHz mono source") << QByteArray("virtmic16") << "mic16" << 16000 << 1 << 1000.0 << 0.3 << 4096
                                        << true << false;
    QTest::newRow("on the thread it is given") << QByteArray() << "mic48" << 48000 << 2 << 440.0 << 0.5 << 1365
                                               << false << true;
}

// A second of tone between silences comes out a second long, at its pitch
// and level, in chunks of the expected size, off the GUI thread.
void TestMicCapture::toneArrivesIntact()
{
    QFETCH(QByteArray, source);
    QFETCH(QString, sink);
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(double, frequency);
    QFETCH(double, peak);
    QFETCH(int, chunkSamples);
    QFETCH(bool, chunksExact);
    QFETCH(bool, givenThread);

    MicCapture::DeviceFinder finder;
    if (!source.isEmpty())
        finder = [source] { return pulsetestenv::inputNamed(source); };
    ChunkLog log; // outlives the capture, whose thread writes to it
    QThread loop; // as the socket's thread: outlives the capture
    QObject anchor;
    auto stopLoop = qScopeGuard([&] {
        loop.quit();
        loop.wait();
    });
    MicCapture capture(finder);
    if (givenThread) {
        anchor.moveToThread(&loop);
        loop.start();
        capture.setLoopContext(&anchor);
    }
    capture.setOnChunk(log.handler());
    const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
    QVERIFY2(!error, qPrintable(describe(error)));

    const QByteArray tone = pulsetestenv::toneWithSilence(rate, channels, frequency, peak, 0.3, 1.0, 0.3);
    QVERIFY(pulsetestenv::play(sink, rate, channels, tone));
    // Wait until a quarter second after the tone has come through.
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
        const std::vector<double> x = samplesOf(log.pcm());
        const qsizetype last = loudSpan(x, peak / 2).second;
        return last > 0 && qsizetype(x.size()) - last > 4000;
    }()), 5000);
    capture.stop();

    const std::vector<double> x = samplesOf(log.pcm());
    const auto [first, last] = loudSpan(x, peak / 2);
    QVERIFY2(std::abs((last - first + 1) - 16000) <= 160,
             qPrintable(QStringLiteral("the tone lasts %1 samples").arg(last - first + 1)));
    const size_t from = size_t(first + 1600), to = size_t(last - 1600);
    const double measured = testsignal::frequency(x, from, to, 16000);
    QVERIFY2(std::abs(measured - frequency) <= frequency * 0.005, qPrintable(QStringLiteral("%1 Hz").arg(measured)));
    const double level = 20 * std::log10(rms(x, from, to) / (peak / std::sqrt(2.0)));
    QVERIFY2(std::abs(level) <= 0.5, qPrintable(QStringLiteral("%1 dB off").arg(level)));
    const double rough = roughness(x, from, to, frequency, peak, 16000);
    QVERIFY2(rough < 1.5, qPrintable(QStringLiteral("roughness %1").arg(rough)));

    std::vector<qsizetype> sizes = log.sizes();
    QVERIFY(sizes.size() >= 5);
    for (qsizetype bytes : sizes) {
        QVERIFY(bytes > 0 && bytes % 2 == 0);
        if (chunksExact)
            QCOMPARE(bytes / 2, qsizetype(chunkSamples));
        else
            QVERIFY2(bytes / 2 <= chunkSamples + 16, qPrintable(QStringLiteral("chunk of %1 samples").arg(bytes / 2)));
    }
    std::nth_element(sizes.begin(), sizes.begin() + qsizetype(sizes.size() / 2), sizes.end());
    const qsizetype median = sizes[sizes.size() / 2] / 2;
    QVERIFY2(std::abs(median - chunkSamples) <= 16, qPrintable(QStringLiteral("median chunk %1 samples").arg(median)));

    const std::set<QThread *> threads = log.threads();
    QVERIFY(!threads.contains(QThread::currentThread()));
    QCOMPARE(threads.size(), size_t(1));
    if (givenThread)
        QCOMPARE(*threads.begin(), &loop);
}

void TestMicCapture::lateStartIsStoppedAndFailsOnce_data()
{
    QTest::addColumn<bool>("stuck");
    QTest::addColumn<int>("timeoutMs");

    QTest::newRow("device stuck past the deadline") << true << 150;
    // The deadline may land before, during or after the device opens.
    QTest::newRow("deadline at once") << false << 0;
    QTest::newRow("deadline racing the start, 2 ms") << false << 2;
    QTest::newRow("deadline racing the start, 10 ms") << false << 10;
    QTest::newRow("deadline racing the start, 40 ms") << false << 40;
}

// Whatever wins, the caller hears one outcome, and a capture whose start was
// given up leaves no microphone open: the next start holds the only stream.
void TestMicCapture::lateStartIsStoppedAndFailsOnce()
{
    QFETCH(bool, stuck);
    QFETCH(int, timeoutMs);

    FakeStuckDevice device;
    ChunkLog log;
    MicCapture capture(stuck ? device.finder() : MicCapture::DeviceFinder());
    capture.setOnChunk(log.handler());

    const std::optional<MicError> first = QCoro::waitFor(capture.start(std::chrono::milliseconds(timeoutMs)));
    if (stuck)
        QVERIFY(first);
    if (first) {
        QCOMPARE(first->domain, QStringLiteral("zarno"));
        QCOMPARE(first->code, 2);
        QCOMPARE(first->description, QStringLiteral("The microphone didn't respond. Reconnect your audio device and try again."));
    }
    device.letGo();
    QVERIFY(workerCaughtUp(capture, log.handler()));
    if (first)
        QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 0);

    const std::optional<MicError> second = QCoro::waitFor(capture.start(4s));
    QVERIFY2(!second, qPrintable(describe(second)));
    QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 1);
    QTRY_VERIFY(log.count() > 0);

    capture.stop();
    QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 0);
}

void TestMicCapture::startBeforeTheDeadlineKeepsRunning()
{
    ChunkLog log;
    MicCapture capture;
    capture.setOnChunk(log.handler());
    const std::optional<MicError> error = QCoro::waitFor(capture.start(300ms));
    QVERIFY2(!error, qPrintable(describe(error)));

    QTest::qWait(500); // past the deadline
    QCOMPARE(pulsetestenv::ourRecordingStreams(), 1);
    const size_t before = log.count();
    QTRY_VERIFY(log.count() > before + 2);
    capture.stop();
}

void TestMicCapture::stopIsHarmless_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("stops");

    QTest::newRow("never started, stopped once") << false << 1;
    QTest::newRow("never started, stopped twice") << false << 2;
    QTest::newRow("running, stopped twice") << true << 2;
    QTest::newRow("running, stopped three times") << true << 3;
}

// Extra stops change nothing, and the next start begins a fresh stream.
void TestMicCapture::stopIsHarmless()
{
    QFETCH(bool, running);
    QFETCH(int, stops);

    ChunkLog first, second;
    MicCapture capture;
    capture.setOnChunk(first.handler());
    if (running) {
        const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
        QVERIFY2(!error, qPrintable(describe(error)));
        QTRY_VERIFY(first.count() > 0);
    }
    for (int i = 0; i < stops; ++i)
        capture.stop();
    QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 0);
    const size_t afterStop = first.count();

    capture.setOnChunk(second.handler());
    const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
    QVERIFY2(!error, qPrintable(describe(error)));
    QTRY_VERIFY(second.count() >= 3);
    QCOMPARE(pulsetestenv::ourRecordingStreams(), 1);
    QCOMPARE(first.count(), afterStop);
    for (qsizetype bytes : second.sizes())
        QVERIFY2(bytes / 2 <= 1365 + 16, qPrintable(QStringLiteral("chunk of %1 samples").arg(bytes / 2)));
    capture.stop();
    capture.stop();
}

// The session sets its handler from the GUI thread while the previous
// leg's audio may still flow; the swap must neither crash nor lose the new one.
void TestMicCapture::handlerCanBeReplacedWhileAudioFlows()
{
    ChunkLog a, b;
    MicCapture capture;
    capture.setOnChunk(a.handler());
    const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
    QVERIFY2(!error, qPrintable(describe(error)));
    QTRY_VERIFY(a.count() > 0);

    for (int i = 0; i < 60; ++i) {
        capture.setOnChunk(i % 3 == 0 ? a.handler() : i % 3 == 1 ? b.handler() : Microphone::ChunkHandler());
        QTest::qWait(5);
    }
    capture.setOnChunk(b.handler());
    const size_t bBefore = b.count();
    QTRY_VERIFY(b.count() > bBefore + 2);
    const size_t aAfter = a.count();
    QTRY_VERIFY(b.count() > bBefore + 4);
    QCOMPARE(a.count(), aAfter);
    capture.stop();
}

// The owner goes while its worker is stuck opening a device (Qt's back end
// can wait on the sound server for ever): the owner does not wait longer than
// it said, and the worker, once free, calls nothing of the owner's and leaves
// no microphone open.
void TestMicCapture::ownerThatGivesUpOnAStuckWorkerHearsNothingMore()
{
    FakeStuckDevice device;
    auto calls = std::make_shared<std::atomic<int>>(0);
    std::optional<QCoro::Task<std::optional<MicError>>> pending;
    QElapsedTimer waited;
    {
        MicCapture capture(device.finder(), MicTiming{3s, 200ms});
        capture.setOnChunk([calls](const QByteArray &) { ++*calls; });
        capture.setOnFailure([calls](const MicError &) { ++*calls; });
        pending.emplace(capture.start(60s)); // not given up on by the caller
        QTest::qWait(100);
        waited.start();
    }
    QVERIFY2(waited.elapsed() < 2000, qPrintable(QString::number(waited.elapsed())));
    device.letGo();
    QTest::qWait(1500);
    QCOMPARE(calls->load(), 0);
    QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 0);
}

void TestMicCapture::computersSoundJoinsTheMicrophone_data()
{
    QTest::addColumn<bool>("echo");

    // One tone into the microphone, later another to the speakers.
    QTest::newRow("each side in turn") << false;
    // The speakers' sound into the microphone too, 12 dB down and 40 ms late.
    QTest::newRow("the speakers heard by the microphone") << true;
}

// Both sides come out in the one stream, and the sides say which spoke; the
// speakers' echo in the microphone is taken out and counts as the computer's.
void TestMicCapture::computersSoundJoinsTheMicrophone()
{
    QFETCH(bool, echo);

    ChunkLog log;
    MicCapture capture;
    capture.setSystemSound([] { return true; });
    capture.setOnChunk(log.handler());
    capture.setOnSides(log.sidesHandler());
    const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
    QVERIFY2(!error, qPrintable(describe(error)));
    QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 2);

    double seconds = 0;
    if (echo) {
        seconds = 7;
        // The server carries the echo: two players started one after the
        // other would put a busy machine's delay between them.
        const int echoModule = pulsetestenv::echoSpeakersIntoMic(40, 0.25);
        auto stopEcho = qScopeGuard([echoModule] { pulsetestenv::stopEcho(echoModule); });
        QVERIFY(echoModule >= 0);
        QVERIFY(pulsetestenv::play(QStringLiteral("speakers"), 48000, 2, speechLike(6, 0.3, 0.3, 1)));
        QTRY_VERIFY_WITH_TIMEOUT(log.pcm().size() / 2 > qsizetype(seconds * 16000), int(seconds * 1000) + 5000);
    } else {
        seconds = 4;
        QVERIFY(pulsetestenv::playTogether(
            {{QStringLiteral("mic48"), pulsetestenv::toneWithSilence(48000, 2, 440, 0.3, 0.3, 1.0, 2.5)},
             {QStringLiteral("speakers"), pulsetestenv::toneWithSilence(48000, 2, 1000, 0.3, 2.0, 1.0, 0.8)}},
            48000, 2));
    }
    QTRY_VERIFY_WITH_TIMEOUT(log.pcm().size() / 2 > qsizetype(seconds * 16000), int(seconds * 1000) + 5000);
    capture.stop();

    const auto sides = log.sides();
    QVERIFY(!sides.empty());
    if (!echo) {
        int micChunks = 0, systemChunks = 0;
        const double micTone = frequencyWhereOnly(log, true, micChunks);
        const double systemTone = frequencyWhereOnly(log, false, systemChunks);
        QVERIFY2(micChunks >= 6 && std::abs(micTone - 440) < 5,
                 qPrintable(QStringLiteral("%1 chunks of the mic alone at %2 Hz").arg(micChunks).arg(micTone)));
        QVERIFY2(systemChunks >= 6 && std::abs(systemTone - 1000) < 10,
                 qPrintable(QStringLiteral("%1 chunks of the computer alone at %2 Hz").arg(systemChunks).arg(systemTone)));
        return;
    }
    // The second half of what the speakers played: the canceller has settled.
    std::vector<ChunkSides> playing;
    for (const auto &[at, chunk] : sides) {
        if (chunk.systemVoice)
            playing.push_back(chunk);
    }
    QVERIFY2(playing.size() >= 40, qPrintable(QString::number(playing.size())));
    // The echo did reach the microphone: loud before the canceller settled.
    const auto loudest = std::max_element(playing.begin(), playing.end(), [](const ChunkSides &a, const ChunkSides &b) {
        return a.micLevel < b.micLevel;
    });
    QVERIFY2(loudest->micLevel > loudest->systemLevel / 20, qPrintable(QString::number(loudest->micLevel)));
    // Per chunk, how far below its echo (the computer's sound 12 dB down)
    // the microphone's side lies; the median, so a hiccup counts as one.
    std::vector<double> enhancement;
    int heardAsMic = 0;
    for (size_t i = playing.size() / 2; i < playing.size(); ++i) {
        enhancement.push_back(20 * std::log10(playing[i].systemLevel / 4 / std::max(playing[i].micLevel, 1e-6f)));
        heardAsMic += playing[i].micVoice ? 1 : 0;
    }
    std::nth_element(enhancement.begin(), enhancement.begin() + qsizetype(enhancement.size() / 2), enhancement.end());
    const double erle = enhancement[enhancement.size() / 2];
    qInfo("echo return loss enhancement through the sound server: %.1f dB (median of %zu chunks)", erle,
          enhancement.size());
    QVERIFY2(erle >= 12, qPrintable(QStringLiteral("%1 dB").arg(erle)));
    QVERIFY2(heardAsMic * 10 <= int(playing.size()), qPrintable(QStringLiteral("%1 chunks heard as the user").arg(heardAsMic)));
}

void TestMicCapture::withoutTheComputersSoundTheMicrophoneGoesOn_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("removedMidLeg");

    QTest::newRow("no such output") << QByteArray("nosuchoutput.monitor") << false;
    QTest::newRow("the output removed mid-leg") << MicCapture::defaultMonitor() << true;
}

// Without the computer's sound, the microphone goes on alone: no failure,
// one notice when there is nothing to open, silence when the output goes
// mid-leg; the next leg records whatever output is there then.
void TestMicCapture::withoutTheComputersSoundTheMicrophoneGoesOn()
{
    QFETCH(QByteArray, output);
    QFETCH(bool, removedMidLeg);

    bool removed = false; // put back should the test stop half way
    auto restore = qScopeGuard([&removed] {
        if (removed)
            (void)pulsetestenv::restoreSpeakers();
    });
    ChunkLog log;
    std::atomic<int> failures = 0;
    QStringList notices;
    std::mutex noticeMutex;
    MicCapture capture;
    capture.setSystemSound([] { return true; }, output);
    capture.setOnChunk(log.handler());
    capture.setOnFailure([&](const MicError &) { ++failures; });
    capture.setOnNotice([&](const QString &notice) {
        std::lock_guard lock(noticeMutex);
        notices << notice;
    });
    for (int leg = 0; leg < 2; ++leg) {
        const std::optional<MicError> error = QCoro::waitFor(capture.start(4s));
        QVERIFY2(!error, qPrintable(describe(error)));
        QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), removedMidLeg ? 2 : 1);
        if (removedMidLeg && leg == 0) {
            QVERIFY(removed = pulsetestenv::removeSpeakers());
            QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 1);
            const size_t alone = log.count();
            QTRY_VERIFY(log.count() > alone + 4);
            removed = !pulsetestenv::restoreSpeakers();
            QVERIFY(!removed);
        }
        const size_t before = log.count();
        QTRY_VERIFY(log.count() > before + 4);
        capture.stop();
        QTRY_COMPARE(pulsetestenv::ourRecordingStreams(), 0);
    }
    QCOMPARE(failures.load(), 0);
    std::lock_guard lock(noticeMutex);
    QCOMPARE(notices, removedMidLeg ? QStringList() : QStringList{MicCapture::noSystemSoundNotice()});
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestMicCapture test;
    leaveWithoutAudioTeardown(QTest::qExec(&test, argc, argv));
}
#include "tst_miccapture.moc"
