#include "strand.h"

#include <QThread>

Strand::Strand(QObject *context)
    : m_context(context)
{
}

void Strand::post(std::function<void()> job)
{
    bool schedule = false;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
        schedule = !std::exchange(m_scheduled, true);
    }
    // One queued call drains everything posted until the queue is empty, so
    // a burst of jobs costs one event, not one each.
    if (schedule)
        QMetaObject::invokeMethod(m_context, [this] { run(); }, Qt::QueuedConnection);
}

void Strand::runOrPost(std::function<void()> job)
{
    if (QThread::currentThread() == m_context->thread() && !m_running) {
        bool idle = false;
        {
            std::lock_guard lock(m_mutex);
            idle = m_jobs.empty() && !m_scheduled;
        }
        if (idle) {
            m_running = true;
            job();
            m_running = false;
            return;
        }
    }
    post(std::move(job));
}

void Strand::run()
{
    if (m_running)
        return; // called from a nested event loop: the outer run goes on
    m_running = true;
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(m_mutex);
            if (m_jobs.empty()) {
                m_scheduled = false;
                break;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
    m_running = false;
}
