// Start-up beside its yardsticks, in one run on a private desktop: from
// launch to zarno's control socket, tray icon and main window, against a bare
// Qt window and a bare web view loading the service's page. Three rounds,
// interleaved; the first is the coldest.
//
//   build/bench/bench_startup
#include "../tests/e2e/throwawaydesktop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int rounds = 3;

long long now()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

// Launches a program and waits until its log names every moment in `wanted`;
// returns each moment in ms after the launch.
QMap<QString, long long> launch(const QString &program, const QStringList &arguments,
                                const QProcessEnvironment &env, const QString &log, const QStringList &wanted)
{
    QFile::remove(log);
    Child child;
    const long long start = now();
    QMap<QString, long long> moments;
    if (!child.start(program, arguments, env, log))
        return moments;
    static const QRegularExpression mark(u"(?:zarno\\.startup: )?(\\w+) at (\\d+)"_s);
    QDeadlineTimer deadline(30000);
    while (moments.size() < wanted.size() && !deadline.hasExpired()) {
        QTest::qWait(20);
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        auto matches = mark.globalMatch(QString::fromUtf8(file.readAll()));
        while (matches.hasNext()) {
            const QRegularExpressionMatch match = matches.next();
            if (wanted.contains(match.captured(1)))
                moments.insert(match.captured(1), match.captured(2).toLongLong() - start);
        }
    }
    child.stop();
    return moments;
}

double median(std::vector<long long> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : double(values[values.size() / 2]);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    ThrowawayDesktop desktop;
    QString why;
    bool lacks = false;
    if (!desktop.setUp(false, &why, &lacks)) {
        std::fprintf(stderr, "bench_startup: %s\n", qPrintable(why));
        return 1;
    }
    if (!desktop.signInOverHttp(u"startup@example.org"_s, u"bench password 1"_s) || !desktop.writeSignInForZarno()) {
        std::fprintf(stderr, "bench_startup: the service did not sign in\n");
        return 1;
    }
    QProcessEnvironment env = desktop.environment();
    env.insert(u"QT_LOGGING_RULES"_s, u"qt.webenginecontext.info=false;zarno.startup.info=true"_s);
    const QString bare = QCoreApplication::applicationDirPath() + u"/bench_bare_window"_s;
    const QString logs = desktop.scratch() + u"/logs/"_s;

    QMap<QString, std::vector<long long>> figures;
    for (int round = 1; round <= rounds; ++round) {
        const auto window = launch(bare, {}, env, logs + u"bare.log"_s, {u"window"_s});
        const auto web = launch(bare, {u"--web"_s, desktop.serviceURL() + u"/app"_s}, env, logs + u"web.log"_s,
                                {u"window"_s, u"loaded"_s});
        const auto zarno = launch(QStringLiteral(ZARNO_APP_BINARY), {}, env, logs + u"zarno-start.log"_s,
                                  {u"application"_s, u"controller"_s, u"socket"_s, u"tray"_s, u"window"_s});
        std::printf("round %d: bare window %lld ms; bare web view %lld ms (page %lld ms); zarno: application %lld, "
                    "controller %lld, socket %lld, tray %lld, main window %lld ms\n",
                    round, window.value(u"window"_s, -1), web.value(u"window"_s, -1), web.value(u"loaded"_s, -1),
                    zarno.value(u"application"_s, -1), zarno.value(u"controller"_s, -1), zarno.value(u"socket"_s, -1),
                    zarno.value(u"tray"_s, -1), zarno.value(u"window"_s, -1));
        std::fflush(stdout);
        figures[u"bare window"_s].push_back(window.value(u"window"_s, -1));
        figures[u"bare web view"_s].push_back(web.value(u"window"_s, -1));
        figures[u"bare web page"_s].push_back(web.value(u"loaded"_s, -1));
        for (const QString &moment : {u"socket"_s, u"tray"_s, u"window"_s})
            figures[u"zarno "_s + moment].push_back(zarno.value(moment, -1));
    }
    std::printf("median of %d: bare window %.0f ms, bare web view %.0f ms (page loaded %.0f ms); zarno socket %.0f ms, "
                "tray %.0f ms, main window %.0f ms (%.2fx the bare web view)\n",
                rounds, median(figures[u"bare window"_s]), median(figures[u"bare web view"_s]),
                median(figures[u"bare web page"_s]), median(figures[u"zarno socket"_s]),
                median(figures[u"zarno tray"_s]), median(figures[u"zarno window"_s]),
                median(figures[u"zarno window"_s]) / median(figures[u"bare web view"_s]));
    return 0;
}
