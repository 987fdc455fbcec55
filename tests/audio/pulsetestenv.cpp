#include "pulsetestenv.h"

#include <QCoreApplication>
#include <QMediaDevices>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

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

namespace {

QByteArray wav(int rate, int channels, const QByteArray &pcm)
{
    QByteArray out;
    const auto put = [&out](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.append(char((value >> (8 * i)) & 0xff));
    };
    out.append("RIFF");
    put(quint32(36 + pcm.size()), 4);
    out.append("WAVEfmt ");
    put(16, 4);
    put(1, 2); // integer PCM
    put(quint32(channels), 2);
    put(quint32(rate), 4);
    put(quint32(rate * channels * 2), 4);
    put(quint32(channels * 2), 2);
    put(16, 2);
    out.append("data");
    put(quint32(pcm.size()), 4);
    return out + pcm;
}

bool pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

bool play(const QString &sink, int rate, int channels, const QByteArray &pcm)
{
    return playTogether({{sink, pcm}}, rate, channels);
}

bool playTogether(const QList<std::pair<QString, QByteArray>> &clips, int rate, int channels)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return false;
    static int uploaded = 0;
    QStringList names;
    for (const auto &[sink, pcm] : clips) {
        QFile file(dir.filePath(QStringLiteral("clip%1.wav").arg(names.size())));
        if (!file.open(QIODevice::WriteOnly) || file.write(wav(rate, channels, pcm)) < 0)
            return false;
        file.close();
        names << QStringLiteral("zarno-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++uploaded);
        if (!pactl({QStringLiteral("upload-sample"), file.fileName(), names.last()}))
            return false;
    }
    for (qsizetype i = 0; i < clips.size(); ++i) {
        if (!pactl({QStringLiteral("play-sample"), names[i], clips[i].first}))
            return false;
    }
    return true;
}

bool removeSpeakers()
{
    QProcess modules;
    modules.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules")});
    if (!modules.waitForFinished(5000))
        return false;
    for (const QByteArray &line : modules.readAllStandardOutput().split('\n')) {
        if (line.contains("module-null-sink") && line.contains("sink_name=speakers"))
            return pactl({QStringLiteral("unload-module"), QString::fromLatin1(line.split('\t').value(0))});
    }
    return false;
}

bool restoreSpeakers()
{
    return pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=speakers"),
                  QStringLiteral("rate=48000"), QStringLiteral("channels=2")})
        && pactl({QStringLiteral("set-default-sink"), QStringLiteral("speakers")});
}

int echoSpeakersIntoMic(int delayMs, double gain)
{
    if (!pactl({QStringLiteral("set-sink-volume"), QStringLiteral("mic48"), QString::number(gain)}))
        return -1;
    QProcess load;
    load.start(QStringLiteral("pactl"), {QStringLiteral("load-module"), QStringLiteral("module-loopback"),
                                         QStringLiteral("source=speakers.monitor"), QStringLiteral("sink=mic48"),
                                         QStringLiteral("latency_msec=%1").arg(delayMs)});
    bool ok = false;
    const int module = load.waitForFinished(10000) ? load.readAllStandardOutput().trimmed().toInt(&ok) : -1;
    return ok ? module : -1;
}

void stopEcho(int module)
{
    if (module >= 0)
        (void)pactl({QStringLiteral("unload-module"), QString::number(module)});
    (void)pactl({QStringLiteral("set-sink-volume"), QStringLiteral("mic48"), QStringLiteral("1.0")});
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
