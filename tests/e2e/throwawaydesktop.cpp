#include "throwawaydesktop.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int startupMs = 20000;

bool waitUntil(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

// --- Child ------------------------------------------------------------------

bool Child::start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                  const QString &logFile)
{
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    m_process->setProcessEnvironment(environment);
    if (!logFile.isEmpty()) {
        m_process->setStandardOutputFile(logFile, QIODevice::Append);
        m_process->setStandardErrorFile(logFile, QIODevice::Append);
    }
    m_process->setStandardInputFile(QProcess::nullDevice());
    // Its own group, so that it ends with everything it started itself.
    m_process->setChildProcessModifier([] { ::setpgid(0, 0); });
    m_process->start();
    if (!m_process->waitForStarted(10000))
        return false;
    m_group = m_process->processId();
    return true;
}

void Child::signalGroup(int signal)
{
    if (m_group > 0)
        ::kill(pid_t(-m_group), signal);
}

bool Child::running() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool Child::waitForExit(int ms)
{
    return !m_process || waitUntil([this] { return !running(); }, ms);
}

void Child::stop()
{
    if (!m_process)
        return;
    if (running()) {
        signalGroup(SIGTERM);
        if (!m_process->waitForFinished(5000)) {
            signalGroup(SIGKILL);
            m_process->waitForFinished(5000);
        }
    }
    // Helpers it started may outlive it within its group.
    signalGroup(SIGKILL);
    m_group = 0;
    m_process.reset();
}

void Child::kill()
{
    if (!m_process)
        return;
    signalGroup(SIGKILL);
    m_process->waitForFinished(5000);
    m_group = 0;
    m_process.reset();
}

// --- ThrowawayDesktop -------------------------------------------------------

ThrowawayDesktop::ThrowawayDesktop()
{
    const QString root = m_dir.path();
    for (const char *sub : {"config/zarno", "data", "cache", "run", "service", "pulse", "logs"})
        QDir().mkpath(root + u'/' + QLatin1StringView(sub));
    QFile::setPermissions(root + u"/run"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    m_env = QProcessEnvironment::systemEnvironment();
    // Nothing of the machine's own desktop, sound server or settings.
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER", "PULSE_SOURCE",
                             "PULSE_SINK", "PULSE_RUNTIME_PATH", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER"})
        m_env.remove(QLatin1StringView(name));
    // No session bus: zarno keeps its sign-in in the settings file, and no
    // bus is autolaunched on the private display to prompt for a keyring.
    m_env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"disabled:"_s);
    m_env.insert(u"HOME"_s, root);
    m_env.insert(u"XDG_CONFIG_HOME"_s, root + u"/config"_s);
    m_env.insert(u"XDG_DATA_HOME"_s, root + u"/data"_s);
    m_env.insert(u"XDG_CACHE_HOME"_s, root + u"/cache"_s);
    m_env.insert(u"XDG_STATE_HOME"_s, root + u"/state"_s);
    m_env.insert(u"XDG_RUNTIME_DIR"_s, root + u"/run"_s);
    m_env.insert(u"QTWEBENGINE_DISABLE_SANDBOX"_s, u"1"_s);
    m_env.insert(u"QTWEBENGINE_CHROMIUM_FLAGS"_s, u"--disable-gpu"_s);
    m_env.insert(u"QT_LOGGING_RULES"_s, u"qt.webenginecontext.info=false"_s);
}

ThrowawayDesktop::~ThrowawayDesktop()
{
    m_recorder.stop();
    m_speech.stop();
    m_zarno.stop();
    m_service.stop();
    if (m_pulseUp)
        run(QStringLiteral(ZARNO_SOURCE_DIR "/scripts/pulse-test-env"), {u"stop"_s, m_dir.path() + u"/pulse"_s});
    m_tray.stop();
    m_compositor.stop();
    m_windowManager.stop();
    m_x.stop();
}

