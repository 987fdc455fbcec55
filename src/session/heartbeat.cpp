#include "heartbeat.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

namespace {

std::mutex joinedMutex;
std::map<int, std::function<void()>> joined; // guarded by joinedMutex
int lastKey = 0;                             // guarded by joinedMutex
std::atomic<int> joinedCount{0};
std::atomic<qint64> lastBeatMs{0};

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

int Heartbeat::join(std::function<void()> work)
{
    std::lock_guard lock(joinedMutex);
    joined.emplace(++lastKey, std::move(work));
    joinedCount.store(int(joined.size()), std::memory_order_relaxed);
    return lastKey;
}

void Heartbeat::leave(int key)
{
    // Beats run the work under this lock: taking it waits for one running.
    std::lock_guard lock(joinedMutex);
    joined.erase(key);
    joinedCount.store(int(joined.size()), std::memory_order_relaxed);
}

void Heartbeat::beat()
{
    lastBeatMs.store(nowMs(), std::memory_order_relaxed);
    if (joinedCount.load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard lock(joinedMutex);
    for (const auto &[key, work] : joined)
        work();
}

bool Heartbeat::beatWithin(int ms)
{
    const qint64 last = lastBeatMs.load(std::memory_order_relaxed);
    return last != 0 && nowMs() - last <= ms;
}
