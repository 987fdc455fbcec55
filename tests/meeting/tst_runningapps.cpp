#include "proctree.h"
#include "runningapps.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ProcTree::Process)
Q_DECLARE_METATYPE(std::optional<ActiveWindow>)

namespace {

// A timer that never fires during a test: scans happen when the test says.
RunningApps::Options byHand(const ProcTree &tree, RunningApps::ActiveWindowSource window = [] {
    return std::optional<ActiveWindow>();
})
{
    return {tree.root(), 1h, std::move(window)};
}

QStringList launchedIds(const QSignalSpy &spy)
{
    QStringList ids;
    for (const QList<QVariant> &call : spy)
        ids.append(call.at(0).value<RunningApp>().bundleIdentifier);
    return ids;
}

QStringList runningIds(const RunningApps &apps)
{
    QStringList ids;
    for (const RunningApp &app : apps.running())
        ids.append(app.bundleIdentifier);
    return ids;
}

ProcTree::Process fixture(const QString &name)
{
    if (name == "zoom")
        return ProcTree::zoom();
    if (name == "teams")
        return ProcTree::teamsForLinux();
    if (name == "firefox")
        return ProcTree::firefox();
    if (name == "chrome")
        return ProcTree::chrome();
    return ProcTree::shell();
}

} // namespace

class TestRunningApps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<RunningApp>(); }
    void programsAreNamedByTheirLinuxIdentifiers_data();
    void programsAreNamedByTheirLinuxIdentifiers();
    void runningProgramsAreKnownAtOnceInStartOrder();
    void launchesAreReportedByDifference_data();
    void launchesAreReportedByDifference();
    void timerNoticesALaunchOnItsOwn();
    void frontmostComesFromTheActiveWindow_data();
    void frontmostComesFromTheActiveWindow();
    void missingProcRootGivesNothing();
};

void TestRunningApps::programsAreNamedByTheirLinuxIdentifiers_data()
{
    QTest::addColumn<ProcTree::Process>("process");
    QTest::addColumn<QString>("bundleIdentifier"); // empty: ignored
    QTest::addColumn<QString>("name");

    QTest::newRow("zoom package") << ProcTree::zoom() << "us.zoom.xos" << "Zoom";
    QTest::newRow("zoom flatpak") << ProcTree::program({"/app/extra/zoom/zoom"}, "/app/extra/zoom/zoom", "zoom", "us.zoom.Zoom")
                                  << "us.zoom.xos" << "Zoom";
    QTest::newRow("teams for linux flatpak, electron binary")
        << ProcTree::program({"/app/bin/electron", "/app/main"}, "/app/bin/electron", "electron", "com.github.IsmaelMartinez.teams_for_linux")
        << "com.microsoft.teams2" << "Microsoft Teams";
    QTest::newRow("classic teams") << ProcTree::program({"/usr/share/teams/teams"}, "/usr/share/teams/teams", "teams")
                                   << "com.microsoft.teams" << "Microsoft Teams";
    QTest::newRow("webex") << ProcTree::program({"/opt/Webex/bin/CiscoCollabHost"}, "/opt/Webex/bin/CiscoCollabHost", "CiscoCollabHo")
                           << "Cisco-Systems.Spark" << "Webex";
    QTest::newRow("chrome") << ProcTree::chrome() << "com.google.Chrome" << "Google Chrome";
    QTest::newRow("chromium") << ProcTree::program({"/usr/lib/chromium/chromium"}, "/usr/lib/chromium/chromium", "chromium")
                              << "org.chromium.Chromium" << "Chromium";
    QTest::newRow("firefox after an update replaced its file")
        << ProcTree::program({"/usr/lib/firefox-esr/firefox-esr"}, "/usr/lib/firefox-esr/firefox-esr (deleted)", "firefox-esr")
        << "org.mozilla.firefox" << "Firefox";
    QTest::newRow("brave") << ProcTree::program({"/opt/brave.com/brave/brave"}, "/opt/brave.com/brave/brave", "brave")
                           << "com.brave.Browser" << "Brave Browser";
    QTest::newRow("edge") << ProcTree::program({"/opt/microsoft/msedge/msedge"}, "/opt/microsoft/msedge/msedge", "msedge")
                          << "com.microsoft.edgemac" << "Microsoft Edge";
    QTest::newRow("vivaldi flatpak") << ProcTree::program({"/app/vivaldi/vivaldi-bin"}, "/app/vivaldi/vivaldi-bin", "vivaldi-bin", "com.vivaldi.Vivaldi")
                                     << "com.vivaldi.Vivaldi" << "Vivaldi";
    QTest::newRow("unknown flatpak running a known binary")
        << ProcTree::program({"/app/bin/firefox"}, "/app/lib/firefox/firefox", "firefox", "org.example.Wrapper")
        << "org.mozilla.firefox" << "Firefox";
    QTest::newRow("another user's process: no exe link, named by its command line")
        << ProcTree::program({"/usr/bin/teams-for-linux"}, {}, "teams-for-linux") << "com.microsoft.teams2" << "Microsoft Teams";
    QTest::newRow("kernel thread with a meeting program's name") << ProcTree::program({}, {}, "zoom") << "" << "";
    QTest::newRow("unknown program") << ProcTree::shell() << "" << "";
    QTest::newRow("name that only contains a known one")
        << ProcTree::program({"/usr/bin/zoomer"}, "/usr/bin/zoomer", "zoomer") << "" << "";
}

