#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

// A PulseAudio server of our own, in a temporary directory, with a null sink
// and a recordable source "virtmic" on its monitor as the default source.
// It never touches the user's sound server.
class PrivatePulse
{
public:
    ~PrivatePulse() { stop(); }

    // Empty on success, otherwise why the server did not come up.
    QString start()
    {
        if (!m_dir.isValid())
            return QStringLiteral("no temporary directory");
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        QDir(m_dir.path()).mkpath(QStringLiteral("config"));
        QFile script(m_dir.filePath(QStringLiteral("test.pa")));
        if (!script.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write the server script");
        script.write("load-module module-native-protocol-unix auth-anonymous=1\n"
                     "load-module module-null-sink sink_name=nullsink\n"
                     "load-module module-remap-source master=nullsink.monitor source_name=virtmic\n"
                     "set-default-sink nullsink\n"
                     "set-default-source virtmic\n");
        script.close();

        m_server = std::make_unique<QProcess>();
        m_server->setProcessEnvironment(environment());
        m_server->setProcessChannelMode(QProcess::MergedChannels);
        m_server->setStandardOutputFile(m_dir.filePath(QStringLiteral("pa.out")));
        // In the foreground, so that it is our child and ends with us.
        m_server->start(QStringLiteral("pulseaudio"),
                        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
                         QStringLiteral("--use-pid-file=no"), QStringLiteral("-F"), script.fileName(),
                         QStringLiteral("--log-target=file:") + m_dir.filePath(QStringLiteral("pa.log"))});
        if (!m_server->waitForStarted(5000))
            return QStringLiteral("pulseaudio cannot be started: ") + m_server->errorString();

        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (m_server->state() != QProcess::Running)
                return QStringLiteral("pulseaudio exited: ") + log();
            if (QFile::exists(m_dir.filePath(QStringLiteral("run/native"))) && run({QStringLiteral("info")}) == 0)
                return {};
            QThread::msleep(50);
        }
        return QStringLiteral("pulseaudio did not answer within 10 s: ") + log();
    }

    void stop()
    {
        if (!m_server)
            return;
        m_server->terminate();
        if (!m_server->waitForFinished(3000)) {
            m_server->kill();
            m_server->waitForFinished(3000);
        }
        m_server.reset();
    }

    [[nodiscard]] bool running() const { return m_server && m_server->state() == QProcess::Running; }

    [[nodiscard]] QByteArray address() const { return "unix:" + QFile::encodeName(m_dir.filePath(QStringLiteral("run/native"))); }

    // What a client of this server needs in its environment.
    [[nodiscard]] QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), m_dir.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("PULSE_SERVER"), QString::fromLocal8Bit(address()));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("HOME"), m_dir.path());
        return env;
    }

    // Runs pactl against this server; its exit status, and what it printed.
    int run(const QStringList &arguments, QByteArray *printed = nullptr) const
    {
        QProcess pactl;
        pactl.setProcessEnvironment(environment());
        pactl.start(QStringLiteral("pactl"), arguments);
        if (!pactl.waitForFinished(5000)) {
            pactl.kill();
            pactl.waitForFinished();
            return -1;
        }
        if (printed)
            *printed = pactl.readAllStandardOutput();
        return pactl.exitStatus() == QProcess::NormalExit ? pactl.exitCode() : -1;
    }

    [[nodiscard]] QByteArray output(const QStringList &arguments) const
    {
        QByteArray printed;
        run(arguments, &printed);
        return printed;
    }

    // The index of the loaded module whose arguments contain `argument`.
    [[nodiscard]] QString moduleOf(const QByteArray &argument) const
    {
        for (const QByteArray &line : output({QStringLiteral("list"), QStringLiteral("modules"), QStringLiteral("short")}).split('\n')) {
            if (line.contains(argument))
                return QString::fromLatin1(line.split('\t').value(0));
        }
        return {};
    }

    // Whether the server reports virtmic as RUNNING.
    [[nodiscard]] bool sourceRunning() const
    {
        QProcess pactl;
        pactl.setProcessEnvironment(environment());
        pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sources"), QStringLiteral("short")});
        if (!pactl.waitForFinished(5000))
            return false;
        for (const QByteArray &line : pactl.readAllStandardOutput().split('\n')) {
            if (line.contains("\tvirtmic\t"))
                return line.contains("RUNNING");
        }
        return false;
    }

    // A recording from the default source, as a meeting program would make.
    [[nodiscard]] std::unique_ptr<QProcess> record() const
    {
        auto recorder = std::make_unique<QProcess>();
        recorder->setProcessEnvironment(environment());
        recorder->setStandardOutputFile(QProcess::nullDevice());
        recorder->start(QStringLiteral("parecord"), {QStringLiteral("--raw")});
        return recorder;
    }

    [[nodiscard]] QString log() const
    {
        QFile file(m_dir.filePath(QStringLiteral("pa.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll().right(2000)) : QString();
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;
};
