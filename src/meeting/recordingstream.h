#pragma once

#include <QString>

// What the sound server tells of one recording from the microphone: enough
// to name the program behind it and to tell a level meter from a recording.
struct RecordingStream
{
    QString applicationName; // application.name
    QString binary;          // application.process.binary
    QString applicationId;   // application.id (a desktop or Flatpak id)
    QString resampleMethod;  // "peaks" for streams that only read levels
    bool monitor = false;    // stream.monitor (PipeWire's peak streams)
};

// Level meters (sound settings, pavucontrol) read the microphone without
// recording anyone: they are no sign of a meeting.
[[nodiscard]] bool isLevelMeter(const RecordingStream &stream);

// The name a user knows the recording program by: a meeting program's or a
// known program's own name; empty for any other program.
[[nodiscard]] QString recorderName(const RecordingStream &stream);
