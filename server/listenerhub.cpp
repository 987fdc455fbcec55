#include "listenerhub.h"

#include "serviceoptions.h"

#include <QLoggingCategory>
#include <QThread>

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace {
constexpr qint64 overloadCoolDownMs = 5000;
}

ListenerHub::ListenerHub(const ServiceOptions &options, std::unique_ptr<LiveClaims> claims, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_claims(std::move(claims))
{
}

ListenerHub::~ListenerHub()
{
    // Connections stop their workers before the engine and stores go; closed
    // ones still waiting for deleteLater too, while this object is whole.
    m_listening.clear();
    qDeleteAll(findChildren<ListeningConnection *>(Qt::FindDirectChildrenOnly));
    // Their workers end on their own; nothing may outlive the service.
    for (QThread *worker : findChildren<QThread *>(Qt::FindDirectChildrenOnly))
        worker->wait();
}

namespace {

Refusal alreadyListening()
{
    return Refusal{4409, QStringLiteral("Another session of this account is already listening.")};
}

} // namespace

std::optional<Refusal> ListenerHub::claim(qint64 accountId)
{
    if (m_listening.contains(accountId)) {
        qCInfo(lcService, "websocket refused: account %lld is already listening", accountId);
        return alreadyListening();
    }
    // An account cut off for flooding waits a moment before it loads another recogniser.
    if (m_overloadedUntil.value(accountId) > m_options.nowMs()) {
        qCInfo(lcService, "websocket refused: account %lld was cut off a moment ago", accountId);
        return Refusal{ListeningConnection::overloadedCode, ListeningConnection::overloadedReason()};
    }
    if (m_listening.size() >= m_options.maxRecognizers) {
        qCInfo(lcService, "websocket refused: all recognisers busy");
        return Refusal{ListeningConnection::overloadedCode, ListeningConnection::overloadedReason()};
    }
    switch (m_claims->claim(accountId)) {
    case LiveClaims::Claim::Claimed:
        return std::nullopt;
    case LiveClaims::Claim::Taken:
        qCInfo(lcService, "websocket refused: account %lld is listening on another instance", accountId);
        return alreadyListening();
    case LiveClaims::Claim::Unavailable:
        break;
    }
    // Without the shared claims no instance can tell; the client tries again.
    qCInfo(lcService, "websocket refused: the live claims cannot be reached");
    return Refusal{ListeningConnection::overloadedCode, ListeningConnection::overloadedReason()};
}

void ListenerHub::release(qint64 accountId)
{
    if (!m_listening.contains(accountId))
        m_claims->release(accountId);
}

void ListenerHub::add(qint64 accountId, ListeningConnection *connection)
{
    m_listening.insert(accountId, connection);
    connect(connection, &ListeningConnection::finished, this, [this, connection, accountId] {
        qCInfo(lcService, "websocket closed for account %lld", accountId);
        if (m_listening.value(accountId) == connection) {
            m_listening.remove(accountId);
            m_claims->release(accountId);
        }
        const qint64 now = m_options.nowMs();
        m_overloadedUntil.removeIf([now](auto it) { return it.value() <= now; });
        if (connection->wasOverloaded())
            m_overloadedUntil.insert(accountId, now + overloadCoolDownMs);
        connection->deleteLater();
    });
}
