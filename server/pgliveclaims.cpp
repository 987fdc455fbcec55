#include "pgliveclaims.h"

#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace {

// The first half of every claim's lock key ("zarn"): other advisory locks on
// the database (migrations, other programs) use other keys.
constexpr int claimKeySpace = 0x7a61726e;

// The server drops a session whose client has been silent to its probes for
// 5 + 3 × 2 s; the client gives up on a server just as soon.
const char connectOptions[] = "connect_timeout=2;application_name=zarno-server-claims;"
                              "keepalives=1;keepalives_idle=5;keepalives_interval=2;keepalives_count=3";
const char *const serverKeepalives[] = {
    "SET tcp_keepalives_idle = 5",
    "SET tcp_keepalives_interval = 2",
    "SET tcp_keepalives_count = 3",
};

} // namespace

PgLiveClaims::PgLiveClaims(const QString &model, std::chrono::milliseconds checkEvery, QObject *parent)
    : QObject(parent)
    , m_connectionName(QStringLiteral("zarno-claims-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    QSqlDatabase connection = QSqlDatabase::cloneDatabase(model, m_connectionName);
    connection.setConnectOptions(QLatin1StringView(connectOptions));
    m_check.setInterval(checkEvery);
    connect(&m_check, &QTimer::timeout, this, &PgLiveClaims::check);
}

PgLiveClaims::~PgLiveClaims()
{
    {
        QSqlDatabase connection = QSqlDatabase::database(m_connectionName, false);
        connection.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

std::optional<bool> PgLiveClaims::tryLock(qint64 accountId)
{
    QSqlDatabase connection = QSqlDatabase::database(m_connectionName, false);
    if (!connection.isOpen())
        return std::nullopt;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(CAST(? AS integer), CAST(? AS integer))"));
    query.addBindValue(claimKeySpace);
    // Two 32-bit halves: account ids stay far below 2^31.
    query.addBindValue(int(accountId));
    if (!query.exec() || !query.next())
        return std::nullopt;
    return query.value(0).toBool();
}

bool PgLiveClaims::reconnect()
{
    QSqlDatabase connection = QSqlDatabase::database(m_connectionName, false);
    connection.close();
    if (!connection.open()) {
        qCWarning(lcService, "the live claims' connection cannot be opened; trying again");
        return false;
    }
    QSqlQuery query(connection);
    for (const char *statement : serverKeepalives)
        query.exec(QLatin1StringView(statement));
    for (const qint64 accountId : std::as_const(m_held)) {
        // Nobody's speech is cut: the worst is a second live connection for a moment.
        if (tryLock(accountId) != true)
            qCWarning(lcService, "account %lld could not be claimed again after the database came back", accountId);
    }
    return true;
}

LiveClaims::Claim PgLiveClaims::claim(qint64 accountId)
{
    std::optional<bool> locked = tryLock(accountId);
    if (!locked && reconnect())
        locked = tryLock(accountId);
    if (!locked)
        return Claim::Unavailable;
    if (!*locked)
        return Claim::Taken;
    m_held.insert(accountId);
    m_check.start();
    return Claim::Claimed;
}

void PgLiveClaims::release(qint64 accountId)
{
    if (!m_held.remove(accountId))
        return;
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    query.prepare(QStringLiteral("SELECT pg_advisory_unlock(CAST(? AS integer), CAST(? AS integer))"));
    query.addBindValue(claimKeySpace);
    query.addBindValue(int(accountId));
    // A connection that failed has let go already.
    query.exec();
    if (m_held.isEmpty())
        m_check.stop();
}

void PgLiveClaims::check()
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    if (!query.exec(QStringLiteral("SELECT 1")))
        reconnect();
}
