#pragma once

#include <QObject>
#include <QString>

// Watches whether the default microphone is being recorded from. Every look
// at the device reaches the GUI thread as a signal; the first look tells the
// state the device already had when the watch came up.
class MicActivity : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The program behind the latest recording of another program, as a user
    // knows it; empty when nothing records or the program is unknown.
    [[nodiscard]] QString recorder() const { return m_recorder; }

protected:
    // Called on the watch's own thread, before the look it belongs to.
    void setRecorder(QString recorder) { m_recorder = std::move(recorder); }

Q_SIGNALS:
    // The watch is up; `active` is the device's state at that moment.
    void started(bool active);
    // A later look at the device.
    void looked(bool active);
    // There is nothing to watch (no sound server), or the watch ended.
    void unavailable();

private:
    QString m_recorder;
};
