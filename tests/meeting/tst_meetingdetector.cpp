#include "meetingdetector.h"
#include "proctree.h"
#include "recordingstream.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(std::optional<ActiveWindow>)

namespace {

// Stands in for the sound server in the rules' tests; the real one is
// exercised against a private PulseAudio in tst_micactivity.
class FakeMicActivity : public MicActivity
{
public:
    void start(bool active) { Q_EMIT started(active); }
    void look(bool active, const QString &recorder = {})
    {
        setRecorder(recorder);
        Q_EMIT looked(active);
    }
    void end() { Q_EMIT unavailable(); }
};

struct Rig
{
    ProcTree tree;
    std::optional<ActiveWindow> window;
    FakeMicActivity *mic = nullptr;
    std::unique_ptr<MeetingDetector> detector;

    void build()
    {
        auto mic = std::make_unique<FakeMicActivity>();
        this->mic = mic.get();
        auto apps = std::make_unique<RunningApps>(
            RunningApps::Options{tree.root(), 1h, [this] { return window; }});
        detector = std::make_unique<MeetingDetector>(std::move(apps), std::move(mic));
    }
};

ProcTree::Process fixture(const QString &name, quint64 start = 0)
{
    if (name == "zoom")
        return ProcTree::zoom(start);
    if (name == "teams")
        return ProcTree::teamsForLinux(start);
    if (name == "firefox")
        return ProcTree::firefox(start);
    if (name == "chrome")
        return ProcTree::chrome(start);
    if (name == "webex") {
        ProcTree::Process webex =
            ProcTree::program({"/opt/Webex/bin/CiscoCollabHost"}, "/opt/Webex/bin/CiscoCollabHost", "CiscoCollabHo");
        webex.startTime = start;
        return webex;
    }
    return ProcTree::shell(start);
}

// "name" or "name@start" entries, process ids counting from 100.
void populate(ProcTree &tree, const QStringList &programs)
{
    qint64 pid = 100;
    for (const QString &entry : programs) {
        const QStringList parts = entry.split('@');
        tree.add(pid++, fixture(parts.at(0), parts.size() > 1 ? parts.at(1).toULongLong() : 0));
    }
}

} // namespace

class TestMeetingDetector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void meetingProgramRunningAtStartIsDetectedAtOnce_data();
    void meetingProgramRunningAtStartIsDetectedAtOnce();
    void launchesOfMeetingProgramsArePublished_data();
    void launchesOfMeetingProgramsArePublished();
    void onlyARiseOfTheMicrophoneCounts_data();
    void onlyARiseOfTheMicrophoneCounts();
    void microphoneDetectionNamesTheLikelySource_data();
    void microphoneDetectionNamesTheLikelySource();
    void recordingsAreNamedAndLevelMetersIgnored_data();
    void recordingsAreNamedAndLevelMetersIgnored();
};

void TestMeetingDetector::meetingProgramRunningAtStartIsDetectedAtOnce_data()
{
    QTest::addColumn<QStringList>("running");
    QTest::addColumn<QString>("detected"); // empty: none

    QTest::newRow("nothing") << QStringList{} << "";
    QTest::newRow("zoom") << QStringList{"bash", "zoom"} << "Zoom";
    QTest::newRow("a browser is no meeting") << QStringList{"firefox"} << "";
    QTest::newRow("the earliest started meeting program") << QStringList{"zoom@900", "teams@20"} << "Microsoft Teams";
}

void TestMeetingDetector::meetingProgramRunningAtStartIsDetectedAtOnce()
{
    QFETCH(QStringList, running);
    QFETCH(QString, detected);

    Rig rig;
    populate(rig.tree, running);
    rig.build();
    QCOMPARE(rig.detector->detectedApp().value_or(QString()), detected);

    // Someone who subscribes right after construction (the session does)
    // still hears of it, once.
    QSignalSpy published(rig.detector.get(), &MeetingWatch::detectedAppChanged);
    QTest::qWait(0);
    QCoreApplication::processEvents();
    QCOMPARE(published.count(), detected.isEmpty() ? 0 : 1);
}

