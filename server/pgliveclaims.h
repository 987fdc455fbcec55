#pragma once

#include "liveclaims.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>

// Live connections claimed with PostgreSQL session-level advisory locks, on a
// connection of their own that stays open while this instance serves any.
// A lock dies with its session: an instance that is killed, or whose host
// vanishes (keepalives tell the server within seconds), frees its accounts.
// A dropped connection is opened again and its claims made again; the live
// connections themselves go on.
class PgLiveClaims final : public QObject, public LiveClaims
{
    Q_OBJECT
public:
    // The connection is made like `model`, a connection the store has added.
    explicit PgLiveClaims(const QString &model, std::chrono::milliseconds checkEvery = std::chrono::seconds(5),
                          QObject *parent = nullptr);
    ~PgLiveClaims() override;

    Claim claim(qint64 accountId) override;
    void release(qint64 accountId) override;

private:
    // The lock of one account: true taken, false held elsewhere, nothing when the connection failed.
    std::optional<bool> tryLock(qint64 accountId);
    // Opens the connection again and claims again what this instance holds.
    bool reconnect();
    void check();

    QString m_connectionName;
    QSet<qint64> m_held;
    QTimer m_check;
};
