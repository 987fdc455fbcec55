// How long Stop & save takes: from the press to "✓ Notes saved", against the
// real zarno-server over loopback. Each run speaks goforward.raw in real time
// into a session (the real controller and connection; a stand-in microphone,
// since no sound card here can be driven reliably), presses Stop & save right
// as the speech ends, and times the save. Prints every run, the median, and
// whether the last words reached the notes.
//
//   bench_stop_save [--runs N]          (default 7)
//                   [--translate]       with the Spanish translation on
#include "localzarnoserver.h"
#include "sessioncontroller.h"
#include "sessionfakes.h"
#include "serviceclient.h"
#include "settings.h"
#include "transcriptionclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int bytesPerMs = 32;
constexpr int chunkMs = 85;
constexpr int speechEndsMs = 2200; // goforward.raw is quiet after this

// The bench's own sign-in: the token the service gave it.
class FixedToken : public AccessTokenSource
{
public:
    QString token;
    QCoro::Task<std::optional<QString>> validAccessToken() override { co_return std::optional<QString>(token); } // a copy: the next leg asks again
};

// Runs the event loop until `done` holds or the time is up.
template<typename Done>
bool waitFor(Done done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return done();
}

// One session: speech in real time, then Stop & save right as it ends.
struct Run
{
    double ms = 0; // from the press to the saved notes
    QString heard;
    QString translated;
};

std::optional<Run> speakAndStop(SessionController &state, FakeMicrophone &mic, const QByteArray &speech)
{
    state.startListening();
    if (!waitFor([&] { return state.phase() == SessionController::Phase::Listening; }, 10000))
        return std::nullopt;
    for (qsizetype at = 0; at < speech.size(); at += chunkMs * bytesPerMs) {
        mic.deliver({speech.mid(at, chunkMs * bytesPerMs)});
        QElapsedTimer paced;
        paced.start();
        waitFor([&] { return paced.elapsed() >= chunkMs; }, chunkMs);
    }
    Run run;
    // What goes into the notes: the transcript as the upload starts.
    const QMetaObject::Connection watch = QObject::connect(&state, &SessionController::changed, [&] {
        if (state.phase() == SessionController::Phase::Uploading && run.heard.isEmpty())
            for (const TranscriptLine &line : state.transcript()->lines())
                (line.isTranslation ? run.translated : run.heard) += line.text;
    });
    QElapsedTimer clock;
    clock.start();
    state.stopAndSave();
    const bool saved = waitFor([&] { return state.saveState() == SaveState::saved(); }, 10000);
    run.ms = double(clock.nsecsElapsed()) / 1e6;
    QObject::disconnect(watch);
    return saved ? std::optional<Run>(run) : std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = std::max<qsizetype>(1, args.indexOf(QStringLiteral("--runs")) > 0
                                                ? args.value(args.indexOf(QStringLiteral("--runs")) + 1).toInt()
                                                : 7);
    const bool translate = args.contains(QStringLiteral("--translate"));

    QFile recording(QStringLiteral("/usr/share/pocketsphinx/test/data/goforward.raw"));
    if (!recording.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "goforward.raw is missing (pocketsphinx-testdata)\n");
        return 1;
    }
    const QByteArray speech = recording.readAll().left(speechEndsMs * bytesPerMs);

    LocalZarnoServer server(QStringLiteral(ZARNO_SERVER_BINARY));
    FixedToken auth;
    if (server.start())
        auth.token = server.accessToken();
    const QString base = server.baseURL();
    if (auth.token.isEmpty()) {
        std::fprintf(stderr, "the service gave no sign-in\n");
        return 1;
    }
    {
        QSettings store = ZarnoSettings::standardStore();
        store.setValue(QStringLiteral("serverURL"), base);
        store.setValue(QStringLiteral("languageA"), QStringLiteral("en"));
        store.setValue(QStringLiteral("languageB"), QStringLiteral("es"));
        store.setValue(QStringLiteral("transcriptOnly"), !translate);
    }

    auto *mic = new FakeMicrophone;
    SessionParts parts;
    parts.client = std::make_unique<TranscriptionClient>();
    parts.mic.reset(mic);
    parts.auth = &auth;
    ServiceClient service;
    parts.notes = &service;
    parts.timing.harvestWait = std::chrono::milliseconds(0);
    SessionController state(std::move(parts));

    std::vector<double> figures;
    int kept = 0;
    int translatedRuns = 0;
    for (int run = 0; run < runs; ++run) {
        const std::optional<Run> done = speakAndStop(state, *mic, speech);
        if (!done) {
            std::fprintf(stderr, "run %d failed: %s\n", run + 1, qPrintable(state.lastErrorText()));
            return 1;
        }
        kept += done->heard.contains(QStringLiteral("meters"), Qt::CaseInsensitive) ? 1 : 0;
        translatedRuns += done->translated.trimmed().isEmpty() ? 0 : 1;
        figures.push_back(done->ms);
        std::printf("run %d: %.1f ms  \"%s\"  \"%s\"\n", run + 1, done->ms, qPrintable(done->heard.trimmed()),
                    qPrintable(done->translated.trimmed()));
        std::fflush(stdout);
        // The service lets an account's connection go once it has closed.
        waitFor([] { return false; }, 300);
    }
    std::sort(figures.begin(), figures.end());
    std::printf("Stop & save to \"✓ Notes saved\"%s: median %.1f ms, min %.1f, max %.1f over %d runs; "
                "last word (\"meters\") in the notes in %d of %d\n",
                translate ? " (with translation)" : "", figures.at(figures.size() / 2), figures.front(),
                figures.back(), runs, kept, runs);
    if (translate)
        std::printf("its translation in the notes in %d of %d\n", translatedRuns, runs);
    return 0;
}
