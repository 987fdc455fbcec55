#include "callmixer.h"
#include "echocanceller.h"
#include "signal.h"

#include <QTest>

#include <cmath>
#include <random>

using namespace testsignal;

namespace {

// Samples of a tone or of speech-like noise (low-passed, swelling at 3 Hz).
std::vector<int16_t> sound(const QString &kind, double peak, qsizetype count, unsigned seed = 1)
{
    std::vector<int16_t> out(size_t(count), 0);
    std::mt19937 random(seed);
    std::normal_distribution<double> gauss(0, 1);
    double smooth = 0;
    for (qsizetype i = 0; i < count; ++i) {
        double value = 0;
        if (kind == u"tone") {
            value = peak * sine(440, 16000, i);
        } else if (kind == u"speech") {
            smooth = 0.7 * smooth + 0.3 * gauss(random);
            value = peak * smooth * (0.6 + 0.4 * sine(3, 16000, i));
        }
        out[size_t(i)] = int16_t(std::lrint(std::clamp(value, -1.0, 1.0) * 32767));
    }
    return out;
}

// A moment on the fast-forwarded clock, `seconds` after its start.
CallMixer::Clock::time_point at0(double seconds)
{
    return CallMixer::Clock::time_point(std::chrono::duration_cast<CallMixer::Clock::duration>(
        std::chrono::duration<double>(seconds)));
}

struct Mixed
{
    std::vector<int16_t> pcm;
    std::vector<ChunkSides> sides;

    void add(const CallMixer::Chunk &chunk)
    {
        const auto *samples = reinterpret_cast<const int16_t *>(chunk.pcm.constData());
        QCOMPARE(chunk.sides.samples, chunk.pcm.size() / 2);
        pcm.insert(pcm.end(), samples, samples + chunk.pcm.size() / 2);
        if (chunk.sides.samples > 0)
            sides.push_back(chunk.sides);
    }
};

} // namespace

class TestCallMixer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void limitBendsInsteadOfClipping_data();
    void limitBendsInsteadOfClipping();
    void sidesAreToldApart_data();
    void sidesAreToldApart();
    void sidesStayAlignedForTwoHours_data();
    void sidesStayAlignedForTwoHours();
};

void TestCallMixer::limitBendsInsteadOfClipping_data()
{
    QTest::addColumn<int>("sum");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");

    QTest::newRow("silence") << 0 << 0 << 0;
    QTest::newRow("ordinary speech passes unchanged") << 12000 << 12000 << 12000;
    QTest::newRow("negative, unchanged") << -20000 << -20000 << -20000;
    QTest::newRow("just past full scale is bent below it") << 33000 << 28000 << 32767;
    QTest::newRow("two full-scale sides") << 65534 << 32000 << 32767;
    QTest::newRow("two full-scale negative sides") << -65536 << -32767 << -32000;
}

void TestCallMixer::limitBendsInsteadOfClipping()
{
    QFETCH(int, sum);
    QFETCH(int, low);
    QFETCH(int, high);
    const int out = CallMixer::limit(sum);
    QVERIFY2(out >= low && out <= high, qPrintable(QString::number(out)));
    // Louder in, never quieter out: the shape of the sound survives.
    QVERIFY(CallMixer::limit(sum + 100) >= out);
}

void TestCallMixer::sidesAreToldApart_data()
{
    QTest::addColumn<QString>("mic");
    QTest::addColumn<QString>("system");
    QTest::addColumn<int>("echoDelayMs"); // the mic hears the system 12 dB down, this late; -1: no echo
    QTest::addColumn<bool>("micVoice");
    QTest::addColumn<bool>("systemVoice");

    QTest::newRow("the user alone") << "speech" << "" << -1 << true << false;
    QTest::newRow("the others alone, on headphones") << "" << "speech" << -1 << false << true;
    QTest::newRow("both at once") << "tone" << "speech" << -1 << true << true;
    QTest::newRow("nobody") << "" << "" << -1 << false << false;
    QTest::newRow("the others through the speakers, 40 ms echo") << "" << "speech" << 40 << false << true;
    QTest::newRow("a tone through the speakers, 40 ms echo") << "" << "tone" << 40 << false << true;
    QTest::newRow("the others through the speakers, 120 ms echo") << "" << "speech" << 120 << false << true;
}

