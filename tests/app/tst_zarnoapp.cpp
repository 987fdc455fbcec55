#include "brand.h"
#include "livehud.h"
#include "platformchoice.h"
#include "settings.h"
#include "singleinstance.h"
#include "webviewholder.h"
#include "zarnoapp.h"

#include <QMenu>
#include <QProcess>
#include <QWebEnginePage>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

// The application as a second launch sees it: commands handed over the
// local socket to the running zarno, which acts and answers.
class TestZarnoApp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void commandsAnswerWithTheSessionState_data();
    void commandsAnswerWithTheSessionState();
    void secondLaunchStartsASessionInTheFirst();
    void zarnoAddressOpensTheWebApplication();
    void trayMenuOffersWhatTheSessionCanDo();
    void trayIconMarksTheSession_data();
    void trayIconMarksTheSession();
    void launchWithoutARunningZarno_data();
    void launchWithoutARunningZarno();
    void platformForTheSession_data();
    void platformForTheSession();

private:
    QString answer(const QStringList &arguments);

    std::unique_ptr<ZarnoApp> m_app;
};

void TestZarnoApp::initTestCase()
{
    // Nothing answers here: sessions fail at the sign-in, before any sound.
    ZarnoSettings::standardStore()
        .setValue("serverURL", "http://127.0.0.1:9");
    m_app = std::make_unique<ZarnoApp>();
    LiveHUD::shared().setAnimationDuration(0);
}

QString TestZarnoApp::answer(const QStringList &arguments)
{
    return QCoro::waitFor(m_app->handle(arguments));
}

void TestZarnoApp::commandsAnswerWithTheSessionState_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("answer");
    const QString notSignedIn = "Watching for meetings\nNot signed in yet — Open zarno, log in inside that window once, "
                                "then try again.";
    QTest::newRow("status") << QStringList{"status"} << "Watching for meetings";
    QTest::newRow("pause while idle") << QStringList{"pause"} << "Watching for meetings";
    QTest::newRow("start, signed out") << QStringList{"start"} << notSignedIn;
    QTest::newRow("unknown") << QStringList{"record"}
                             << "zarno does not know \"record\". Use start, pause, resume, stop, show or status.";
}

void TestZarnoApp::commandsAnswerWithTheSessionState()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, answer);
    QCOMPARE(this->answer(arguments), answer);
}

void TestZarnoApp::secondLaunchStartsASessionInTheFirst()
{
    SingleInstance instance;
    QVERIFY(instance.listen());
    instance.setHandler([this](QStringList arguments) { return m_app->handle(std::move(arguments)); });

    QProcess second;
    second.start(QStringLiteral(ZARNO_BINARY), {"start"});
    QVERIFY(second.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 20000);
    QCOMPARE(second.exitCode(), 0);
    const QString printed = QString::fromUtf8(second.readAllStandardOutput());
    QVERIFY2(printed.contains("Not signed in yet"), qPrintable(printed));
    QCOMPARE(m_app->state().lastErrorText(), SessionController::notSignedInText);

    QProcess show;
    show.start(QStringLiteral(ZARNO_BINARY), {"show"});
    QTRY_COMPARE_WITH_TIMEOUT(show.state(), QProcess::NotRunning, 20000);
    QVERIFY(LiveHUD::shared().expanded());
}

void TestZarnoApp::zarnoAddressOpensTheWebApplication()
{
    ZarnoSettings::standardStore()
        .setValue("serverURL", "http://127.0.0.1:9/ignored?x=1");
    answer({"zarno://anything/at/all"});
    QCOMPARE(WebViewHolder::shared().webView()->page()->requestedUrl().toString(), QStringLiteral("http://127.0.0.1:9/app?x=1"));
    QTRY_VERIFY(QApplication::topLevelWidgets().size() > 0);
}

void TestZarnoApp::trayMenuOffersWhatTheSessionCanDo()
{
    m_app->start();
    QMenu *menu = m_app->trayMenu();
    QVERIFY(menu);
    QStringList texts;
    QList<bool> enabled;
    for (QAction *action : menu->actions()) {
        if (action->isSeparator())
            continue;
        texts << QString(action->text()).replace(u"&&"_s, u"&"_s); // "&&" shows one "&", not a mnemonic
        enabled << action->isEnabled();
    }
    QCOMPARE(texts,
             (QStringList{"Take notes", "Pause", "Resume", "Stop & save", "Open zarno", "Settings…", "Quit zarno"}));
    QCOMPARE(enabled, (QList<bool>{true, false, false, false, true, true, true}));
    menu->actions().at(menu->actions().size() - 2)->trigger();
    QWidget *settings = nullptr;
    for (QWidget *window : QApplication::topLevelWidgets())
        if (window->inherits("SettingsWindow") && window->isVisible())
            settings = window;
    QVERIFY(settings);
    settings->close();

    QSignalSpy errors(&m_app->state(), &SessionController::changed);
    menu->actions().first()->trigger();
    QTRY_VERIFY(errors.count() > 0);
    QTRY_COMPARE(m_app->state().lastErrorText(), SessionController::notSignedInText);
}

