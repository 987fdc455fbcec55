#include "platformchoice.h"
#include "previewrender.h"
#include "singleinstance.h"
#include "zarnoapp.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoroTask>
#include <QDeadlineTimer>
#include <QLockFile>
#include <QThread>
#include <QTextStream>

#include <cstdio>
#include <cstring>

namespace {

bool asksForPreviews(int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--render-hud") == 0)
            return true;
    }
    return false;
}

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

bool asksForHelpOrVersion(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"-h", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
    }
    return false;
}

// Answers --help and --version without a display and without reaching a
// running zarno; QCommandLineParser prints and exits.
int answerHelpOrVersion(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARNO_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "zarno takes notes of meetings: it listens through the microphone, shows the live transcript with its "
        "translation in a floating panel, and saves it as notes when you stop.\n\n"
        "Started without a command it lives in the tray and opens its main window. One zarno runs per user: "
        "a second launch hands its command to the running one and prints its answer.\n\n"
        "Commands:\n"
        "  start   take notes (resumes a paused session; starts zarno if it is not running)\n"
        "  pause   pause taking notes\n"
        "  resume  take notes again after a pause\n"
        "  stop    stop and save the notes\n"
        "  show    bring up the live panel\n"
        "  status  print the session's state\n"
        "  zarno:URL  open the web application in the main window\n\n"
        "status, pause, resume, stop and show print \"zarno is not running.\" and exit with status 3 when no "
        "zarno runs.\n\n"
        "Settings live in $XDG_CONFIG_HOME/zarno/zarno.conf (serverURL, the service's address). On a Wayland "
        "desktop zarno runs through XWayland so that its panels can stay on top; set QT_QPA_PLATFORM=wayland "
        "to choose otherwise."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("A command or a zarno: link (see above)."),
                                 QStringLiteral("[command]"));
    parser.addOption({QStringLiteral("hidden"),
                      QStringLiteral("Start in the tray without opening the main window (as at login).")});
    parser.addOption({QStringLiteral("render-hud"),
                      QStringLiteral("Write preview images of the live panel and the meeting prompt into <dir> and exit."),
                      QStringLiteral("dir")});
    parser.process(app);
    return 0;
}

bool needsARunningZarno(const QStringList &arguments)
{
    static const QStringList verbs{QStringLiteral("status"), QStringLiteral("pause"), QStringLiteral("resume"),
                                   QStringLiteral("stop"), QStringLiteral("show")};
    return !arguments.isEmpty() && verbs.contains(arguments.first());
}

QStringList handedOver(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

} // namespace

int main(int argc, char *argv[])
{
    if (asksForHelpOrVersion(argc, argv))
        return answerHelpOrVersion(argc, argv);
    const bool previews = asksForPreviews(argc, argv);
    const QStringList arguments = handedOver(argc, argv);
    // Started at login: into the tray, without the window; a zarno already
    // running is only asked how it is.
    const bool hidden = arguments == QStringList{QStringLiteral("--hidden")};
    const QStringList handOver = hidden ? QStringList{QStringLiteral("status")} : arguments;
    // Held for the life of the running zarno, so that two launches at once
    // cannot both become it (a dead holder's lock is taken over).
    QLockFile startLock(SingleInstance::defaultSocketPath() + QStringLiteral(".lock"));
    startLock.setStaleLockTime(0); // only a dead holder makes it stale, however old
    if (!previews) {
        // One zarno per user: a running one takes the arguments and answers.
        if (const std::optional<QString> answer = SingleInstance::send(SingleInstance::defaultSocketPath(), handOver)) {
            std::fputs(qPrintable(*answer + u'\n'), stdout);
            return 0;
        }
        const QDeadlineTimer patience(15000);
        while (!startLock.tryLock(0)) {
            if (const std::optional<QString> answer =
                    SingleInstance::send(SingleInstance::defaultSocketPath(), handOver)) {
                std::fputs(qPrintable(*answer + u'\n'), stdout);
                return 0;
            }
            if (patience.hasExpired()) {
                std::fputs("Another zarno is starting but does not answer yet; try again in a moment.\n", stderr);
                return 1;
            }
            QThread::msleep(100);
        }
        if (needsARunningZarno(arguments)) {
            std::fputs("zarno is not running.\n", stdout);
            return 3;
        }
        if (!hasDisplay()) {
            std::fputs("zarno needs a desktop, and there is no display here (neither DISPLAY nor WAYLAND_DISPLAY is "
                       "set).\n",
                       stderr);
            return 1;
        }
    } else if (!hasDisplay()) {
        // Previews draw off screen; they need no windowing system.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    if (const QByteArray platform = preferredPlatform(currentSessionEnvironment()); !platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    // The live panel redraws a few small areas a second for hours. Through
    // X shared memory each costs a round trip to the server and a completion
    // event to wake for, more than sending those few pixels does.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    markStartup("application");
    QCoreApplication::setOrganizationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARNO_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("app.zarno.Zarno"));
    if (PreviewRender::runIfRequested(QCoreApplication::arguments()))
        return 0;
    // Closing the main window leaves zarno running; only "Quit zarno" ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    ZarnoApp zarno;
    markStartup("controller");
    SingleInstance instance;
    if (instance.listen()) {
        markStartup("socket");
        instance.setHandler([&zarno](QStringList handed) { return zarno.handle(std::move(handed)); });
    }
    zarno.start(!hidden);
    // Launched with a command or an address: act on it as the running zarno would.
    if (!hidden && !arguments.isEmpty() && arguments.first() != QLatin1StringView("--render-hud"))
        zarno.handle(arguments);
    return app.exec();
}
