#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineView>

// Runs a script in the page shown by `view` and waits for its result (an
// invalid value when the page gives none within ten seconds).
inline QVariant evaluate(QWebEngineView *view, const QString &script)
{
    QVariant result;
    bool done = false;
    view->page()->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        done = true;
    });
    QDeadlineTimer deadline(10000);
    while (!done && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return result;
}
