#include "resampler.h"
#include "signal.h"

#include <QTest>

#include <cstring>

using namespace testsignal;

namespace {

// `frames` frames of a tone in `format`, the same in every channel, starting at frame `start`.
QByteArray tone(const QAudioFormat &format, double frequency, double peak, qsizetype start, qsizetype frames)
{
    QByteArray out(frames * format.bytesPerFrame(), Qt::Uninitialized);
    char *p = out.data();
    for (qsizetype i = 0; i < frames; ++i) {
        const double v = peak * sine(frequency, format.sampleRate(), start + i);
        for (int c = 0; c < format.channelCount(); ++c) {
            switch (format.sampleFormat()) {
            case QAudioFormat::UInt8: {
                const quint8 s = quint8(std::lrint(128 + 127 * v));
                std::memcpy(p, &s, 1);
                break;
            }
            case QAudioFormat::Int16: {
                const qint16 s = qint16(std::lrint(32767 * v));
                std::memcpy(p, &s, 2);
                break;
            }
            case QAudioFormat::Int32: {
                const qint32 s = qint32(std::lrint(2147483647.0 * v));
                std::memcpy(p, &s, 4);
                break;
            }
            default: {
                const float s = float(v);
                std::memcpy(p, &s, 4);
                break;
            }
            }
            p += format.bytesPerSample();
        }
    }
    return out;
}

QAudioFormat makeFormat(int rate, int channels, QAudioFormat::SampleFormat sampleFormat)
{
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(channels);
    format.setSampleFormat(sampleFormat);
    return format;
}

constexpr qsizetype block = 4096;

} // namespace

class TestResampler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toneSurvivesConversion_data();
    void toneSurvivesConversion();
    void unevenBuffersJoinIntoOneStream_data();
    void unevenBuffersJoinIntoOneStream();
    void toneAboveTheOutputBandIsFilteredOut();
    void sixteenKiloHertzMonoPassesUnchanged();
    void unusableFormatGivesNothing_data();
    void unusableFormatGivesNothing();
};

void TestResampler::toneSurvivesConversion_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("peak");

    QTest::newRow("48 kHz stereo int16") << makeFormat(48000, 2, QAudioFormat::Int16) << 440.0 << 0.5;
    QTest::newRow("44.1 kHz stereo float") << makeFormat(44100, 2, QAudioFormat::Float) << 1000.0 << 0.25;
    QTest::newRow("96 kHz mono int32") << makeFormat(96000, 1, QAudioFormat::Int32) << 3000.0 << 0.8;
    QTest::newRow("22.05 kHz six channels uint8") << makeFormat(22050, 6, QAudioFormat::UInt8) << 700.0 << 0.5;
    QTest::newRow("8 kHz mono int16, upsampled") << makeFormat(8000, 1, QAudioFormat::Int16) << 300.0 << 0.5;
    QTest::newRow("16 kHz stereo float") << makeFormat(16000, 2, QAudioFormat::Float) << 2000.0 << 0.3;
    QTest::newRow("near full scale") << makeFormat(48000, 2, QAudioFormat::Float) << 440.0 << 0.99;
}

// Twenty buffers of 4096 frames, converted one by one as the capture does.
void TestResampler::toneSurvivesConversion()
{
    QFETCH(QAudioFormat, format);
    QFETCH(double, frequency);
    QFETCH(double, peak);

    Resampler resampler(format);
    QVERIFY(resampler.isValid());
    const qsizetype capacity = Resampler::outputCapacity(format.sampleRate(), block);
    const int buffers = 20;
    QByteArray out;
    double lagHalfway = 0;
    for (int b = 0; b < buffers; ++b) {
        const QByteArray in = tone(format, frequency, peak, b * block, block);
        const QByteArray chunk = resampler.convert(in.constData(), block);
        QVERIFY2(chunk.size() / 2 <= capacity, qPrintable(QStringLiteral("chunk of %1 samples").arg(chunk.size() / 2)));
        QCOMPARE(chunk.size() % 2, 0);
        out += chunk;
        if (b == buffers / 2 - 1)
            lagHalfway = (b + 1) * block * 16000.0 / format.sampleRate() - double(out.size() / 2);
    }

    // The stream trails the input by the filter's delay, which does not grow
    // (the output comes in bursts of up to a quarter of a buffer's worth).
    const double perBuffer = block * 16000.0 / format.sampleRate();
    const double lag = buffers * perBuffer - double(out.size() / 2);
    QVERIFY2(lag >= -1 && lag <= 2400 && lag <= lagHalfway + perBuffer / 4,
             qPrintable(QStringLiteral("%1 samples behind, %2 halfway").arg(lag).arg(lagHalfway)));

    const std::vector<double> x = samplesOf(out);
    const size_t from = 1600, to = x.size() - 400; // clear of the filter's start
    QVERIFY(to > from + 8000);
    const double measured = testsignal::frequency(x, from, to, 16000);
    QVERIFY2(std::abs(measured - frequency) < frequency * 0.002,
             qPrintable(QStringLiteral("%1 Hz").arg(measured)));
    const double level = rms(x, from, to);
    QVERIFY2(std::abs(20 * std::log10(level / (peak / std::sqrt(2.0)))) < 0.3,
             qPrintable(QStringLiteral("rms %1 for a peak of %2").arg(level).arg(peak)));
    const double rough = roughness(x, from, to, frequency, peak, 16000);
    QVERIFY2(rough < 1.5, qPrintable(QStringLiteral("roughness %1").arg(rough)));
}

