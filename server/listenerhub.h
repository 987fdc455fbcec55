#pragma once

#include "engine.h"
#include "liveclaims.h"

#include <QHash>
#include <QObject>

#include <memory>
#include <optional>

struct ServiceOptions;

// The service's listening connections and their rules: one per account
// (4409), on this instance and on every other that shares the claims, a short cool-down for an account cut off for flooding, and a cap on
// how many run at once. It is the parent of every connection and of what a
// connection leaves behind, and waits for their workers when it goes.
class ListenerHub : public QObject
{
    Q_OBJECT
public:
    ListenerHub(const ServiceOptions &options, std::unique_ptr<LiveClaims> claims, QObject *parent = nullptr);
    ~ListenerHub() override;

    // Why the account may not start listening now; nothing when it may, and
    // then the account is claimed for add() or release().
    [[nodiscard]] std::optional<Refusal> claim(qint64 accountId);
    // A claim that no connection came of.
    void release(qint64 accountId);
    // Keeps the connection (a child of this hub) as the account's listener until it finishes.
    void add(qint64 accountId, ListeningConnection *connection);
    [[nodiscard]] int count() const { return int(m_listening.size()); }

private:
    const ServiceOptions &m_options;
    std::unique_ptr<LiveClaims> m_claims;
    QHash<qint64, ListeningConnection *> m_listening;
    QHash<qint64, qint64> m_overloadedUntil; // account -> ms since 1970
};
