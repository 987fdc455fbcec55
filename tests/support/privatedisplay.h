#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>
#include <QThread>

// An X server with a window manager of the test's own: what decides whether
// a newly shown window takes the focus, and whether a window is active.
struct PrivateDisplay
{
    QProcess server;
    QProcess manager;

    ~PrivateDisplay()
    {
        for (QProcess *p : {&manager, &server}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->terminate();
            if (!p->waitForFinished(3000)) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
    }

    // The display name, or empty when no X server with a window manager came up.
    QString start(QString *why)
    {
        server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                               QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                                               QStringLiteral("tcp"), QStringLiteral("-noreset")});
        if (!server.waitForStarted(5000)) {
            *why = QStringLiteral("Xvfb cannot be started: ") + server.errorString();
            return {};
        }
        QByteArray number;
        const QDeadlineTimer deadline(10000);
        while (!number.endsWith('\n') && !deadline.hasExpired() && server.state() == QProcess::Running) {
            server.waitForReadyRead(100);
            number += server.readAllStandardOutput();
        }
        if (!number.endsWith('\n')) {
            *why = QStringLiteral("Xvfb did not name its display");
            return {};
        }
        const QString display = u':' + QString::fromLatin1(number.trimmed());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        manager.setProcessEnvironment(env);
        manager.setStandardOutputFile(QProcess::nullDevice());
        manager.setStandardErrorFile(QProcess::nullDevice());
        manager.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        if (!manager.waitForStarted(5000)) {
            *why = QStringLiteral("openbox cannot be started: ") + manager.errorString();
            return {};
        }
        // The window manager is up once it has announced itself on the root window.
        while (!deadline.hasExpired()) {
            QProcess xprop;
            xprop.setProcessEnvironment(env);
            xprop.start(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
            if (xprop.waitForFinished(3000) && xprop.readAllStandardOutput().contains("window id"))
                return display;
            QThread::msleep(50);
        }
        *why = QStringLiteral("openbox did not come up");
        return {};
    }
};

// Runs the test on a private display, or reports a skip when none comes up.
template<typename Test>
int runOnPrivateDisplay(int argc, char *argv[])
{
    PrivateDisplay display;
    QString why;
    const QString name = display.start(&why);
    if (name.isEmpty()) {
        // Nothing to test against: report it as a skip, not as a failure.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        QTest::qExec(new QObject, argc, argv);
        qWarning("SKIP: no X server with a window manager: %s", qPrintable(why));
        return 0;
    }
    qputenv("DISPLAY", name.toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
