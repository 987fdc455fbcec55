#pragma once

#include "activewindow.h"
#include "appidentity.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

// A running application: its first process and who it is.
struct RunningApp
{
    qint64 pid = 0;
    QString bundleIdentifier; // empty for a program none of the tables knows
    QString localizedName;
};
Q_DECLARE_METATYPE(RunningApp)

// The running applications of this machine, read from a proc file system.
// Each scan lists the process directories, identifies only processes it has
// not seen before (executable, command line, Flatpak id), and reports every
// application that was not running at the previous scan as launched. A
// program is known by the tables of AppIdentity or not at all: processes no
// table knows are ignored, as are kernel threads and zombies.
class RunningApps : public QObject
{
    Q_OBJECT

public:
    using ActiveWindowSource = std::function<std::optional<ActiveWindow>()>;

    struct Options
    {
        QString procRoot = QStringLiteral("/proc");
        // How often to look; a launch is noticed within one interval.
        std::chrono::milliseconds interval{500};
        // Where the frontmost window comes from; empty means the X server.
        ActiveWindowSource activeWindow;
    };

    // Scans once at once, so that running() already holds what runs.
    explicit RunningApps(QObject *parent = nullptr);
    explicit RunningApps(Options options, QObject *parent = nullptr);

    // Known applications, the earliest started first.
    [[nodiscard]] QList<RunningApp> running() const { return m_apps; }

    // The application of the active window; absent when there is no window
    // system to ask. An application no table knows has an empty identifier.
    [[nodiscard]] std::optional<RunningApp> frontmost() const;

    // One look at the proc file system; the timer calls it.
    void scan();

    // Paused, nothing is looked at: a session that listens has no use for
    // launches. On resuming, what runs then counts as already running.
    void setPaused(bool paused);

    // Processes seen at the last scan (identified or not).
    [[nodiscard]] qsizetype processCount() const { return m_processes.size(); }

Q_SIGNALS:
    void launched(const RunningApp &app);

private:
    struct Process
    {
        quint64 startTime = 0;
        std::optional<AppIdentity> identity;
        bool seen = false;
    };

    [[nodiscard]] Process readProcess(qint64 pid) const;

    Options m_options;
    QTimer m_timer;
    QHash<qint64, Process> m_processes;
    QList<RunningApp> m_apps;
    bool m_scanned = false; // what runs at the first scan was not launched
    bool m_paused = false;
    bool m_rebaseline = false; // likewise for the first scan after a pause
};