bool ThrowawayDesktop::setUp(bool testControls, QString *why, bool *machineLacks)
{
    *machineLacks = false;
    for (const char *program : {"Xvfb", "openbox", "trayer", "xcompmgr", "xdotool", "xwininfo", "xprop", "import",
                                "pulseaudio", "paplay", "parecord", "pactl", "sox"}) {
        if (QStandardPaths::findExecutable(QLatin1StringView(program)).isEmpty()) {
            *why = u"this machine has no %1 (scripts/setup installs it)"_s.arg(QLatin1StringView(program));
            *machineLacks = true;
            return false;
        }
    }
    m_testControls = testControls;
    if (!startX(why) || !startPulse(why))
        return false;
    if (!startService(0, why))
        return false;
    QFile conf(m_dir.path() + u"/config/zarno/zarno.conf"_s);
    if (!conf.open(QIODevice::WriteOnly)) {
        *why = u"cannot write zarno's settings"_s;
        return false;
    }
    conf.write("[General]\nserverURL=" + serviceURL().toUtf8() + '\n');
    return true;
}

bool ThrowawayDesktop::startX(QString *why)
{
    const QString logs = m_dir.path() + u"/logs/"_s;
    // -displayfd names a free display once the server accepts connections.
    if (!m_x.start(u"Xvfb"_s,
                   {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1280x800x24"_s, u"-nolisten"_s, u"tcp"_s,
                    u"-noreset"_s},
                   m_env)) {
        *why = u"Xvfb cannot be started"_s;
        return false;
    }
    QByteArray number;
    waitUntil([&] {
        if (!m_x.running())
            return true;
        m_x.process()->waitForReadyRead(50);
        number += m_x.process()->readAllStandardOutput();
        return number.contains('\n');
    }, startupMs);
    number = number.trimmed();
    if (number.isEmpty()) {
        *why = u"Xvfb did not name its display: "_s + QString::fromLocal8Bit(m_x.process()->readAllStandardError());
        return false;
    }
    m_display = u":"_s + QString::fromLatin1(number);
    m_env.insert(u"DISPLAY"_s, m_display);

    if (!m_windowManager.start(u"openbox"_s, {}, m_env, logs + u"openbox.log"_s)
        || !m_compositor.start(u"xcompmgr"_s, {}, m_env, logs + u"xcompmgr.log"_s)
        || !m_tray.start(u"trayer"_s,
                         // Top right and reserving no room, as on the desktop
                         // where the meeting prompt once covered the icon.
                         {u"--edge"_s, u"top"_s, u"--align"_s, u"right"_s, u"--widthtype"_s, u"request"_s,
                          u"--height"_s, u"24"_s, u"--SetDockType"_s, u"true"_s, u"--SetPartialStrut"_s, u"false"_s},
                         m_env, logs + u"trayer.log"_s)) {
        *why = u"the window manager, compositor or tray host cannot be started"_s;
        return false;
    }
    // The window manager and tray are up once they own their selections.
    const bool ready = waitUntil([&] {
        const QString owners = run(u"xprop"_s, {u"-root"_s, u"_NET_SUPPORTING_WM_CHECK"_s});
        return owners.contains(u"window id"_s)
            && !run(u"xdotool"_s, {u"search"_s, u"--class"_s, u"^trayer$"_s}).trimmed().isEmpty();
    }, startupMs);
    if (!ready) {
        *why = u"openbox or trayer did not take the display"_s;
        return false;
    }
    return true;
}

bool ThrowawayDesktop::startPulse(QString *why)
{
    const QString dir = m_dir.path() + u"/pulse"_s;
    QProcess pulse;
    pulse.setProcessEnvironment(m_env);
    pulse.start(QStringLiteral(ZARNO_SOURCE_DIR "/scripts/pulse-test-env"), {u"start"_s, dir});
    if (!pulse.waitForFinished(30000) || pulse.exitCode() != 0) {
        *why = u"PulseAudio did not start: "_s + QString::fromLocal8Bit(pulse.readAllStandardError()).trimmed();
        return false;
    }
    m_pulseUp = true;
    m_env.insert(u"PULSE_SERVER"_s, u"unix:"_s + dir + u"/run/native"_s);
    return true;
}

