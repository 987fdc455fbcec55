// Streams a two-hour meeting into the expanded live panel (shown off screen)
// and prints whether the cost of a message - applying it, updating the panel
// and painting it - grows with the meeting, and the peak resident memory.
#include "sessioncontroller.h"
#include "livehud.h"
#include "livehudview.h"

#include <QApplication>
#include <QRandomGenerator>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int window = 1000;
constexpr qsizetype lineTarget = 15'500; // two hours of sentences and their translations

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

// Sentences of 3 to 18 words, each followed by its translation, in messages
// of one to five final tokens with provisional text after them.
std::vector<SonioxMessage> makeMeeting(quint32 seed, int sentences)
{
    static const QStringList words = QStringLiteral(
        "we the budget next quarter should review I think that is fine "
        "deadline Friday team design meeting notes action item agreed okay "
        "hola equipo presupuesto revisar semana viernes reunión de acuerdo")
                                         .split(u' ');
    QRandomGenerator random(seed);
    std::vector<SonioxMessage> messages;
    for (int sentence = 0; sentence < sentences; ++sentence) {
        const int length = 3 + random.bounded(16);
        for (int side = 0; side < 2; ++side) {
            const bool translation = side == 1;
            QList<SonioxToken> pending;
            for (int i = 0; i < length; ++i) {
                QString text = QLatin1StringView(" ") + words.at(random.bounded(words.size()));
                if (i == length - 1)
                    text += QLatin1StringView(".");
                pending.append(makeToken(text, true, translation));
            }
            while (!pending.isEmpty()) {
                const int take = std::min<int>(pending.size(), 1 + random.bounded(5));
                SonioxMessage message;
                message.tokens = pending.mid(0, take);
                pending.remove(0, take);
                for (int tail = random.bounded(4); tail > 0; --tail)
                    message.tokens->append(
                        makeToken(QLatin1StringView(" ") + words.at(random.bounded(words.size())), false, false));
                messages.push_back(std::move(message));
            }
        }
    }
    return messages;
}

double mean(std::vector<double>::const_iterator begin, std::vector<double>::const_iterator end)
{
    double sum = 0;
    for (auto it = begin; it != end; ++it)
        sum += *it;
    return sum / double(end - begin);
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
    listening.isListening = true;
    state.showPreview(listening);
    hud.show(&state, true);
    QApplication::processEvents();

    const std::vector<SonioxMessage> messages = makeMeeting(20261208, int(lineTarget / 2) + 50);

    auto run = [&](std::size_t count, std::vector<double> *costs) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto start = std::chrono::steady_clock::now();
            state.transcript()->apply(messages[i]);
            // Layout, the panel's repaint of what changed, the scroll animation.
            QApplication::processEvents();
            const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
            if (costs)
                costs->push_back(spent.count());
        }
    };
    // Warm up fonts and caches, then start the meeting afresh.
    run(2000, nullptr);
    state.showPreview(listening);
    QApplication::processEvents();

    std::vector<double> costs;
    costs.reserve(messages.size());
    const auto start = std::chrono::steady_clock::now();
    run(messages.size(), &costs);
    const std::chrono::duration<double> total = std::chrono::steady_clock::now() - start;

    const double first = mean(costs.begin(), costs.begin() + window);
    const double last = mean(costs.end() - window, costs.end());
    const double growth = last / first;
    std::printf("meeting: %zu messages, %lld lines, %.1f s\n", messages.size(),
                static_cast<long long>(state.transcript()->lines().size()), total.count());
    std::printf("mean cost of a message: first %d %.1f us, last %d %.1f us\n", window, first * 1e6, window,
                last * 1e6);
    std::printf("cost of a message, last %d / first %d: %.3f (must stay <= 1.2)\n", window, window, growth);
    std::printf("peak resident memory: %.1f MiB\n", double(peakResidentKiB()) / 1024.0);
    return growth <= 1.2 ? 0 : 1;
}