void TestRunningApps::programsAreNamedByTheirLinuxIdentifiers()
{
    QFETCH(ProcTree::Process, process);
    QFETCH(QString, bundleIdentifier);
    QFETCH(QString, name);

    ProcTree tree;
    tree.add(4242, process);
    RunningApps apps(byHand(tree));
    if (bundleIdentifier.isEmpty()) {
        QVERIFY(apps.running().isEmpty());
        return;
    }
    QCOMPARE(apps.running().size(), 1);
    QCOMPARE(apps.running().first().pid, 4242);
    QCOMPARE(apps.running().first().bundleIdentifier, bundleIdentifier);
    QCOMPARE(apps.running().first().localizedName, name);
}

void TestRunningApps::runningProgramsAreKnownAtOnceInStartOrder()
{
    ProcTree tree;
    tree.add(300, ProcTree::firefox(5000));
    tree.add(301, ProcTree::firefox(5001));
    tree.add(400, ProcTree::zoom(900));
    tree.add(90, ProcTree::shell(10));
    tree.add(20, ProcTree::teamsForLinux(7000));

    RunningApps apps(byHand(tree));
    QSignalSpy launched(&apps, &RunningApps::launched);
    QCOMPARE(runningIds(apps), QStringList({"us.zoom.xos", "org.mozilla.firefox", "com.microsoft.teams2"}));
    QCOMPARE(apps.running().at(1).pid, 300);
    // What ran at the first look was not launched.
    apps.scan();
    QCOMPARE(launched.count(), 0);
}

void TestRunningApps::launchesAreReportedByDifference_data()
{
    QTest::addColumn<QStringList>("atStart");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("launched");

    QTest::newRow("program appears") << QStringList{} << QStringList{"add 100 zoom", "scan"} << QStringList{"us.zoom.xos"};
    QTest::newRow("seen once, not again") << QStringList{} << QStringList{"add 100 zoom", "scan", "scan", "scan"}
                                          << QStringList{"us.zoom.xos"};
    QTest::newRow("another process of a running program") << QStringList{"100 zoom"} << QStringList{"add 101 zoom", "scan"}
                                                          << QStringList{};
    QTest::newRow("first process quits, a helper remains")
        << QStringList{"100 chrome", "101 chrome"} << QStringList{"remove 100", "scan", "add 102 chrome", "scan"} << QStringList{};
    QTest::newRow("quit and started again") << QStringList{"100 zoom"}
                                            << QStringList{"remove 100", "scan", "add 200 zoom", "scan"}
                                            << QStringList{"us.zoom.xos"};
    QTest::newRow("quit and started again between two looks") << QStringList{"100 zoom"}
                                                              << QStringList{"remove 100", "add 200 zoom", "scan"}
                                                              << QStringList{};
    QTest::newRow("two programs in one interval") << QStringList{"100 firefox"}
                                                  << QStringList{"add 300 teams", "add 200 zoom", "scan"}
                                                  << QStringList{"us.zoom.xos", "com.microsoft.teams2"};
    QTest::newRow("unknown program") << QStringList{} << QStringList{"add 100 bash", "scan"} << QStringList{};
    QTest::newRow("launched while paused counts as running at resume")
        << QStringList{} << QStringList{"pause", "add 100 zoom", "resume", "scan"} << QStringList{};
    QTest::newRow("launched after a resume") << QStringList{"100 zoom"}
                                             << QStringList{"pause", "remove 100", "resume", "add 200 zoom", "scan"}
                                             << QStringList{"us.zoom.xos"};
}