bool ThrowawayDesktop::startService(int port, QString *why)
{
    QStringList arguments{u"--port"_s, QString::number(port), u"--data-dir"_s, m_dir.path() + u"/service"_s};
    if (m_testControls)
        arguments << u"--test-controls"_s;
    arguments += m_serviceExtra;
    const QString log = m_dir.path() + u"/logs/service.log"_s;
    const qsizetype before = readAll(log).size();
    if (!m_service.start(QStringLiteral(ZARNO_SERVER_BINARY), arguments, m_env, log)) {
        *why = u"zarno-server cannot be started"_s;
        return false;
    }
    static const QRegularExpression listening(u"listening on http://127\\.0\\.0\\.1:(\\d+)"_s);
    QRegularExpressionMatch match;
    waitUntil([&] {
        match = listening.match(readAll(log).mid(before));
        return match.hasMatch() || !m_service.running();
    }, startupMs);
    if (!match.hasMatch()) {
        *why = u"zarno-server did not start listening: "_s + readAll(log).mid(before).right(400);
        return false;
    }
    m_port = match.captured(1).toInt();
    return true;
}

void ThrowawayDesktop::relayTo(const QUrl &url, const QString &key)
{
    const QString keyFile = m_dir.path() + u"/service-key"_s;
    QFile file(keyFile);
    if (file.open(QIODevice::WriteOnly)) {
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        file.write(key.toUtf8() + '\n');
    }
    m_serviceExtra = {u"--engine"_s, u"soniox"_s, u"--soniox-url"_s, url.toString(), u"--soniox-key-file"_s, keyFile};
}

void ThrowawayDesktop::summariseWith(const QUrl &url)
{
    m_serviceExtra += {u"--llm-url"_s, url.toString(), u"--llm-model"_s, u"fake"_s};
}

bool ThrowawayDesktop::setZarnoSetting(const QString &key, const QString &value)
{
    QSettings conf(m_dir.path() + u"/config/zarno/zarno.conf"_s, QSettings::IniFormat);
    conf.setValue(key, value);
    conf.sync();
    return conf.status() == QSettings::NoError;
}

QString ThrowawayDesktop::serviceURL() const
{
    return u"http://127.0.0.1:%1"_s.arg(m_port);
}

void ThrowawayDesktop::killService()
{
    m_service.kill();
}

bool ThrowawayDesktop::restartService()
{
    QString why;
    return startService(m_port, &why);
}

void ThrowawayDesktop::killSoundServer()
{
    const qint64 pid = readAll(m_dir.path() + u"/pulse/run/pid"_s).trimmed().toLongLong();
    if (pid <= 0)
        return;
    ::kill(pid_t(pid), SIGKILL);
    waitUntil([pid] { return ::kill(pid_t(pid), 0) != 0; }, startupMs);
}

bool ThrowawayDesktop::restartSoundServer()
{
    QString why;
    return startPulse(&why);
}

QString ThrowawayDesktop::run(const QString &program, const QStringList &arguments, int ms)
{
    QProcess process;
    process.setProcessEnvironment(m_env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(ms)) {
        process.kill();
        process.waitForFinished(2000);
    }
    return QString::fromUtf8(process.readAll());
}

// --- zarno --------------------------------------------------------------------

bool ThrowawayDesktop::launchZarno(const QStringList &arguments)
{
    // A killed zarno leaves its socket behind; the new one replaces it.
    const QString socket = m_dir.path() + u"/run/zarno.socket"_s;
    QFile::remove(socket);
    if (!m_zarno.start(QStringLiteral(ZARNO_APP_BINARY), arguments, m_env, m_dir.path() + u"/logs/zarno.log"_s))
        return false;
    // It is up once it listens for second launches; asking earlier would
    // make the asking launch the first zarno.
    return waitUntil([&] { return !m_zarno.running() || QFile::exists(socket); }, startupMs) && m_zarno.running()
        && command(u"status"_s) != u"zarno is not running."_s;
}

QString ThrowawayDesktop::command(const QString &verb)
{
    // The answer only, without what the launch may log.
    QProcess launch;
    launch.setProcessEnvironment(m_env);
    launch.setStandardErrorFile(QProcess::nullDevice());
    launch.start(QStringLiteral(ZARNO_APP_BINARY), {verb});
    if (!launch.waitForFinished(20000)) {
        launch.kill();
        launch.waitForFinished(2000);
    }
    return QString::fromUtf8(launch.readAllStandardOutput()).trimmed();
}

