// What the call's sound costs on the audio thread: the mixer of the two
// sides alone, with the echo canceller, and with noise suppression too, fed
// two sides of real speech (the librivox recordings, the computer's sound
// heard again by the microphone 12 dB down and 40 ms late) as fast as they
// go. Figures are % of one core at real time, the median of five runs.
//
//   build/bench/bench_echo [--seconds N]   (default 120 of sound per run)
#include "callmixer.h"
#include "echocanceller.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox");

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::vector<int16_t> speech()
{
    std::vector<int16_t> all;
    for (const QString &name : QDir(librivox).entryList({QStringLiteral("*.wav")}, QDir::Files, QDir::Name)) {
        QFile file(librivox + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray pcm = file.readAll().mid(44);
        const auto *samples = reinterpret_cast<const int16_t *>(pcm.constData());
        all.insert(all.end(), samples, samples + pcm.size() / 2);
        all.insert(all.end(), 8000, 0);
    }
    return all;
}

struct Sides
{
    std::vector<int16_t> mic, system;
};

// The computer plays the recordings; the microphone hears them again, and
// the user speaks them too, half a recording later.
Sides sides(const std::vector<int16_t> &words, qsizetype samples)
{
    Sides out;
    out.mic.resize(size_t(samples));
    out.system.resize(size_t(samples));
    const qsizetype length = qsizetype(words.size());
    for (qsizetype i = 0; i < samples; ++i) {
        out.system[size_t(i)] = words[size_t(i % length)];
        const int16_t echo = i >= 640 ? int16_t(words[size_t((i - 640) % length)] / 4) : 0;
        out.mic[size_t(i)] = int16_t(std::clamp(echo + words[size_t((i + length / 2) % length)] / 2, -32768, 32767));
    }
    return out;
}

double costOf(const Sides &sound, int canceller)
{
    constexpr qsizetype chunk = 1365;
    CallMixer mixer(canceller == 0 ? nullptr : std::make_unique<EchoCanceller>(canceller == 2));
    const double before = threadSeconds();
    const qsizetype samples = qsizetype(sound.mic.size());
    for (qsizetype at = 0; at + chunk <= samples; at += chunk) {
        const CallMixer::Clock::time_point arrived(std::chrono::microseconds((at + chunk) * 1000 / 16));
        (void)mixer.addSystem(sound.system.data() + at, chunk, arrived);
        (void)mixer.addMic(sound.mic.data() + at, chunk, arrived);
    }
    return (threadSeconds() - before) / (double(samples) / 16000) * 100;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 120;
    const QStringList args = QCoreApplication::arguments();
    if (const qsizetype at = args.indexOf(QStringLiteral("--seconds")); at >= 0 && at + 1 < args.size())
        seconds = std::max(10, args.at(at + 1).toInt());
    const std::vector<int16_t> words = speech();
    if (words.empty()) {
        std::fprintf(stderr, "bench_echo: %s is missing (pocketsphinx-testdata)\n", qPrintable(librivox));
        return 1;
    }
    const Sides sound = sides(words, qsizetype(seconds) * 16000);
    const char *names[] = {"mixer alone", "with the echo canceller", "with noise suppression too"};
    double cost[3] = {};
    for (int kind = 0; kind < 3; ++kind) {
        std::vector<double> runs;
        for (int run = 0; run < 5; ++run)
            runs.push_back(costOf(sound, kind));
        std::sort(runs.begin(), runs.end());
        cost[kind] = runs[2];
        std::printf("%-28s %.3f %% of a core (runs %.3f .. %.3f)\n", names[kind], cost[kind], runs.front(),
                    runs.back());
    }
    std::printf("the echo canceller's own cost: %.3f %% of a core (goal < 1)\n", cost[1] - cost[0]);
    return 0;
}