void TestZarnoApp::trayIconMarksTheSession_data()
{
    QTest::addColumn<int>("mark");
    QTest::addColumn<QColor>("badge"); // at the badge's edge; transparent: none
    QTest::addColumn<bool>("pauseBars");
    QTest::newRow("idle: the logo alone") << int(ZarnoApp::TrayMark::None) << QColor(Qt::transparent) << false;
    QTest::newRow("listening: a red dot") << int(ZarnoApp::TrayMark::Recording) << Brand::tomato() << false;
    QTest::newRow("paused: a pause mark") << int(ZarnoApp::TrayMark::Paused) << Brand::marigold() << true;
}

void TestZarnoApp::trayIconMarksTheSession()
{
    QFETCH(int, mark);
    QFETCH(QColor, badge);
    QFETCH(bool, pauseBars);
    const QImage icon = ZarnoApp::trayIcon(ZarnoApp::TrayMark(mark)).pixmap(64, 64).toImage();
    const auto near = [](QColor a, QColor b) {
        return qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) + qAbs(a.blue() - b.blue()) < 30;
    };
    // Inside the badge's ring, left of where a pause bar stands.
    const QColor edge = icon.pixelColor(43, 50);
    if (badge.alpha() == 0)
        QVERIFY(!near(edge, Brand::tomato()) && !near(edge, Brand::marigold()));
    else
        QVERIFY(near(edge, badge));
    // The badge's centre line: white bars while paused.
    QCOMPARE(near(icon.pixelColor(46, 50), Qt::white) && icon.pixelColor(46, 50).alpha() == 255, pauseBars);
}

void TestZarnoApp::launchWithoutARunningZarno_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("printed");
    const QString notRunning = "zarno is not running.\n";
    for (const char *verb : {"status", "pause", "resume", "stop", "show"})
        QTest::newRow(verb) << QStringList{verb} << 3 << notRunning;
    QTest::newRow("version") << QStringList{"--version"} << 0 << "zarno " ZARNO_VERSION_TEXT "\n";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: ";
    QTest::newRow("help before a verb") << QStringList{"stop", "-h"} << 0 << "Usage: ";
}

// Verbs that only make sense to a running zarno neither start one nor need a
// display; --help and --version answer anywhere.
void TestZarnoApp::launchWithoutARunningZarno()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, printed);
    QTemporaryDir runtime;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    QProcess launch;
    launch.setProcessEnvironment(environment);
    launch.start(QStringLiteral(ZARNO_BINARY), arguments);
    QVERIFY(launch.waitForFinished(20000));
    QCOMPARE(launch.exitCode(), exitCode);
    const QString output = QString::fromUtf8(launch.readAllStandardOutput());
    QVERIFY2(output.startsWith(printed), qPrintable(output));
    QVERIFY(!QFile::exists(runtime.filePath("zarno.socket")));
}

void TestZarnoApp::platformForTheSession_data()
{
    QTest::addColumn<QByteArray>("chosen");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<QByteArray>("x11");
    QTest::addColumn<QByteArray>("platform");
    QTest::newRow("wayland with xwayland") << QByteArray() << QByteArray("wayland-0") << QByteArray(":0")
                                           << QByteArray("xcb");
    QTest::newRow("wayland, user chose wayland") << QByteArray("wayland") << QByteArray("wayland-0")
                                                 << QByteArray(":0") << QByteArray();
    QTest::newRow("wayland without xwayland") << QByteArray() << QByteArray("wayland-0") << QByteArray()
                                              << QByteArray();
    QTest::newRow("x11") << QByteArray() << QByteArray() << QByteArray(":0") << QByteArray();
    QTest::newRow("offscreen") << QByteArray("offscreen") << QByteArray() << QByteArray() << QByteArray();
}

void TestZarnoApp::platformForTheSession()
{
    QFETCH(QByteArray, chosen);
    QFETCH(QByteArray, wayland);
    QFETCH(QByteArray, x11);
    QFETCH(QByteArray, platform);
    QCOMPARE(preferredPlatform({chosen, wayland, x11}), platform);
}

QTEST_MAIN(TestZarnoApp)
#include "tst_zarnoapp.moc"