QString ThrowawayDesktop::waitForStatus(const std::function<bool(const QString &)> &accept, int ms)
{
    QString answer;
    waitUntil([&] {
        answer = command(u"status"_s);
        return accept(answer);
    }, ms);
    return answer;
}

void ThrowawayDesktop::stopZarno()
{
    m_zarno.stop();
}

void ThrowawayDesktop::killZarno()
{
    m_zarno.kill();
}

int ThrowawayDesktop::renderPreviews(const QString &dir)
{
    QProcess render;
    render.setProcessEnvironment(m_env);
    render.start(QStringLiteral(ZARNO_APP_BINARY), {u"--render-hud"_s, dir});
    if (!render.waitForFinished(60000)) {
        render.kill();
        render.waitForFinished(2000);
        return -1;
    }
    return render.exitStatus() == QProcess::NormalExit ? render.exitCode() : -1;
}

// --- the service over HTTP ----------------------------------------------------

QByteArray ThrowawayDesktop::http(const QByteArray &method, const QString &path, const QByteArray &body,
                                  const QList<QPair<QByteArray, QByteArray>> &headers, int *status)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(serviceURL() + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, method, body));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->readAll();
}

bool ThrowawayDesktop::failUploads(bool fail)
{
    int status = 0;
    http("POST", u"/__test/fail-sessions"_s, fail ? "{\"fail\":true}" : "{\"fail\":false}", {}, &status);
    return status == 200;
}

bool ThrowawayDesktop::signInOverHttp(const QString &email, const QString &password)
{
    const QJsonObject config = QJsonDocument::fromJson(http("GET", u"/api/auth/config"_s, {}, {})).object();
    const QByteArray key = config.value(u"supabaseAnonKey"_s).toString().toUtf8();
    const QByteArray body = QJsonDocument(QJsonObject{{u"email"_s, email}, {u"password"_s, password}}).toJson();
    const QJsonObject grant =
        QJsonDocument::fromJson(http("POST", u"/auth/v1/token?grant_type=password"_s, body, {{"apikey", key}}))
            .object();
    m_grant = grant;
    return !grant.value(u"access_token"_s).toString().isEmpty();
}

bool ThrowawayDesktop::writeSignInForZarno()
{
    QFile conf(m_dir.path() + u"/config/zarno/zarno.conf"_s);
    if (m_grant.isEmpty() || !conf.open(QIODevice::Append))
        return false;
    conf.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const qint64 expiresAt = qint64(m_grant.value(u"expires_at"_s).toDouble());
    conf.write("authAccessToken=" + m_grant.value(u"access_token"_s).toString().toUtf8() + '\n');
    conf.write("authRefreshToken=" + m_grant.value(u"refresh_token"_s).toString().toUtf8() + '\n');
    conf.write("authExpiresAt=" + QByteArray::number(expiresAt) + '\n');
    conf.write("authEmail=" + m_grant.value(u"user"_s).toObject().value(u"email"_s).toString().toUtf8() + '\n');
    return true;
}

QString ThrowawayDesktop::zarnoSettings() const
{
    return readAll(m_dir.path() + u"/config/zarno/zarno.conf"_s);
}

QJsonArray ThrowawayDesktop::storedNotes()
{
    const QByteArray bearer = "Bearer " + m_grant.value(u"access_token"_s).toString().toUtf8();
    return QJsonDocument::fromJson(http("GET", u"/api/sessions"_s, {}, {{"Authorization", bearer}}))
        .object()
        .value(u"sessions"_s)
        .toArray();
}

QJsonObject ThrowawayDesktop::storedNote(const QString &id)
{
    const QByteArray bearer = "Bearer " + m_grant.value(u"access_token"_s).toString().toUtf8();
    return QJsonDocument::fromJson(http("GET", u"/api/sessions/"_s + id, {}, {{"Authorization", bearer}}))
        .object()
        .value(u"session"_s)
        .toObject();
}

QStringList ThrowawayDesktop::serviceLog() const
{
    return readAll(m_dir.path() + u"/logs/service.log"_s).split(u'\n', Qt::SkipEmptyParts);
}

