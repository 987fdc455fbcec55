#pragma once

#include <QDateTime>

#include <functional>

// The wall clock, which tests can replace so that minutes of a session or an
// hour of token life pass without waiting.
class Clock
{
public:
    [[nodiscard]] static QDateTime now();
    [[nodiscard]] static double secondsSinceEpoch();

    // Replaces the time source; an empty function restores the system clock.
    // Set it before the code under test runs, from the GUI thread.
    static void setSource(std::function<QDateTime()> source);
};
