// Feeds a synthetic two-hour meeting through Transcript::apply and prints the
// throughput and whether the cost of a message grows with the meeting; then
// again with the session journal recording it, for what that adds.
#include "sessionjournal.h"
#include "transcript.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <vector>

namespace {

constexpr int finalTokenTarget = 120'000; // two hours of speech and its translation
constexpr int window = 1000;

SonioxToken makeToken(const QString &text, bool final, bool translation)
{
    SonioxToken token;
    token.text = text;
    token.is_final = final;
    token.language = translation ? QStringLiteral("es") : QStringLiteral("en");
    if (translation)
        token.translation_status = QStringLiteral("translation");
    return token;
}

// Sentences of 4 to 30 words, every tenth a run-on of 120 words without a
// mark (so the length break is exercised), each followed by its translation.
std::vector<SonioxMessage> makeMeeting(quint32 seed, int &finalTokens)
{
    static const QStringList words = QStringLiteral(
        "we the budget next quarter should review I think that is fine "
        "deadline Friday team design meeting notes action item agreed okay "
        "hola equipo presupuesto revisar semana viernes reunión de acuerdo")
                                         .split(u' ');
    QRandomGenerator random(seed);
    std::vector<SonioxMessage> messages;
    finalTokens = 0;
    QList<SonioxToken> pending;
    auto flush = [&](bool translation) {
        while (!pending.isEmpty()) {
            const int take = std::min<int>(pending.size(), 1 + random.bounded(5));
            SonioxMessage message;
            message.tokens = pending.mid(0, take);
            pending.remove(0, take);
            for (int tail = random.bounded(4); tail > 0; --tail)
                message.tokens->append(makeToken(QLatin1StringView(" ") + words.at(random.bounded(words.size())),
                                                 false, translation));
            messages.push_back(std::move(message));
        }
    };
    for (int sentence = 0; finalTokens < finalTokenTarget; ++sentence) {
        const bool runOn = sentence % 10 == 9;
        const int length = runOn ? 120 : 4 + random.bounded(27);
        for (int side = 0; side < 2; ++side) {
            const bool translation = side == 1;
            for (int i = 0; i < length; ++i) {
                QString text = QLatin1StringView(" ") + words.at(random.bounded(words.size()));
                if (i == length - 1 && !runOn)
                    text += QLatin1StringView(".");
                pending.append(makeToken(text, true, translation));
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

Run measure(const std::vector<SonioxMessage> &messages)
{
    Transcript state;
    std::vector<double> costs;
    costs.reserve(messages.size());
    qsizetype tokens = 0;
    double total = 0;
    for (const SonioxMessage &message : messages) {
        const auto start = std::chrono::steady_clock::now();
        state.apply(message);
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        costs.push_back(spent.count());
        total += spent.count();
        tokens += message.tokens->size();
    }
    auto mean = [](auto begin, auto end) {
        double sum = 0;
        for (auto it = begin; it != end; ++it)
            sum += *it;
        return sum / double(end - begin);
    };
    return {double(tokens) / total, mean(costs.end() - window, costs.end()) / mean(costs.begin(), costs.begin() + window),
            state.lines().size()};
}

// The meeting with a journal following the transcript into a file: the
// p99 cost of a message on this (the GUI) thread, with and without it.
struct JournalRun
{
    double p99With;
    double p99Without;
    double growth;
};

JournalRun measureJournal(const std::vector<SonioxMessage> &messages)
{
    QTemporaryDir dir;
    std::vector<double> with, without;
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
        for (const SonioxMessage &message : messages) {
            const auto start = std::chrono::steady_clock::now();
            state.apply(message);
            costs.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
    auto mean = [](auto begin, auto end) { return std::accumulate(begin, end, 0.0) / double(end - begin); };
    const double growth = mean(with.end() - window, with.end()) / mean(with.begin(), with.begin() + window);
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
    const std::vector<SonioxMessage> messages = makeMeeting(20261208, finalTokens);
    std::printf("meeting: %d final tokens in %zu messages\n", finalTokens, messages.size());

    measure(messages); // warm up allocator and caches
    std::vector<Run> runs;
    for (int i = 0; i < 5; ++i)
        runs.push_back(measure(messages));
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.growth < b.growth; });
    const Run &median = runs[runs.size() / 2];
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.tokensPerSecond < b.tokensPerSecond; });
    std::printf("lines: %lld\n", static_cast<long long>(median.lines));
    std::printf("tokens per second: %.0f (median of %zu runs)\n", runs[runs.size() / 2].tokensPerSecond, runs.size());
    std::printf("cost of a message, last %d / first %d: %.3f (median of %zu runs; must stay <= 1.2)\n", window, window,
                median.growth, runs.size());

    const JournalRun journal = measureJournal(messages);
    std::printf("with the session journal: p99 of a message %.3f ms (without %.3f ms; must stay < 1 ms), "
                "cost last %d / first %d: %.3f (must stay <= 1.2)\n",
                journal.p99With * 1e3, journal.p99Without * 1e3, window, window, journal.growth);
    return median.growth <= 1.2 && journal.p99With < 1e-3 && journal.growth <= 1.2 ? 0 : 1;
}
