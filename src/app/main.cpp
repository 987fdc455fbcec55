#include "previewrender.h"
#include "singleinstance.h"
#include "zarnoapp.h"

#include <QApplication>
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
    const bool previews = asksForPreviews(argc, argv);
    const QStringList arguments = handedOver(argc, argv);
    // Held for the life of the running zarno, so that two launches at once
    // cannot both become it (a dead holder's lock is taken over).
    QLockFile startLock(SingleInstance::defaultSocketPath() + QStringLiteral(".lock"));
    startLock.setStaleLockTime(0); // only a dead holder makes it stale, however old
    if (!previews) {
        // One zarno per user: a running one takes the arguments and answers.
        if (const std::optional<QString> answer = SingleInstance::send(SingleInstance::defaultSocketPath(), arguments)) {
            std::fputs(qPrintable(*answer + u'\n'), stdout);
            return 0;
        }
        const QDeadlineTimer patience(15000);
        while (!startLock.tryLock(0)) {
            if (const std::optional<QString> answer =
                    SingleInstance::send(SingleInstance::defaultSocketPath(), arguments)) {
                std::fputs(qPrintable(*answer + u'\n'), stdout);
                return 0;
            }
            if (patience.hasExpired()) {
                std::fputs("Another zarno is starting but does not answer yet; try again in a moment.\n", stderr);
                return 1;
            }
            QThread::msleep(100);
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

    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARNO_VERSION));
    if (PreviewRender::runIfRequested(QCoreApplication::arguments()))
        return 0;
    // Closing the main window leaves zarno running; only "Quit zarno" ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    ZarnoApp zarno;
    SingleInstance instance;
    if (instance.listen())
        instance.setHandler([&zarno](QStringList handed) { return zarno.handle(std::move(handed)); });
    zarno.start();
    // Launched with a command or an address: act on it as the running zarno would.
    if (!arguments.isEmpty() && arguments.first() != QLatin1StringView("--render-hud"))
        zarno.handle(arguments);
    return app.exec();
}
