#include "runningapps.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <utility>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Proc files are small; plain system calls keep a scan cheap.
QByteArray readSmallFile(const QByteArray &path, qsizetype limit)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data(limit, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < limit) {
        const ssize_t n = ::read(fd, data.data() + filled, size_t(limit - filled));
        if (n <= 0)
            break;
        filled += n;
    }
    ::close(fd);
    data.truncate(filled);
    return data;
}

QByteArray readLink(const QByteArray &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(path.constData(), buffer, sizeof buffer);
    if (n <= 0)
        return {};
    QByteArray target(buffer, n);
    // The executable of a process whose file was replaced (an update).
    if (target.endsWith(" (deleted)"))
        target.chop(10);
    return target;
}

QString baseName(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return QFile::decodeName(slash < 0 ? path : path.mid(slash + 1));
}

QString flatpakId(const QByteArray &info)
{
    // [Application]\nname=us.zoom.Zoom\n...
    bool inApplication = false;
    for (const QByteArray &rawLine : info.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('['))
            inApplication = line == "[Application]";
        else if (inApplication && line.startsWith("name="))
            return QString::fromUtf8(line.mid(5).trimmed());
    }
    return {};
}

// Field 22 of stat, counted after the command name, which may hold spaces
// and parentheses of its own.
quint64 startTime(const QByteArray &stat)
{
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    return fields.size() > 19 ? fields.at(19).toULongLong() : 0;
}

} // namespace

RunningApps::RunningApps(QObject *parent)
    : RunningApps(Options{}, parent)
{
}

RunningApps::RunningApps(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    if (!m_options.activeWindow)
        m_options.activeWindow = queryX11ActiveWindow;
    scan();
    m_timer.setInterval(m_options.interval);
    QObject::connect(&m_timer, &QTimer::timeout, this, &RunningApps::scan);
    m_timer.start();
}

RunningApps::Process RunningApps::readProcess(qint64 pid) const
{
    Process process;
    const QByteArray dir = QFile::encodeName(m_options.procRoot) + '/' + QByteArray::number(pid) + '/';
    const QByteArray cmdline = readSmallFile(dir + "cmdline", 4096);
    // Kernel threads and zombies have no command line: no program to name.
    if (cmdline.isEmpty() || cmdline.at(0) == '\0')
        return process;
    process.startTime = startTime(readSmallFile(dir + "stat", 1024));

    // The most specific name first: a Flatpak id, then the executable, then
    // what the program was started as, then its (truncated) command name.
    QStringList candidates;
    candidates.append(flatpakId(readSmallFile(dir + "root/.flatpak-info", 4096)));
    candidates.append(baseName(readLink(dir + "exe")));
    candidates.append(baseName(QByteArray(cmdline.constData())));
    candidates.append(QString::fromLocal8Bit(readSmallFile(dir + "comm", 64).trimmed()));
    for (const QString &candidate : std::as_const(candidates)) {
        if (auto identity = MeetingApps::identifyLinuxProgram(candidate)) {
            process.identity = std::move(identity);
            break;
        }
    }
    return process;
}

void RunningApps::scan()
{
    DIR *dir = ::opendir(QFile::encodeName(m_options.procRoot).constData());
    if (!dir)
        return;
    for (auto it = m_processes.begin(); it != m_processes.end(); ++it)
        it->seen = false;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (*name < '1' || *name > '9')
            continue;
        bool ok = false;
        const qint64 pid = QByteArray::fromRawData(name, qsizetype(std::strlen(name))).toLongLong(&ok);
        if (!ok)
            continue;
        auto found = m_processes.find(pid);
        if (found == m_processes.end())
            found = m_processes.insert(pid, readProcess(pid));
        found->seen = true;
    }
    ::closedir(dir);
    m_processes.removeIf([](const auto &entry) { return !entry.value().seen; });

    // One entry per application, named after its earliest process.
    struct First
    {
        qint64 pid;
        quint64 startTime;
        const AppIdentity *identity;
    };
    QHash<QString, First> firsts;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        if (!it->identity)
            continue;
        const First candidate{it.key(), it->startTime, &*it->identity};
        auto existing = firsts.find(it->identity->bundleIdentifier);
        if (existing == firsts.end())
            firsts.insert(it->identity->bundleIdentifier, candidate);
        else if (std::pair(candidate.startTime, candidate.pid) < std::pair(existing->startTime, existing->pid))
            *existing = candidate;
    }
    QList<First> ordered(firsts.cbegin(), firsts.cend());
    std::sort(ordered.begin(), ordered.end(), [](const First &a, const First &b) {
        return std::pair(a.startTime, a.pid) < std::pair(b.startTime, b.pid);
    });

    QSet<QString> before;
    for (const RunningApp &app : std::as_const(m_apps))
        before.insert(app.bundleIdentifier);
    const bool firstScan = !m_scanned || std::exchange(m_rebaseline, false);
    m_scanned = true;
    m_apps.clear();
    for (const First &first : std::as_const(ordered))
        m_apps.append(RunningApp{first.pid, first.identity->bundleIdentifier, first.identity->localizedName});

    if (firstScan)
        return;
    const QList<RunningApp> now = m_apps;
    for (const RunningApp &app : now) {
        if (!before.contains(app.bundleIdentifier))
            Q_EMIT launched(app);
    }
}

void RunningApps::setPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    if (paused) {
        m_timer.stop();
        return;
    }
    m_rebaseline = true;
    scan();
    m_timer.start();
}

std::optional<RunningApp> RunningApps::frontmost() const
{
    const std::optional<ActiveWindow> window = m_options.activeWindow();
    if (!window)
        return std::nullopt;
    if (window->pid > 0) {
        const auto known = m_processes.constFind(window->pid);
        const Process process = known != m_processes.cend() ? *known : readProcess(window->pid);
        if (process.identity)
            return RunningApp{window->pid, process.identity->bundleIdentifier, process.identity->localizedName};
    }
    // Sandboxed programs report a process id of their own namespace; the
    // window class still names them.
    for (const QString &className : window->classNames) {
        if (const auto identity = MeetingApps::identifyLinuxProgram(className))
            return RunningApp{window->pid, identity->bundleIdentifier, identity->localizedName};
    }
    return RunningApp{window->pid, QString(), QString()};
}
