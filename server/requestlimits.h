#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class ConnectionWatch;
class QHttpServerRequest;

// What one client may hold of the service: checked on the raw bytes before
// QHttpServer reads a request, so a refused body is never buffered.
struct RequestLimits
{
    qint64 maxBodyBytes = 8 * 1024 * 1024;        // a 4-hour meeting's notes are about 1 MB
    qint64 maxBodyBytesInFlight = 64 * 1024 * 1024; // all bodies being received at once
    int maxHeadBytes = 16 * 1024;                  // request line and headers
    int headTimeoutMs = 10'000;                    // from a request's first byte to its blank line
    int idleTimeoutMs = 30'000;                    // no byte at all from the client
    int maxConnections = 0;                        // 0: below the process's descriptor limit
    QStringList extraHosts;                        // more names (with or without port) for the Host check
};

// A listening socket that hands accepted connections to QHttpServer (bind())
// with a watch on each: Host check (421), body cap (413), header and idle
// timeouts, and a connection cap that closes the longest-idle connection
// rather than refusing the newcomer.
class LimitedTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit LimitedTcpServer(RequestLimits limits, QObject *parent = nullptr);
    ~LimitedTcpServer() override;

    [[nodiscard]] const RequestLimits &limits() const { return m_limits; }
    [[nodiscard]] int connectionCap() const { return m_cap; }
    [[nodiscard]] int openConnections() const { return int(m_watches.size()); }
    [[nodiscard]] bool isAllowedHost(QByteArrayView host) const;

    // Sockets count until they are destroyed.
    void forget(ConnectionWatch *watch);
    // Body bytes admitted but not yet received; false when over the budget.
    bool reserveBody(qint64 bytes);
    void releaseBody(qint64 bytes);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    bool evictIdleConnection();

    RequestLimits m_limits;
    int m_cap = 0;
    qint64 m_bodyBytesInFlight = 0;
    QList<ConnectionWatch *> m_watches;
};

// A request header's value, trimmed; empty when absent.
[[nodiscard]] QByteArray requestHeader(const QHttpServerRequest &request, QByteArrayView name);

// Limits of logged text: control characters escaped, long paths cut.
namespace LogText {
[[nodiscard]] QString path(const QString &path);
}

// The highest connection count that keeps descriptors for the database,
// the recognisers and a few spares, given this process's limit.
[[nodiscard]] int defaultConnectionCap();
