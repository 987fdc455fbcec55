#pragma once

#include <QObject>

#include <QCoroTask>

#include <chrono>

// A leg ends on the engine's word: after a finalize, once its connection has
// answered (or ended), not after a guessed wait. Connections are numbered in
// the order they were opened.
class FinalizeWait : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Connection `link` answered its finalize, ended its stream, or broke:
    // nothing more will come on it.
    void answered(quint64 link);
    // True once `link` has answered; false when `limit` passed first (a
    // server that never answers).
    [[nodiscard]] QCoro::Task<bool> wait(quint64 link, std::chrono::milliseconds limit);

Q_SIGNALS:
    void progressed();

private:
    quint64 m_answered = 0;
};
