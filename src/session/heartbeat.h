#pragma once

#include <QtGlobal>

#include <functional>

// Lets small periodic work ride on a thread that wakes regularly anyway (the
// microphone's, about twelve times a second while listening) instead of
// waking a thread of its own: on a virtual machine a wake-up alone costs
// more than such work. The work runs on the beating thread, so it must be
// short and touch only what it guards itself.
class Heartbeat
{
public:
    // A key for leave().
    static int join(std::function<void()> work);
    // Once this returns, the work is not running and never runs again.
    static void leave(int key);
    // Runs the work joined; next to nothing when there is none.
    static void beat();
    // Whether a beat came within the last `ms` milliseconds.
    [[nodiscard]] static bool beatWithin(int ms);
};
