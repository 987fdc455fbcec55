#pragma once

#include <QObject>

// Watches whether the default microphone is being recorded from. Every look
// at the device reaches the GUI thread as a signal; the first look tells the
// state the device already had when the watch came up.
class MicActivity : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

Q_SIGNALS:
    // The watch is up; `active` is the device's state at that moment.
    void started(bool active);
    // A later look at the device.
    void looked(bool active);
    // There is nothing to watch (no sound server), or the watch ended.
    void unavailable();
};
