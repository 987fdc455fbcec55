#pragma once

// The private PulseAudio that scripts/test starts (scripts/pulse-test-env):
// whether it is there, playing sound into its virtual microphones, and
// counting the recording streams this process holds open.

#include <QAudioDevice>
#include <QByteArray>
#include <QString>

namespace pulsetestenv {

// Empty when the daemon is usable; otherwise why not, in a sentence.
[[nodiscard]] QString problem(bool &mustSkip);

// The input device with the given PulseAudio source name, or a null device.
[[nodiscard]] QAudioDevice inputNamed(const QByteArray &name);

// Plays interleaved s16 PCM into `sink`. The server holds the whole clip
// before its first sample is heard, so a busy machine cannot open gaps in it
// the way a client that falls behind would; returns once it has begun.
bool play(const QString &sink, int rate, int channels, const QByteArray &pcm);
// Plays clips into their sinks at nearly the same moment: each is held by
// the server before the first begins. Keyed by sink.
bool playTogether(const QList<std::pair<QString, QByteArray>> &clips, int rate, int channels);

// The default output "speakers" (a null sink) taken away, and put back as it
// was, the default again.
bool removeSpeakers();
bool restoreSpeakers();

// What the speakers play heard again in the microphone, `gain` as loud and
// about `delayMs` later, as a room would echo it (the server's loopback);
// until stopEcho(). The module's index, or -1.
int echoSpeakersIntoMic(int delayMs, double gain);
void stopEcho(int module);

// Recording streams that belong to this process.
[[nodiscard]] int ourRecordingStreams();

// Interleaved s16 PCM: `silenceBefore` seconds of silence, `seconds` of a
// sine in every channel, then `silenceAfter` seconds of silence.
[[nodiscard]] QByteArray toneWithSilence(int rate, int channels, double frequency, double peak,
                                         double silenceBefore, double seconds, double silenceAfter);

} // namespace pulsetestenv
