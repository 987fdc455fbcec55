// Prints what the microphone path costs: the CPU share of a whole capture
// from the default input. Run it against the test sound server:
//   scripts/pulse-test-env run build/bench/bench_mic [seconds]
#include "miccapture.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QEventLoop>
#include <QMediaDevices>
#include <QProcess>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int benchCapture(int seconds)
{
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) {
        std::printf("capture: no audio input; run as scripts/pulse-test-env run %s\n",
                    qPrintable(QCoreApplication::applicationFilePath()));
        return 1;
    }
    const QAudioFormat format = device.preferredFormat();
    std::printf("capture from \"%s\" (%d Hz, %d channels) for %d s:\n", qPrintable(device.description()),
                format.sampleRate(), format.channelCount(), seconds);

    MicCapture capture;
    std::atomic<qint64> chunks = 0, samples = 0;
    capture.setOnChunk([&](const QByteArray &chunk) {
        ++chunks;
        samples += chunk.size() / 2;
    });
    const std::optional<MicError> error = QCoro::waitFor(capture.start(std::chrono::seconds(4)));
    if (error) {
        std::printf("  failed to start: %s\n", qPrintable(error->description));
        return 1;
    }

    // Sound on the virtual microphone, played into the default sink.
    QProcess player;
    player.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                        QStringLiteral("exec sox -q -n -r %1 -c %2 -b 16 -e signed -t raw - synth %3 sine 440 sine 1330 vol 0.4 "
                                                       "| pacat --playback --raw --format=s16le --rate=%1 --channels=%2")
                                            .arg(format.sampleRate()).arg(format.channelCount()).arg(seconds + 1)});
    player.waitForStarted();
    // Measure the steady state, from the first chunk on.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (chunks > 0)
            loop.quit();
    });
    poll.start(10);
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, &loop, &QEventLoop::quit);
    giveUp.start(std::chrono::seconds(10));
    loop.exec();
    poll.stop();
    giveUp.stop();

    const double cpuBefore = cpuSeconds();
    const auto wallBefore = Clock::now();
    const qint64 samplesBefore = samples;
    QTimer::singleShot(std::chrono::seconds(seconds), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const qint64 got = samples - samplesBefore;
    capture.stop();
    player.kill();
    player.waitForFinished();

    std::printf("  %lld chunks, %lld samples in %.1f s (%.0f samples/s)\n", qlonglong(chunks.load()), qlonglong(got), wall,
                double(got) / wall);
    std::printf("  CPU %.2f s of %.1f s: %.2f %% of one core\n", cpu, wall, 100 * cpu / wall);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 60;
    return benchCapture(seconds);
}