void TestRunningApps::launchesAreReportedByDifference()
{
    QFETCH(QStringList, atStart);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, launched);

    ProcTree tree;
    for (const QString &entry : atStart) {
        const QStringList parts = entry.split(' ');
        tree.add(parts.at(0).toLongLong(), fixture(parts.at(1)));
    }
    RunningApps apps(byHand(tree));
    QSignalSpy spy(&apps, &RunningApps::launched);
    for (const QString &step : steps) {
        const QStringList parts = step.split(' ');
        if (parts.at(0) == "scan")
            apps.scan();
        else if (parts.at(0) == "pause" || parts.at(0) == "resume")
            apps.setPaused(parts.at(0) == "pause");
        else if (parts.at(0) == "add")
            tree.add(parts.at(1).toLongLong(), fixture(parts.at(2)));
        else
            tree.remove(parts.at(1).toLongLong());
    }
    QCOMPARE(launchedIds(spy), launched);
}

void TestRunningApps::timerNoticesALaunchOnItsOwn()
{
    ProcTree tree;
    RunningApps apps({tree.root(), 20ms, [] { return std::optional<ActiveWindow>(); }});
    QSignalSpy spy(&apps, &RunningApps::launched);
    tree.add(77, ProcTree::teamsForLinux());
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<RunningApp>().localizedName, QStringLiteral("Microsoft Teams"));
}

void TestRunningApps::frontmostComesFromTheActiveWindow_data()
{
    QTest::addColumn<std::optional<ActiveWindow>>("window");
    QTest::addColumn<bool>("known");
    QTest::addColumn<QString>("bundleIdentifier");
    QTest::addColumn<QString>("name");

    QTest::newRow("no window system") << std::optional<ActiveWindow>() << false << "" << "";
    QTest::newRow("browser by its process") << std::optional(ActiveWindow{300, {"Navigator", "firefox-esr"}}) << true
                                            << "org.mozilla.firefox" << "Firefox";
    QTest::newRow("process wins over the window class") << std::optional(ActiveWindow{300, {"google-chrome", "Google-chrome"}})
                                                        << true << "org.mozilla.firefox" << "Firefox";
    QTest::newRow("sandboxed browser by its window class") << std::optional(ActiveWindow{2, {"google-chrome", "Google-chrome"}})
                                                           << true << "com.google.Chrome" << "Google Chrome";
    QTest::newRow("no process id, class only") << std::optional(ActiveWindow{0, {"brave-browser", "Brave-browser"}}) << true
                                               << "com.brave.Browser" << "Brave Browser";
    QTest::newRow("unlisted program") << std::optional(ActiveWindow{90, {"gnome-terminal-server", "Gnome-terminal"}}) << true
                                      << "" << "";
}

void TestRunningApps::frontmostComesFromTheActiveWindow()
{
    QFETCH(std::optional<ActiveWindow>, window);
    QFETCH(bool, known);
    QFETCH(QString, bundleIdentifier);
    QFETCH(QString, name);

    ProcTree tree;
    tree.add(300, ProcTree::firefox());
    tree.add(90, ProcTree::shell());
    RunningApps apps(byHand(tree, [window] { return window; }));
    const std::optional<RunningApp> front = apps.frontmost();
    QCOMPARE(front.has_value(), known);
    if (!front)
        return;
    QCOMPARE(front->bundleIdentifier, bundleIdentifier);
    QCOMPARE(front->localizedName, name);
}

void TestRunningApps::missingProcRootGivesNothing()
{
    RunningApps apps({QStringLiteral("/nonexistent/proc"), 1h, [] { return std::optional<ActiveWindow>(); }});
    QSignalSpy spy(&apps, &RunningApps::launched);
    apps.scan();
    QVERIFY(apps.running().isEmpty());
    QCOMPARE(spy.count(), 0);
}

QTEST_GUILESS_MAIN(TestRunningApps)
#include "tst_runningapps.moc"
