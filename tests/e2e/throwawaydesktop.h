#pragma once

// Everything a person's computer would have, made fresh for one scenario in a
// temporary directory: an X server with a window manager, a tray host and a
// compositor; a PulseAudio whose default microphone hears what is played into
// the sink "mic48"; the local zarno service on a free port of 127.0.0.1; and
// zarno with its own settings, data and runtime directories. Every process
// runs in a process group of its own and is ended with it, also when a
// scenario fails half way.

#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

// One process in a process group of its own.
class Child
{
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { stop(); }

    bool start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
               const QString &logFile = {});
    // SIGTERM to the group, then SIGKILL to whatever is left of it.
    void stop();
    // SIGKILL at once, as a crash or a power cut would.
    void kill();
    [[nodiscard]] bool running() const;
    // Waits for the process to end on its own.
    bool waitForExit(int ms);
    [[nodiscard]] int exitCode() const { return m_process ? m_process->exitCode() : -1; }
    [[nodiscard]] QProcess *process() { return m_process.get(); }

private:
    void signalGroup(int signal);

    std::unique_ptr<QProcess> m_process;
    qint64 m_group = 0;
};

struct WindowInfo
{
    quint64 id = 0;
    QRect frame;
    QString type; // the first _NET_WM_WINDOW_TYPE, e.g. "_NET_WM_WINDOW_TYPE_UTILITY"
};

class ThrowawayDesktop
{
public:
    ThrowawayDesktop();
    ~ThrowawayDesktop();

    // Starts the X server, window manager, tray host, compositor, PulseAudio
    // and the service. On failure `why` says what is missing; `machineLacks`
    // is true when the machine truly has no such program or sound server.
    bool setUp(bool testControls, QString *why, bool *machineLacks);

    // Before setUp: the service relays transcription to the provider's API at
    // `url` (a fake on loopback), its key in a file only its owner reads.
    void relayTo(const QUrl &url, const QString &key);
    // Before setUp: the service asks the chat-completions API at `url` (a fake) for summaries.
    void summariseWith(const QUrl &url);
    // One of zarno's settings, changed as the menu panel would.
    bool setZarnoSetting(const QString &key, const QString &value);

    // zarno itself, the way a user launches it, and a second launch with a
    // verb, which the running zarno answers with its state.
    bool launchZarno(const QStringList &arguments = {});
    QString command(const QString &verb);
    // kill -9 of zarno and its helpers, as the OOM killer would.
    void killZarno();
    // Asks `status` until its answer satisfies `accept`; returns the last answer.
    QString waitForStatus(const std::function<bool(const QString &)> &accept, int ms);
    void stopZarno();
    // `zarno --render-hud DIR` without any display; returns its exit code.
    int renderPreviews(const QString &dir);

    // The service: killed as by a crash, then brought back on the same port
    // and data directory.
    void killService();
    bool restartService();
    [[nodiscard]] QString serviceURL() const;
    bool failUploads(bool fail);
    // A sign-in over HTTP for reading the stored notes; the token stays here.
    bool signInOverHttp(const QString &email, const QString &password);
    // Puts that sign-in into zarno's settings, as zarno itself keeps it.
    bool writeSignInForZarno();
    [[nodiscard]] QString zarnoSettings() const;
    [[nodiscard]] QJsonArray storedNotes();
    [[nodiscard]] QJsonObject storedNote(const QString &id);
    // Every request the service logged, as "Get /path -> 200".
    [[nodiscard]] QStringList serviceLog() const;

    // The sound server: killed as by a crash, then started again with the
    // same address and devices.
    void killSoundServer();
    bool restartSoundServer();

    // Speech, played into the virtual microphone in real time.
    bool startSpeaking(const QString &rawRecording);
    [[nodiscard]] bool speaking() const { return m_speech.running(); }
    // A recording program holding the microphone.
    bool startRecordingProgram();
    void stopRecordingProgram();

    // The screen, its windows and a person's mouse and keyboard.
    [[nodiscard]] QImage screenshot();
    [[nodiscard]] QImage screenshotOf(const WindowInfo &window);
    [[nodiscard]] QList<WindowInfo> zarnoWindows();
    // The tray host's window, in the top-right corner.
    [[nodiscard]] std::optional<WindowInfo> trayHost();
    std::optional<WindowInfo> waitForWindow(const std::function<bool(const WindowInfo &)> &accept, int ms);
    void click(QPoint point);
    void type(const QString &text);
    void key(const QString &name);
    [[nodiscard]] QSize screenSize() const { return {1280, 800}; }

    [[nodiscard]] QString scratch() const { return m_dir.path(); }
    // What every process here runs with: the display, sound server, directories.
    [[nodiscard]] QProcessEnvironment environment() const { return m_env; }
    // What the processes printed, for a failing scenario's message.
    [[nodiscard]] QString logTail(const QString &name) const;

private:
    QList<WindowInfo> windowsOf(const QString &classPattern);
    bool startX(QString *why);
    bool startPulse(QString *why);
    bool startService(int port, QString *why);
    QString run(const QString &program, const QStringList &arguments, int ms = 10000);
    QByteArray http(const QByteArray &method, const QString &path, const QByteArray &body,
                    const QList<QPair<QByteArray, QByteArray>> &headers, int *status = nullptr);

    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    QString m_display;
    int m_port = 0;
    bool m_testControls = false;
    QStringList m_serviceExtra;
    bool m_pulseUp = false;
    QJsonObject m_grant;
    Child m_x, m_windowManager, m_compositor, m_tray, m_service, m_zarno, m_speech, m_recorder;
};