// --- sound ------------------------------------------------------------------------

bool ThrowawayDesktop::startSpeaking(const QString &rawRecording)
{
    // The recordings are raw 16 kHz mono s16; paplay plays them in real time.
    return m_speech.start(u"paplay"_s,
                          {u"--raw"_s, u"--rate=16000"_s, u"--channels=1"_s, u"--format=s16le"_s, u"-d"_s,
                           u"mic48"_s, rawRecording},
                          m_env, m_dir.path() + u"/logs/paplay.log"_s);
}


bool ThrowawayDesktop::startRecordingProgram()
{
    return m_recorder.start(u"parecord"_s, {u"--raw"_s, u"/dev/null"_s}, m_env,
                            m_dir.path() + u"/logs/parecord.log"_s);
}

void ThrowawayDesktop::stopRecordingProgram()
{
    m_recorder.stop();
}

// --- screen, windows, mouse and keyboard ------------------------------------------

QImage ThrowawayDesktop::screenshot()
{
    const QString file = m_dir.path() + u"/shot.png"_s;
    QFile::remove(file);
    run(u"import"_s, {u"-window"_s, u"root"_s, file});
    return QImage(file);
}

QImage ThrowawayDesktop::screenshotOf(const WindowInfo &window)
{
    return screenshot().copy(window.frame);
}

QList<WindowInfo> ThrowawayDesktop::zarnoWindows()
{
    return windowsOf(u"^zarno$"_s);
}

std::optional<WindowInfo> ThrowawayDesktop::trayHost()
{
    const QList<WindowInfo> windows = windowsOf(u"^trayer$"_s);
    if (windows.isEmpty())
        return std::nullopt;
    return windows.first();
}

QList<WindowInfo> ThrowawayDesktop::windowsOf(const QString &classPattern)
{
    QList<WindowInfo> windows;
    const QStringList ids =
        run(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--class"_s, classPattern}).split(u'\n', Qt::SkipEmptyParts);
    static const QRegularExpression x(u"Absolute upper-left X:\\s+(-?\\d+)"_s), y(u"Absolute upper-left Y:\\s+(-?\\d+)"_s),
        w(u"Width:\\s+(\\d+)"_s), h(u"Height:\\s+(\\d+)"_s), type(u"= (_[A-Z_]+)"_s);
    for (const QString &id : ids) {
        bool ok = false;
        const quint64 number = id.trimmed().toULongLong(&ok);
        if (!ok)
            continue;
        const QString info = run(u"xwininfo"_s, {u"-id"_s, id.trimmed()});
        const QString types = run(u"xprop"_s, {u"-id"_s, id.trimmed(), u"_NET_WM_WINDOW_TYPE"_s});
        WindowInfo window;
        window.id = number;
        window.frame = QRect(x.match(info).captured(1).toInt(), y.match(info).captured(1).toInt(),
                             w.match(info).captured(1).toInt(), h.match(info).captured(1).toInt());
        window.type = type.match(types).captured(1);
        if (window.frame.width() > 1 && window.frame.height() > 1)
            windows.append(window);
    }
    return windows;
}

std::optional<WindowInfo> ThrowawayDesktop::waitForWindow(const std::function<bool(const WindowInfo &)> &accept, int ms)
{
    std::optional<WindowInfo> found;
    waitUntil([&] {
        for (const WindowInfo &window : zarnoWindows()) {
            if (accept(window)) {
                found = window;
                return true;
            }
        }
        return false;
    }, ms);
    return found;
}

void ThrowawayDesktop::click(QPoint point)
{
    run(u"xdotool"_s, {u"mousemove"_s, u"--sync"_s, QString::number(point.x()), QString::number(point.y()),
                       u"click"_s, u"1"_s});
}

void ThrowawayDesktop::type(const QString &text)
{
    run(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"30"_s, text}, 30000);
}

void ThrowawayDesktop::key(const QString &name)
{
    run(u"xdotool"_s, {u"key"_s, name});
}

QString ThrowawayDesktop::logTail(const QString &name) const
{
    return readAll(m_dir.path() + u"/logs/"_s + name).right(1500);
}
