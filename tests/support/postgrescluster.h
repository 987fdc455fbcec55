#pragma once

// A private PostgreSQL cluster for tests and benchmarks: initdb in a temporary
// folder, the server on a free port of 127.0.0.1 with trust sign-in, a fresh
// database per caller. As root the binaries run as the postgres system user,
// since PostgreSQL refuses to run as root. Stopped (immediate) and removed
// when the object goes.

#include <QString>
#include <QTemporaryDir>

#include <memory>

class PostgresCluster
{
public:
    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster &) = delete;
    PostgresCluster &operator=(const PostgresCluster &) = delete;

    // The one cluster of this process, started on first use; nothing when it cannot run.
    static PostgresCluster *shared();
    // Why shared() gave nothing: "no PostgreSQL binaries are installed" or what failed.
    static QString skipReason();

    // initdb and start; false with errorText().
    bool start();
    [[nodiscard]] QString errorText() const { return m_error; }

    // A new empty database, as postgresql://USER@127.0.0.1:PORT/NAME; empty on failure.
    QString createDatabase();
    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] QString user() const { return QStringLiteral("zarno"); }

    // The server goes away at once, as on a crash or a power cut; restart() brings it back on the same port.
    bool kill();
    bool restart();

private:
    bool run(const QString &program, const QStringList &arguments, int timeoutMs = 60000);
    bool startServer();

    QString m_binDir;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_dataDir;
    quint16 m_port = 0;
    int m_databases = 0;
    bool m_running = false;
    QString m_error;
};
