#pragma once

#include "clock.h"

#include <QTimeZone>

// Stops the wall clock `seconds` after 2001-01-01 00:00 UTC, the reference
// of the recording dot's breath.
inline void stopClockAt(double seconds)
{
    const QDateTime at = QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()).addMSecs(qint64(seconds * 1000));
    Clock::setSource([at] { return at; });
}