void TestMeetingDetector::launchesOfMeetingProgramsArePublished_data()
{
    QTest::addColumn<QString>("pending");
    QTest::addColumn<bool>("suppressed");
    QTest::addColumn<QStringList>("launches");
    QTest::addColumn<QString>("detected");
    QTest::addColumn<int>("publications");

    QTest::newRow("teams") << "" << false << QStringList{"teams"} << "Microsoft Teams" << 1;
    QTest::newRow("webex") << "" << false << QStringList{"webex"} << "Webex" << 1;
    QTest::newRow("teams while zoom is pending") << "Zoom" << false << QStringList{"teams"} << "Microsoft Teams" << 1;
    QTest::newRow("the same name again") << "Zoom" << false << QStringList{"zoom"} << "Zoom" << 1;
    QTest::newRow("two programs in one look") << "" << false << QStringList{"zoom", "teams"} << "Microsoft Teams" << 2;
    QTest::newRow("while suppressed") << "" << true << QStringList{"zoom"} << "" << 0;
    QTest::newRow("pending stays while suppressed") << "Zoom" << true << QStringList{"teams"} << "Zoom" << 0;
    QTest::newRow("a browser") << "" << false << QStringList{"chrome"} << "" << 0;
    QTest::newRow("an unknown program") << "" << false << QStringList{"bash"} << "" << 0;
}

void TestMeetingDetector::launchesOfMeetingProgramsArePublished()
{
    QFETCH(QString, pending);
    QFETCH(bool, suppressed);
    QFETCH(QStringList, launches);
    QFETCH(QString, detected);
    QFETCH(int, publications);

    Rig rig;
    rig.build();
    if (!pending.isEmpty())
        rig.detector->setDetectedApp(pending);
    rig.detector->setSuppressed(suppressed);
    QSignalSpy published(rig.detector.get(), &MeetingWatch::detectedAppChanged);

    qint64 pid = 500;
    for (const QString &name : launches)
        rig.tree.add(pid++, fixture(name));
    rig.detector->runningApps()->scan();
    QCOMPARE(rig.detector->detectedApp().value_or(QString()), detected);
    QCOMPARE(published.count(), publications);
}

void TestMeetingDetector::onlyARiseOfTheMicrophoneCounts_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("detected");
    QTest::addColumn<int>("publications"); // by the microphone
    QTest::addColumn<bool>("wasActive");

    const QString call = MeetingDetector::genericSource();
    QTest::newRow("idle to running") << QStringList{"start idle", "on"} << call << 1 << true;
    QTest::newRow("running again is no rise") << QStringList{"start idle", "on", "on", "on"} << call << 1 << true;
    QTest::newRow("running at start must stop first") << QStringList{"start on", "on"} << "" << 0 << true;
    QTest::newRow("running at start, then stops and starts") << QStringList{"start on", "off", "on"} << call << 1 << true;
    QTest::newRow("suppressed rise is swallowed") << QStringList{"start idle", "suppress", "on", "unsuppress", "on"} << ""
                                                  << 0 << true;
    QTest::newRow("after suppression it must stop and start")
        << QStringList{"start idle", "suppress", "on", "unsuppress", "off", "on"} << call << 1 << true;
    QTest::newRow("pending detection stays") << QStringList{"start idle", "pending Zoom", "on"} << "Zoom" << 0 << true;
    QTest::newRow("one detection while pending") << QStringList{"start idle", "on", "off", "on"} << call << 1 << true;
    QTest::newRow("answered, then a new rise") << QStringList{"start idle", "on", "answer", "off", "on"} << call << 2 << true;
    QTest::newRow("answered while running: no rise") << QStringList{"start idle", "on", "answer", "on"} << "" << 1 << true;
    QTest::newRow("stops") << QStringList{"start idle", "on", "off"} << call << 1 << false;
    QTest::newRow("no watch: looks do nothing") << QStringList{"on"} << "" << 0 << false;
    QTest::newRow("watch ended") << QStringList{"start idle", "end", "on"} << "" << 0 << false;
}

void TestMeetingDetector::onlyARiseOfTheMicrophoneCounts()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, detected);
    QFETCH(int, publications);
    QFETCH(bool, wasActive);

    Rig rig;
    rig.build();
    int byMic = 0;
    bool external = false;
    QObject::connect(rig.detector.get(), &MeetingWatch::detectedAppChanged, rig.detector.get(), [&] {
        if (!external)
            ++byMic;
    });
    for (const QString &step : steps) {
        external = true;
        if (step == "start idle")
            rig.mic->start(false);
        else if (step == "start on")
            rig.mic->start(true);
        else if (step == "on" || step == "off") {
            external = false;
            rig.mic->look(step == "on");
        } else if (step == "suppress")
            rig.detector->setSuppressed(true);
        else if (step == "unsuppress")
            rig.detector->setSuppressed(false);
        else if (step.startsWith("pending "))
            rig.detector->setDetectedApp(step.mid(8));
        else if (step == "answer")
            rig.detector->setDetectedApp(std::nullopt);
        else if (step == "end")
            rig.mic->end();
    }
    QCOMPARE(rig.detector->detectedApp().value_or(QString()), detected);
    QCOMPARE(byMic, publications);
    QCOMPARE(rig.detector->micWasActive(), wasActive);
}

