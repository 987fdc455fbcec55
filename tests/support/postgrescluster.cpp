#include "postgrescluster.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QUuid>

#include <pwd.h>
#include <unistd.h>

namespace {

QString findBinDir()
{
    QProcess config;
    config.start(QStringLiteral("pg_config"), {QStringLiteral("--bindir")});
    if (config.waitForFinished(5000) && config.exitCode() == 0) {
        const QString dir = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();
        if (QFileInfo::exists(dir + QStringLiteral("/initdb")))
            return dir;
    }
    // pg_config comes with libpq-dev; the server package alone installs here.
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot,
                                                                                        QDir::Name | QDir::Reversed);
    for (const QString &version : versions) {
        const QString dir = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(version);
        if (QFileInfo::exists(dir + QStringLiteral("/initdb")))
            return dir;
    }
    return {};
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool isRoot()
{
    return ::geteuid() == 0;
}

PostgresCluster &sharedCluster()
{
    static PostgresCluster cluster;
    return cluster;
}

} // namespace

PostgresCluster::PostgresCluster()
    : m_binDir(findBinDir())
{
}

PostgresCluster::~PostgresCluster()
{
    if (m_running)
        kill();
}

PostgresCluster *PostgresCluster::shared()
{
    static const bool started = sharedCluster().start();
    return started ? &sharedCluster() : nullptr;
}

QString PostgresCluster::skipReason()
{
    return shared() ? QString() : sharedCluster().errorText();
}

bool PostgresCluster::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString path = m_binDir + QLatin1Char('/') + program;
    if (isRoot())
        process.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), path} + arguments);
    else
        process.start(path, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(process.readAll()).trimmed());
        return false;
    }
    return true;
}

bool PostgresCluster::start()
{
    if (m_binDir.isEmpty()) {
        m_error = QStringLiteral("no PostgreSQL binaries are installed");
        return false;
    }
    // Under /tmp, which the postgres user can enter, whoever runs the tests.
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/zarno-pg-XXXXXX"));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder for the cluster");
        return false;
    }
    if (isRoot()) {
        const passwd *postgres = ::getpwnam("postgres");
        if (!postgres || ::chown(QFile::encodeName(m_dir->path()).constData(), postgres->pw_uid, postgres->pw_gid) != 0) {
            m_error = QStringLiteral("the tests run as root and there is no postgres user to run the cluster");
            return false;
        }
    }
    m_dataDir = m_dir->path() + QStringLiteral("/data");
    if (!run(QStringLiteral("initdb"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-U"), user(),
                                        QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                                        QStringLiteral("--locale=C.UTF-8"), QStringLiteral("-N")}))
        return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freePort();
        if (startServer())
            return true;
    }
    return false;
}

bool PostgresCluster::startServer()
{
    // fsync off: a test cluster need not survive the machine.
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off")
                                .arg(m_port)
                                .arg(m_dir->path());
    m_running = run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-w"), QStringLiteral("-l"),
                                               m_dir->path() + QStringLiteral("/log"), QStringLiteral("-o"), options,
                                               QStringLiteral("start")});
    return m_running;
}

bool PostgresCluster::kill()
{
    if (!run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-m"), QStringLiteral("immediate"),
                                        QStringLiteral("-w"), QStringLiteral("stop")}))
        return false;
    m_running = false;
    return true;
}

bool PostgresCluster::restart()
{
    return startServer();
}

QString PostgresCluster::createDatabase()
{
    const QString name = QStringLiteral("test%1").arg(++m_databases);
    const QString connectionName = QStringLiteral("postgrescluster-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    bool created = false;
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
        admin.setHostName(QStringLiteral("127.0.0.1"));
        admin.setPort(m_port);
        admin.setUserName(user());
        admin.setDatabaseName(QStringLiteral("postgres"));
        if (admin.open()) {
            QSqlQuery query(admin);
            created = query.exec(QStringLiteral("CREATE DATABASE %1").arg(name));
            if (!created)
                m_error = query.lastError().text();
        } else {
            m_error = admin.lastError().text();
        }
        admin.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
    if (!created)
        return {};
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(user()).arg(m_port).arg(name);
}
