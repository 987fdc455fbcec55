#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QObject>
#include <QPromise>
#include <QTimer>

#include <chrono>
#include <memory>

// Resumes at the next emission of `signal` or when `timeout` has passed,
// whichever comes first; safe for signals emitted several times in a row,
// and for a sender that goes away meanwhile (the timeout still ends it).
template<typename Sender, typename Signal>
QCoro::Task<> nextSignalOrTimeout(Sender *sender, Signal signal, std::chrono::milliseconds timeout)
{
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    const auto finish = [promise] {
        if (!promise->future().isFinished())
            promise->finish();
    };
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &timer, finish);
    const QMetaObject::Connection connection = QObject::connect(sender, signal, &timer, finish);
    timer.start(timeout);
    co_await promise->future();
    QObject::disconnect(connection);
}
