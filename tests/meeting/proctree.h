#pragma once

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

// A directory tree shaped like /proc, holding only what the scanner reads.
class ProcTree
{
public:
    struct Process
    {
        QStringList argv;   // empty: a kernel thread or a zombie
        QString exe;        // target of the exe link; empty: unreadable
        QString comm;
        QString flatpakId;  // empty: not sandboxed
        quint64 startTime = 0;
    };

    [[nodiscard]] QString root() const { return m_dir.path(); }

    void add(qint64 pid, const Process &process)
    {
        const QString dir = m_dir.filePath(QString::number(pid));
        QVERIFY(QDir().mkpath(dir));
        write(dir + "/cmdline", process.argv.isEmpty() ? QByteArray() : process.argv.join(QChar(0)).toUtf8() + '\0');
        write(dir + "/comm", process.comm.toUtf8() + '\n');
        QByteArray stat = QByteArray::number(pid) + " (" + process.comm.toUtf8() + ") S";
        for (int field = 4; field < 22; ++field)
            stat += " 0";
        stat += ' ' + QByteArray::number(process.startTime) + " 0 0\n";
        write(dir + "/stat", stat);
        if (!process.exe.isEmpty())
            QVERIFY(::symlink(QFile::encodeName(process.exe).constData(), QFile::encodeName(dir + "/exe").constData()) == 0);
        if (!process.flatpakId.isEmpty()) {
            QVERIFY(QDir().mkpath(dir + "/root"));
            write(dir + "/root/.flatpak-info",
                  "[Application]\nname=" + process.flatpakId.toUtf8() + "\nruntime=runtime/org.freedesktop.Platform\n\n"
                  "[Instance]\ninstance-id=123\n");
        }
    }

    void remove(qint64 pid) { QVERIFY(QDir(m_dir.filePath(QString::number(pid))).removeRecursively()); }

    static Process program(QStringList argv, QString exe, QString comm, QString flatpakId = {})
    {
        return {std::move(argv), std::move(exe), std::move(comm), std::move(flatpakId), 0};
    }

    // A few programs as their packages install them.
    static Process zoom(quint64 start = 0) { return {{"/opt/zoom/zoom"}, "/opt/zoom/zoom", "zoom", {}, start}; }
    static Process teamsForLinux(quint64 start = 0)
    {
        return {{"/opt/teams-for-linux/teams-for-linux", "--no-sandbox"}, "/opt/teams-for-linux/teams-for-linux", "teams-for-linux", {}, start};
    }
    static Process firefox(quint64 start = 0)
    {
        return {{"/usr/lib/firefox-esr/firefox-esr"}, "/usr/lib/firefox-esr/firefox-esr", "firefox-esr", {}, start};
    }
    static Process chrome(quint64 start = 0)
    {
        return {{"/opt/google/chrome/chrome"}, "/opt/google/chrome/chrome", "chrome", {}, start};
    }
    static Process shell(quint64 start = 0) { return {{"/bin/bash", "-l"}, "/usr/bin/bash", "bash", {}, start}; }

private:
    static void write(const QString &path, const QByteArray &data)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(data), data.size());
    }

    QTemporaryDir m_dir;
};
