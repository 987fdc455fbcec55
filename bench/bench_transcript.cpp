// Feeds a synthetic two-hour meeting through Transcript::apply and prints the
// throughput and whether the cost of a message grows with the meeting. Costs
// are this thread's CPU time over whole windows of messages, so a busy machine
// or a preempted message cannot flip the verdict. Then again with the session
// journal following the transcript into a file, for what that adds.
#include "sessionjournal.h"
#include "transcript.h"

#include "servermessages.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

QString language(bool translation)
{
    return translation ? QStringLiteral("es") : QStringLiteral("en");
}

constexpr qsizetype lineTarget = 15'500; // two hours of sentences and their translations
constexpr std::size_t window = 10000;    // messages
constexpr int runs = 21;

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Sentences of 3 to 14 words, every twentieth a run-on of 120 words without
// a mark (so the length break is exercised), each followed by its
// translation, until the meeting holds `lineTarget` lines.
std::vector<TranscriptUpdate> makeMeeting(quint32 seed, int &finalTokens)
{
    static const QStringList words = QStringLiteral(
        "we the budget next quarter should review I think that is fine "
        "deadline Friday team design meeting notes action item agreed okay "
        "hola equipo presupuesto revisar semana viernes reunión de acuerdo")
                                         .split(u' ');
    QRandomGenerator random(seed);
    std::vector<TranscriptUpdate> messages;
    finalTokens = 0;
    QList<SpokenPiece> pending;
    auto flush = [&](bool translation) {
        while (!pending.isEmpty()) {
            const int take = std::min<int>(pending.size(), 1 + random.bounded(5));
            TranscriptUpdate message;
            message.pieces = pending.mid(0, take);
            pending.remove(0, take);
            for (int tail = random.bounded(4); tail > 0; --tail)
                message.pieces.append(token(QLatin1StringView(" ") + words.at(random.bounded(words.size())),
                                                 false, translation));
            messages.push_back(std::move(message));
        }
    };
    qsizetype lines = 0;
    for (int sentence = 0; lines < lineTarget; ++sentence) {
        const bool runOn = sentence % 20 == 19;
        const int length = runOn ? 120 : 3 + random.bounded(12);
        lines += 2 * (runOn ? 3 : 1);
        for (int side = 0; side < 2; ++side) {
            const bool translation = side == 1;
            for (int i = 0; i < length; ++i) {
                QString text = QLatin1StringView(" ") + words.at(random.bounded(words.size()));
                if (i == length - 1 && !runOn)
                    text += QLatin1StringView(".");
                pending.append(token(text, true, translation, language(translation)));
                ++finalTokens;
            }
            flush(translation);
        }
    }
    return messages;
}

struct Run
{
    double tokensPerSecond;
    double growth;
    qsizetype lines;
};

// This thread's CPU time over the first and the last `window` messages, and
// over the whole meeting, fed one message at a time to `apply`.
struct Windows
{
    double first;
    double last;
    double total;
};

template<typename Apply>
Windows timeWindows(const std::vector<TranscriptUpdate> &messages, Apply apply)
{
    double first = 0, lastStart = 0;
    const double start = threadSeconds();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (i == window)
            first = threadSeconds() - start;
        if (i == messages.size() - window)
            lastStart = threadSeconds();
        apply(messages[i]);
    }
    const double end = threadSeconds();
    return {first, end - lastStart, end - start};
}

Run measure(const std::vector<TranscriptUpdate> &messages)
{
    Transcript state;
    qsizetype tokens = 0;
    const Windows spent = timeWindows(messages, [&](const TranscriptUpdate &message) {
        state.apply(message);
        tokens += message.pieces.size();
    });
    return {double(tokens) / spent.total, spent.last / spent.first, state.lines().size()};
}

// The p99 wall-clock cost of one message on this (the GUI) thread, with and
// without the journal, and the journal run's growth in thread CPU time.
struct JournalRun
{
    double p99With;
    double p99Without;
    double growth;
};

JournalRun measureJournal(const std::vector<TranscriptUpdate> &messages)
{
    QTemporaryDir dir;
    std::vector<double> with, without;
    double growth = 0;
    for (const bool journaled : {false, true}) {
        Transcript state;
        SessionJournal journal(dir.filePath(QStringLiteral("zarno/session.journal")));
        if (journaled) {
            journal.follow(&state);
            journal.beginSession({QDateTime::currentDateTimeUtc(), QStringLiteral("bench"), QStringLiteral("en"),
                                  QStringLiteral("es"), false});
            journal.beginLeg(QDateTime::currentDateTimeUtc());
        }
        std::vector<double> &costs = journaled ? with : without;
        costs.reserve(messages.size());
        const Windows spent = timeWindows(messages, [&](const TranscriptUpdate &message) {
            const auto began = std::chrono::steady_clock::now();
            state.apply(message);
            costs.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        });
        growth = spent.last / spent.first;
    }
    auto p99 = [](std::vector<double> costs) {
        std::sort(costs.begin(), costs.end());
        return costs[costs.size() * 99 / 100];
    };
    return {p99(with), p99(without), growth};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int finalTokens = 0;
    const std::vector<TranscriptUpdate> messages = makeMeeting(20261208, finalTokens);
    std::printf("meeting: %d final tokens in %zu messages\n", finalTokens, messages.size());

    measure(messages); // warm up allocator and caches
    std::vector<Run> runs;
    for (int i = 0; i < ::runs; ++i)
        runs.push_back(measure(messages));
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.growth < b.growth; });
    const Run median = runs[runs.size() / 2]; // a copy: the runs are sorted again below
    const double lowest = runs.front().growth, highest = runs.back().growth;
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.tokensPerSecond < b.tokensPerSecond; });
    std::printf("lines: %lld\n", static_cast<long long>(median.lines));
    std::printf("tokens per second: %.0f (median of %zu runs)\n", runs[runs.size() / 2].tokensPerSecond, runs.size());
    std::printf("cost of a message in thread CPU time, last %zu / first %zu: %.3f (median of %zu runs, %.3f-%.3f; "
                "must stay <= 1.1)\n",
                window, window, median.growth, runs.size(), lowest, highest);

    const JournalRun journal = measureJournal(messages);
    std::printf("with the session journal: p99 of a message %.3f ms (without %.3f ms; must stay < 1 ms), "
                "cost last %zu / first %zu: %.3f (one run; must stay <= 1.2)\n",
                journal.p99With * 1e3, journal.p99Without * 1e3, window, window, journal.growth);
    return median.growth <= 1.1 && journal.p99With < 1e-3 && journal.growth <= 1.2 ? 0 : 1;
}
