#include "clock.h"

namespace {

std::function<QDateTime()> &source()
{
    static std::function<QDateTime()> function;
    return function;
}

} // namespace

QDateTime Clock::now()
{
    return source() ? source()() : QDateTime::currentDateTimeUtc();
}

double Clock::secondsSinceEpoch()
{
    return double(now().toMSecsSinceEpoch()) / 1000.0;
}

void Clock::setSource(std::function<QDateTime()> function)
{
    source() = std::move(function);
}
