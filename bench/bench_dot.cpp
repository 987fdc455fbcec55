// What the breathing recording dot costs: the expanded live panel,
// listening, on a private X server with a window manager and a compositor
// (as on a desktop), its dot breathing by the wall clock, against the same
// panel with a steady dot. CPU time of the whole process over whole windows
// of wall time, so a busy machine cannot flip the verdict.
//
//   build/bench/bench_dot [--window SECONDS]   (default 10; three of each, alternating)
//                         [--heartbeat]        a thread beats every 85 ms, as the
//                                              microphone's does while listening
#include "heartbeat.h"
#include "hudpanel.h"
#include "livehud.h"
#include "livehudview.h"
#include "privatedisplay.h"
#include "recordingdot.h"
#include "sessioncontroller.h"
#include "widgetfinders.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPaintEvent>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

double cpuMs()
{
    timespec spent{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &spent);
    return double(spent.tv_sec) * 1e3 + double(spent.tv_nsec) / 1e6;
}

struct Window
{
    double cpuMsPerSecond = 0;
    double paintsPerSecond = 0;
    double stepsPerSecond = 0; // changes of the drawn opacity over the window
};

int stepsBetween(double from, double to)
{
    int steps = 0;
    for (double t = from; t < to; t += 0.005)
        steps += RecordingDot::levelAt(t) != RecordingDot::levelAt(t + 0.005);
    return steps;
}

Window measure(EventCount &paints, int seconds)
{
    paints.count = 0;
    const double from = RecordingDot::secondsNow();
    const double before = cpuMs();
    QElapsedTimer wall;
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    return {(cpuMs() - before) / wallSeconds, paints.count / wallSeconds,
            stepsBetween(from, RecordingDot::secondsNow()) / wallSeconds};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    int seconds = 10;
    bool heartbeat = false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--window") == 0 && i + 1 < argc)
            seconds = std::max(2, atoi(argv[i + 1]));
        heartbeat = heartbeat || qstrcmp(argv[i], "--heartbeat") == 0;
    }
    PrivateDisplay display;
    QString why;
    const QString name = display.start(&why);
    if (name.isEmpty()) {
        std::fprintf(stderr, "bench_dot: %s\n", qPrintable(why));
        return 1;
    }
    QProcess compositor;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), name);
    compositor.setProcessEnvironment(env);
    compositor.start(QStringLiteral("xcompmgr"), {});
    compositor.waitForStarted(5000);
    qputenv("DISPLAY", name.toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);

    std::atomic<bool> beating = heartbeat;
    std::thread microphone([&beating] {
        while (beating) {
            std::this_thread::sleep_for(std::chrono::milliseconds(85));
            Heartbeat::beat();
        }
    });

    SessionController state;
    LiveHUD hud;
    SessionController::Preview listening;
    listening.phase = SessionController::Phase::Listening;
    listening.elapsed = QStringLiteral("0:42");
    state.showPreview(listening);
    hud.show(&state, true);
    QTest::qWait(1000); // the panel has grown to its size
    auto *dot = hud.panel()->expandedPanel()->findChild<RecordingDot *>(QStringLiteral("statusDot"));
    if (!dot || !dot->isVisible()) {
        std::fprintf(stderr, "bench_dot: the panel shows no recording dot\n");
        return 1;
    }
    EventCount paints(QEvent::Paint);
    dot->installEventFilter(&paints);

    std::vector<double> breathing, steady, paintRate, stepRate;
    for (int i = 0; i < 3; ++i) {
        dot->setBreathing(true);
        const Window on = measure(paints, seconds);
        breathing.push_back(on.cpuMsPerSecond);
        paintRate.push_back(on.paintsPerSecond);
        stepRate.push_back(on.stepsPerSecond);
        dot->setBreathing(false);
        steady.push_back(measure(paints, seconds).cpuMsPerSecond);
    }
    beating = false;
    microphone.join();
    const double extra = median(breathing) - median(steady);
    const double steps = median(stepRate);
    std::printf("steady dot: %.3f ms of CPU a second; breathing: %.3f ms (%.1f steps a second, goal <= 10, "
                "%.1f of them repainted)%s\n",
                median(steady), median(breathing), steps, median(paintRate),
                heartbeat ? ", a thread beating every 85 ms" : "");
    std::printf("the breath costs %.3f ms of CPU a second, %.1f us a step (medians of 3 windows of %d s)\n", extra,
                steps > 0 ? extra / steps * 1000 : 0.0, seconds);
    compositor.terminate();
    compositor.waitForFinished(3000);
    return 0;
}