void TestResampler::unevenBuffersJoinIntoOneStream_data()
{
    QTest::addColumn<QList<int>>("sizes");

    QTest::newRow("single frames between blocks") << QList<int>{4096, 1, 1, 4096, 1};
    QTest::newRow("20 ms reads") << QList<int>{960};
    QTest::newRow("empty buffers between blocks") << QList<int>{4096, 0, 4096, 0, 0};
    QTest::newRow("empty buffer first") << QList<int>{0, 4096};
    QTest::newRow("odd sizes") << QList<int>{333, 4097, 17, 2000};
    QTest::newRow("one long backlog") << QList<int>{40960};
}

// However the input is cut, the output is the same uninterrupted stream.
void TestResampler::unevenBuffersJoinIntoOneStream()
{
    QFETCH(QList<int>, sizes);
    const QAudioFormat format = makeFormat(48000, 2, QAudioFormat::Int16);
    const qsizetype total = 20 * block;
    const QByteArray in = tone(format, 440, 0.5, 0, total);

    Resampler reference(format);
    QByteArray expected;
    for (qsizetype at = 0; at < total; at += block)
        expected += reference.convert(in.constData() + at * 4, block);

    Resampler resampler(format);
    QByteArray out;
    qsizetype at = 0;
    for (int i = 0; at < total; ++i) {
        const qsizetype frames = std::min<qsizetype>(sizes[i % sizes.size()], total - at);
        out += resampler.convert(in.constData() + at * 4, frames);
        at += frames;
    }

    const qsizetype common = std::min(out.size(), expected.size());
    QVERIFY(common > 2 * 16000);
    const std::vector<double> a = samplesOf(out.left(common));
    const std::vector<double> b = samplesOf(expected.left(common));
    double worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(a[i] - b[i]));
    QVERIFY2(worst <= 2.0 / 32768, qPrintable(QStringLiteral("differs by %1").arg(worst * 32768)));
    QVERIFY2(std::abs(out.size() - expected.size()) / 2 <= 1400,
             qPrintable(QStringLiteral("%1 against %2 samples").arg(out.size() / 2).arg(expected.size() / 2)));
}

// A 12 kHz tone cannot exist at 16 kHz; folding it back would put a false
// 4 kHz tone into the speech band.
void TestResampler::toneAboveTheOutputBandIsFilteredOut()
{
    const QAudioFormat format = makeFormat(48000, 1, QAudioFormat::Float);
    Resampler resampler(format);
    QByteArray out;
    for (int b = 0; b < 10; ++b) {
        const QByteArray in = tone(format, 12000, 0.5, b * block, block);
        out += resampler.convert(in.constData(), block);
    }
    const std::vector<double> x = samplesOf(out);
    QVERIFY(x.size() > 8000);
    const double level = rms(x, 1600, x.size());
    QVERIFY2(level < 0.5 / std::sqrt(2.0) / 100, qPrintable(QStringLiteral("rms %1").arg(level))); // below -40 dB
}

void TestResampler::sixteenKiloHertzMonoPassesUnchanged()
{
    const QAudioFormat format = makeFormat(16000, 1, QAudioFormat::Int16);
    Resampler resampler(format);
    for (int b = 0; b < 3; ++b) {
        const QByteArray in = tone(format, 440, 0.7, b * block, block);
        QCOMPARE(resampler.convert(in.constData(), block), in);
    }
}

void TestResampler::unusableFormatGivesNothing_data()
{
    QTest::addColumn<QAudioFormat>("format");

    QTest::newRow("no rate") << makeFormat(0, 2, QAudioFormat::Int16);
    QTest::newRow("no channels") << makeFormat(48000, 0, QAudioFormat::Int16);
    QTest::newRow("unknown samples") << makeFormat(48000, 2, QAudioFormat::Unknown);
}

void TestResampler::unusableFormatGivesNothing()
{
    QFETCH(QAudioFormat, format);
    Resampler resampler(format);
    QVERIFY(!resampler.isValid());
    const QByteArray in(block * 8, '\x40');
    QVERIFY(resampler.convert(in.constData(), block).isEmpty());
}

QTEST_GUILESS_MAIN(TestResampler)
#include "tst_resampler.moc"
