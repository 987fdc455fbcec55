// Prints what meeting detection costs and how quickly it notices: the /proc
// scan on this machine (first look and steady state), the delay from a
// program's launch to its report at the default interval, and, when a
// PulseAudio server can be started, the delay from a recording's start to
// the detection.
#include "meetingdetector.h"
#include "pulsemicactivity.h"
#include "runningapps.h"

#include "../tests/meeting/privatepulse.h"
#include "../tests/meeting/proctree.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTextStream>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

QTextStream out(stdout);

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

void scanCost()
{
    QElapsedTimer timer;
    timer.start();
    RunningApps apps({QStringLiteral("/proc"), 1h, [] { return std::optional<ActiveWindow>(); }});
    const double first = double(timer.nsecsElapsed()) / 1e6;
    QList<double> steady;
    for (int i = 0; i < 200; ++i) {
        timer.restart();
        apps.scan();
        steady.append(double(timer.nsecsElapsed()) / 1e6);
    }
    const double perSecond = median(steady) * (1000.0 / RunningApps::Options{}.interval.count());
    out << "scan of /proc with " << apps.processCount() << " processes: first " << first << " ms, then "
        << median(steady) << " ms (median of 200), " << perSecond << " ms of CPU per second at the default interval\n";
}

void launchDelay()
{
    ProcTree tree;
    RunningApps apps({tree.root(), RunningApps::Options{}.interval, [] { return std::optional<ActiveWindow>(); }});
    QSignalSpy launched(&apps, &RunningApps::launched);
    QList<double> delays;
    for (int i = 0; i < 6; ++i) {
        QElapsedTimer timer;
        timer.start();
        tree.add(1000 + i, ProcTree::zoom());
        if (!launched.wait(3000))
            break;
        delays.append(double(timer.elapsed()));
        tree.remove(1000 + i);
        apps.scan();
    }
    out << "launch to report at the default interval of " << RunningApps::Options{}.interval.count()
        << " ms: median " << median(delays) << " ms, worst " << (delays.isEmpty() ? 0 : *std::max_element(delays.begin(), delays.end()))
        << " ms over " << delays.size() << " launches\n";
}

void micDelay()
{
    PrivatePulse pulse;
    const QString problem = pulse.start();
    if (!problem.isEmpty()) {
        out << "recording to detection: not measured (" << problem << ")\n";
        return;
    }
    ProcTree tree;
    auto mic = std::make_unique<PulseMicActivity>(pulse.address());
    QSignalSpy started(mic.get(), &MicActivity::started);
    MeetingDetector detector(std::make_unique<RunningApps>(RunningApps::Options{tree.root(), 1h, [] {
                                 return std::optional<ActiveWindow>();
                             }}),
                             std::move(mic));
    started.wait(5000);
    QList<double> delays;
    for (int i = 0; i < 5; ++i) {
        QSignalSpy published(&detector, &MeetingWatch::detectedAppChanged);
        QElapsedTimer timer;
        timer.start();
        std::unique_ptr<QProcess> recorder = pulse.record();
        if (published.wait(5000))
            delays.append(double(timer.elapsed()));
        recorder->terminate();
        recorder->waitForFinished(3000);
        QElapsedTimer settle;
        settle.start();
        while (detector.micWasActive() && settle.elapsed() < 3000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        detector.setDetectedApp(std::nullopt);
    }
    out << "parecord start to detection (process start included): median " << median(delays) << " ms over "
        << delays.size() << " recordings\n";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    scanCost();
    launchDelay();
    micDelay();
    out.flush();
    return 0;
}
