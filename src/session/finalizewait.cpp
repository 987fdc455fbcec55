#include "finalizewait.h"
#include "signalwait.h"

#include <QDeadlineTimer>
#include <QPointer>

void FinalizeWait::answered(quint64 link)
{
    if (link <= m_answered)
        return;
    m_answered = link;
    Q_EMIT progressed();
}

QCoro::Task<bool> FinalizeWait::wait(quint64 link, std::chrono::milliseconds limit)
{
    QPointer<FinalizeWait> self(this);
    const QDeadlineTimer deadline(limit);
    while (self && m_answered < link && !deadline.hasExpired())
        co_await nextSignalOrTimeout(this, &FinalizeWait::progressed,
                                     std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime())));
    co_return self && m_answered >= link;
}
