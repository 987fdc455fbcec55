// Streams a two-hour meeting into the expanded live panel (shown off screen)
// and prints whether the cost of a message - applying it, updating the panel
// and painting it - grows with the meeting, and the peak resident memory.
// Costs are the process's CPU time over whole windows of messages, so a busy
// machine cannot flip the verdict.
#include "sessioncontroller.h"
#include "livehud.h"
#include "livehudview.h"

#include "servermessages.h"

#include <QApplication>
#include <QRandomGenerator>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

QString language(bool translation)
{
    return translation ? QStringLiteral("es") : QStringLiteral("en");
}

constexpr std::size_t window = 5000; // messages
constexpr qsizetype lineTarget = 15'500; // two hours of sentences and their translations

// Sentences of 3 to 18 words, each followed by its translation, in messages
// of one to five final tokens with provisional text after them. With
// `voices`, each sentence is the user's or one of two others' on the call,
// so that most lines carry a label.
std::vector<TranscriptUpdate> makeMeeting(quint32 seed, int sentences, bool voices)
{
    static const QStringList words = QStringLiteral(
        "we the budget next quarter should review I think that is fine "
        "deadline Friday team design meeting notes action item agreed okay "
        "hola equipo presupuesto revisar semana viernes reunión de acuerdo")
                                         .split(u' ');
    QRandomGenerator random(seed);
    std::vector<TranscriptUpdate> messages;
    for (int sentence = 0; sentence < sentences; ++sentence) {
        const int length = 3 + random.bounded(16);
        const int voice = voices ? random.bounded(3) : 0;
        for (int side = 0; side < 2; ++side) {
            const bool translation = side == 1;
            QList<SpokenPiece> pending;
            for (int i = 0; i < length; ++i) {
                QString text = QLatin1StringView(" ") + words.at(random.bounded(words.size()));
                if (i == length - 1)
                    text += QLatin1StringView(".");
                SpokenPiece piece = token(text, true, translation, language(translation));
                if (voice > 0) {
                    piece.source = Side::System;
                    piece.speaker = QString::number(voice);
                }
                pending.append(piece);
            }
            while (!pending.isEmpty()) {
                const int take = std::min<int>(pending.size(), 1 + random.bounded(5));
                TranscriptUpdate message;
                message.pieces = pending.mid(0, take);
                pending.remove(0, take);
                for (int tail = random.bounded(4); tail > 0; --tail)
                    message.pieces.append(
                        token(QLatin1StringView(" ") + words.at(random.bounded(words.size())), false, false,
                              language(false)));
                messages.push_back(std::move(message));
            }
        }
    }
    return messages;
}

double processSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

long peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    SessionController state;
    LiveHUD hud;
    hud.setAnimationDuration(0);
    SessionController::Preview listening;
    listening.phase = SessionController::Phase::Listening;
    state.showPreview(listening);
    hud.show(&state, true);
    QApplication::processEvents();

    const bool voices = app.arguments().contains(QStringLiteral("--voices"));
    const std::vector<TranscriptUpdate> messages = makeMeeting(20261208, int(lineTarget / 2) + 50, voices);

    // CPU time spent on messages [from, to): applying each, then layout,
    // the panel's repaint of what changed and the scroll animation.
    auto run = [&](std::size_t from, std::size_t to) {
        const double start = processSeconds();
        // Each message drawn in a frame of its own: the worst case.
        for (std::size_t i = from; i < to; ++i) {
            state.transcript()->apply(messages[i]);
            QApplication::processEvents();
        }
        return processSeconds() - start;
    };
    // Warm up fonts and caches; each run starts the meeting afresh.
    run(0, 2000);
    struct Run
    {
        double first, last, total;
    };
    std::vector<Run> runs;
    // Seven, not three: a window is a quarter of a second of CPU, which a
    // shared machine's hiccup can move by a third.
    for (int i = 0; i < 7; ++i) {
        state.showPreview(listening);
        QApplication::processEvents();
        const double first = run(0, window);
        const double middle = run(window, messages.size() - window);
        const double last = run(messages.size() - window, messages.size());
        runs.push_back({first, last, first + middle + last});
        std::printf("run %d: last %zu / first %zu: %.3f\n", i + 1, window, window, last / first);
    }
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.last / a.first < b.last / b.first; });
    const Run &median = runs[runs.size() / 2];
    const double growth = median.last / median.first;
    std::printf("meeting: %zu messages, %lld lines, %.1f s of CPU\n", messages.size(),
                static_cast<long long>(state.transcript()->lines().size()), median.total);
    std::printf("mean cost of a message in process CPU time: first %zu %.1f us, last %zu %.1f us\n", window,
                median.first / double(window) * 1e6, window, median.last / double(window) * 1e6);
    std::printf("cost of a message, last %zu / first %zu: %.3f (median of %zu runs; must stay <= 1.1)\n", window,
                window, growth, runs.size());
    std::printf("peak resident memory: %.1f MiB\n", double(peakResidentKiB()) / 1024.0);
    return growth <= 1.1 ? 0 : 1;
}