void TestMeetingDetector::microphoneDetectionNamesTheLikelySource_data()
{
    QTest::addColumn<QStringList>("running");
    QTest::addColumn<std::optional<ActiveWindow>>("window");
    QTest::addColumn<QString>("recorder");
    QTest::addColumn<QString>("source");

    const std::optional<ActiveWindow> none;
    const QString call = MeetingDetector::genericSource();
    QTest::newRow("nothing known") << QStringList{} << none << QString() << call;
    QTest::newRow("the sound server names the recorder")
        << QStringList{} << none << "Firefox" << "Firefox";
    QTest::newRow("the named recorder wins over the browser in front")
        << QStringList{"chrome"} << std::optional(ActiveWindow{100, {}}) << "Signal" << "Signal";
    QTest::newRow("a running meeting program wins over the named recorder")
        << QStringList{"zoom"} << none << "Firefox" << "Zoom";
    QTest::newRow("chrome in front") << QStringList{"chrome"} << std::optional(ActiveWindow{100, {}}) << QString() << "Google Chrome";
    QTest::newRow("browser window of a sandboxed process")
        << QStringList{} << std::optional(ActiveWindow{7, {"Navigator", "firefox"}}) << QString() << "Firefox";
    QTest::newRow("unlisted program in front") << QStringList{"bash"} << std::optional(ActiveWindow{100, {"xterm", "XTerm"}})
                                               << QString() << call;
    QTest::newRow("a browser that runs but is not in front") << QStringList{"firefox"} << none << QString() << call;
    QTest::newRow("meeting program wins over the browser in front")
        << QStringList{"chrome", "zoom"} << std::optional(ActiveWindow{100, {}}) << QString() << "Zoom";
}

void TestMeetingDetector::microphoneDetectionNamesTheLikelySource()
{
    QFETCH(QStringList, running);
    QFETCH(std::optional<ActiveWindow>, window);
    QFETCH(QString, recorder);
    QFETCH(QString, source);

    Rig rig;
    rig.window = window;
    rig.build();
    rig.mic->start(false);
    // Programs that start after the detector, so the start-up scan has
    // nothing pending.
    populate(rig.tree, running);
    rig.detector->runningApps()->scan();
    rig.detector->setDetectedApp(std::nullopt);

    rig.mic->look(true, recorder);
    QCOMPARE(rig.detector->detectedApp().value_or(QString()), source);
}

void TestMeetingDetector::recordingsAreNamedAndLevelMetersIgnored_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("resampling");
    QTest::addColumn<bool>("monitor");
    QTest::addColumn<bool>("meter");
    QTest::addColumn<QString>("shown");

    QTest::newRow("an unknown program is not named by its process") << "parecord" << "pacat" << "" << "speex-float-1"
                                                                    << false << false << "";
    QTest::newRow("a browser") << "Firefox" << "firefox-esr" << "" << "" << false << false << "Firefox";
    QTest::newRow("a meeting program by its binary") << "ZOOM VoiceEngine" << "zoom" << "" << "" << false << false
                                                     << "Zoom";
    QTest::newRow("a meeting program by its Flatpak id")
        << "" << "" << "com.github.IsmaelMartinez.teams_for_linux" << "" << false << false << "Microsoft Teams";
    QTest::newRow("only an unknown binary") << " " << "obs" << "" << "" << false << false << "";
    QTest::newRow("a known program by its binary alone") << "" << "google-chrome-stable" << "" << "" << false << false
                                                        << "Google Chrome";
    QTest::newRow("nothing said") << "" << "" << "" << "" << false << false << "";
    QTest::newRow("pavucontrol's meter") << "PulseAudio Volume Control" << "pavucontrol" << "org.PulseAudio.pavucontrol"
                                         << "peaks" << false << true << "";
    QTest::newRow("a peak stream on PipeWire") << "gnome-control-center" << "gnome-control-center" << "" << ""
                                               << true << true << "";
    QTest::newRow("GNOME's sound settings") << "GNOME Settings" << "gnome-control-center" << "org.gnome.Settings"
                                            << "" << false << true << "";
}

void TestMeetingDetector::recordingsAreNamedAndLevelMetersIgnored()
{
    QFETCH(QString, name);
    QFETCH(QString, binary);
    QFETCH(QString, id);
    QFETCH(QString, resampling);
    QFETCH(bool, monitor);
    QFETCH(bool, meter);
    QFETCH(QString, shown);
    const RecordingStream stream{name, binary, id, resampling, monitor};
    QCOMPARE(isLevelMeter(stream), meter);
    QCOMPARE(recorderName(stream), shown);
}

QTEST_GUILESS_MAIN(TestMeetingDetector)
#include "tst_meetingdetector.moc"