// Eight seconds of each side in the chunks the sound server hands over;
// once the canceller has settled, each side is heard where it spoke, and
// an echo of the computer's sound counts as the computer's.
void TestCallMixer::sidesAreToldApart()
{
    QFETCH(QString, mic);
    QFETCH(QString, system);
    QFETCH(int, echoDelayMs);
    QFETCH(bool, micVoice);
    QFETCH(bool, systemVoice);

    constexpr qsizetype total = 8 * 16000, chunk = 1365;
    std::vector<int16_t> near = sound(mic, 0.3, total, 1);
    const std::vector<int16_t> far = sound(system, 0.3, total, 2);
    if (echoDelayMs >= 0) {
        for (qsizetype i = echoDelayMs * 16; i < total; ++i)
            near[size_t(i)] = int16_t(near[size_t(i)] + far[size_t(i - echoDelayMs * 16)] / 4);
    }
    CallMixer mixer(std::make_unique<EchoCanceller>());
    Mixed out;
    for (qsizetype at = 0; at + chunk <= total; at += chunk) {
        const auto arrived = at0(double(at + chunk) / 16000);
        out.add(mixer.addSystem(far.data() + at, chunk, arrived));
        out.add(mixer.addMic(near.data() + at, chunk, arrived));
    }
    QVERIFY(qsizetype(out.pcm.size()) >= total - 2 * chunk);

    // The last three seconds, after the canceller has converged.
    const size_t settled = out.sides.size() * 5 / 8;
    double micLevel = 0;
    for (size_t i = settled; i < out.sides.size(); ++i) {
        if (out.sides[i].micVoice != micVoice) qInfo("chunk %zu mic %.4f system %.4f", i, out.sides[i].micLevel, out.sides[i].systemLevel);
        QCOMPARE(out.sides[i].micVoice, micVoice);
        QCOMPARE(out.sides[i].systemVoice, systemVoice);
        micLevel = std::max(micLevel, double(out.sides[i].micLevel));
    }
    if (echoDelayMs >= 0) {
        const double echo = rms(samplesOf(QByteArray(reinterpret_cast<const char *>(far.data()), total * 2)), 0,
                                size_t(total)) / 4;
        const double erle = 20 * std::log10(echo / std::max(micLevel, 1e-6));
        qInfo("echo return loss enhancement: at least %.1f dB", erle);
        QVERIFY2(erle >= 15, qPrintable(QStringLiteral("only %1 dB").arg(erle)));
    }
    for (int16_t sample : out.pcm)
        QVERIFY(sample > -32768);
}

void TestCallMixer::sidesStayAlignedForTwoHours_data()
{
    QTest::addColumn<double>("ppm");            // the computer's clock against the microphone's
    QTest::addColumn<qsizetype>("systemChunk"); // samples per arrival
    QTest::addColumn<double>("stopsAfter");     // seconds until the computer's sound stops; 0: never

    QTest::newRow("same clock") << 0.0 << qsizetype(1365) << 0.0;
    QTest::newRow("computer 100 ppm fast") << 100.0 << qsizetype(1365) << 0.0;
    QTest::newRow("computer 100 ppm slow") << -100.0 << qsizetype(1365) << 0.0;
    QTest::newRow("computer 800 ppm fast, small pieces") << 800.0 << qsizetype(441) << 0.0;
    QTest::newRow("computer 800 ppm slow, large pieces") << -800.0 << qsizetype(4096) << 0.0;
    QTest::newRow("the output goes after an hour") << 100.0 << qsizetype(1365) << 3600.0;
}

// Two hours fed in fast-forward, each device at its own clock: the delay
// between the sides stays where it settled, the buffers between them stay
// small, and the microphone loses nothing.
void TestCallMixer::sidesStayAlignedForTwoHours()
{
    QFETCH(double, ppm);
    QFETCH(qsizetype, systemChunk);
    QFETCH(double, stopsAfter);

    constexpr qsizetype micChunk = 1365;
    constexpr double seconds = 2 * 3600;
    const double systemRate = 16000 * (1 + ppm * 1e-6);
    const std::vector<int16_t> quiet(size_t(std::max(micChunk, systemChunk)), 0);
    CallMixer mixer(nullptr);
    qint64 micSent = 0, systemSent = 0, mixed = 0;
    double firstOffset = 0, worst = 0;
    qsizetype mostWaiting = 0;
    bool stopped = false;
    while (micSent < qint64(seconds * 16000)) {
        // Whichever device's next piece is due first arrives first.
        const double micDue = double(micSent + micChunk) / 16000;
        const double systemDue = double(systemSent + systemChunk) / systemRate + 0.013;
        if (!stopped && stopsAfter > 0 && systemDue > stopsAfter) {
            stopped = true;
            mixed += mixer.endSystem().sides.samples;
        }
        if (stopped || micDue <= systemDue) {
            mixed += mixer.addMic(quiet.data(), micChunk, at0(micDue)).sides.samples;
            micSent += micChunk;
        } else {
            mixed += mixer.addSystem(quiet.data(), systemChunk, at0(systemDue)).sides.samples;
            systemSent += systemChunk;
        }
        mostWaiting = std::max({mostWaiting, mixer.micWaiting(), mixer.systemWaiting()});
        if (stopped || micSent < 60 * 16000)
            continue;
        // Which of the computer's samples is paired with the microphone's
        // latest, against the one taken at the same moment.
        const double offset = double(mixer.systemConsumed()) - double(mixer.micConsumed()) * (1 + ppm * 1e-6);
        if (firstOffset == 0)
            firstOffset = offset;
        worst = std::max(worst, std::abs(offset - firstOffset));
    }
    qInfo("worst drift of the delay between the sides: %.1f ms; most waiting %lld samples", worst / 16,
          qlonglong(mostWaiting));
    QVERIFY2(worst <= 240, qPrintable(QStringLiteral("the sides drifted %1 samples apart").arg(worst)));
    QVERIFY2(mostWaiting <= 8000, qPrintable(QString::number(mostWaiting)));
    QVERIFY(mixed >= micSent - 8000);
    // All that was taken went out, but for less than one piece still held.
    QVERIFY(mixer.micConsumed() - mixed >= 0 && mixer.micConsumed() - mixed < 8 * 160);
}

QTEST_GUILESS_MAIN(TestCallMixer)
#include "tst_callmixer.moc"
