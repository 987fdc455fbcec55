#include "pulsetestenv.h"

#include <QCoreApplication>
#include <QMediaDevices>
#include <QProcess>

#include <cmath>
#include <cstring>

namespace pulsetestenv {

QString problem(bool &mustSkip)
{
    mustSkip = false;
    const QString unavailable = qEnvironmentVariable("ZARNO_PULSE_UNAVAILABLE");
    if (!unavailable.isEmpty()) {
        mustSkip = true;
        return QStringLiteral("PulseAudio could not be started here: ") + unavailable;
    }
    if (!qEnvironmentVariableIsSet("PULSE_SERVER"))
        return QStringLiteral("no test PulseAudio: run through scripts/test, or as "
                              "scripts/pulse-test-env run build/tests/audio/tst_miccapture");
    for (const char *name : {"virtmic", "virtmic16"}) {
        if (inputNamed(name).isNull())
            return QStringLiteral("the test PulseAudio has no source %1 (see scripts/pulse-test-env)").arg(QLatin1String(name));
    }
    if (QMediaDevices::defaultAudioInput().id() != "virtmic")
        return QStringLiteral("the test PulseAudio's default source is not virtmic");
    return {};
}

QAudioDevice inputNamed(const QByteArray &name)
{
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    for (const QAudioDevice &device : inputs) {
        if (device.id() == name)
            return device;
    }
    return {};
}

bool play(const QString &sink, int rate, int channels, const QByteArray &pcm)
{
    QProcess pacat;
    pacat.start(QStringLiteral("pacat"), {QStringLiteral("--playback"), QStringLiteral("--raw"),
                                          QStringLiteral("--device=") + sink, QStringLiteral("--format=s16le"),
                                          QStringLiteral("--rate=%1").arg(rate), QStringLiteral("--channels=%1").arg(channels),
                                          QStringLiteral("--latency-msec=20")});
    if (!pacat.waitForStarted(5000))
        return false;
    pacat.write(pcm);
    pacat.closeWriteChannel();
    const int seconds = int(pcm.size() / (2 * channels) / rate) + 10;
    return pacat.waitForFinished(seconds * 1000) && pacat.exitStatus() == QProcess::NormalExit && pacat.exitCode() == 0;
}

int ourRecordingStreams()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("source-outputs")});
    if (!pactl.waitForFinished(5000))
        return -1;
    const QByteArray mine = "application.process.id = \"" + QByteArray::number(QCoreApplication::applicationPid()) + '"';
    return int(pactl.readAllStandardOutput().count(mine));
}

QByteArray toneWithSilence(int rate, int channels, double frequency, double peak,
                           double silenceBefore, double seconds, double silenceAfter)
{
    const qsizetype before = qsizetype(silenceBefore * rate);
    const qsizetype loud = qsizetype(seconds * rate);
    const qsizetype frames = before + loud + qsizetype(silenceAfter * rate);
    QByteArray pcm(frames * channels * 2, '\0');
    for (qsizetype i = 0; i < loud; ++i) {
        const qint16 sample = qint16(std::lrint(32767 * peak * std::sin(2 * M_PI * frequency * double(i) / rate)));
        for (int c = 0; c < channels; ++c)
            std::memcpy(pcm.data() + ((before + i) * channels + c) * 2, &sample, 2);
    }
    return pcm;
}

} // namespace pulsetestenv
