#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

// Runs jobs one after another, in the order they were posted, on the thread
// of its context object, and never one inside another: a job that spins a
// nested event loop (Qt's audio back end does) does not let the next job start
// within it. post() may be called from any thread and never waits for a job.
class Strand
{
public:
    // `context` lives on the thread that runs the jobs and outlives the strand.
    explicit Strand(QObject *context);

    Strand(const Strand &) = delete;
    Strand &operator=(const Strand &) = delete;

    void post(std::function<void()> job);
    // On the context's thread, with nothing queued or running, runs `job`
    // now instead of waking the loop for it; anywhere else, posts it.
    void runOrPost(std::function<void()> job);

private:
    void run();

    QObject *m_context;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_jobs; // guarded by m_mutex
    bool m_scheduled = false;                 // guarded by m_mutex: a run is on its way
    bool m_running = false;                   // the context's thread only
};
