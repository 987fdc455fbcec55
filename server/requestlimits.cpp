#include "requestlimits.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/resource.h>
#include <sys/socket.h>

Q_LOGGING_CATEGORY(lcLimits, "zarno.server.limits")

namespace {

constexpr int descriptorReserve = 64;
constexpr int lingerMs = 2000;

struct Refusal
{
    int status = 0;
    QByteArray phrase;
    QString error;
    QString message;
    int retryAfter = 0;
};

} // namespace

// Follows one connection's bytes as they arrive, ahead of QHttpServer (whose
// readyRead slot runs after ours), and cuts the connection off when a request
// breaks a limit. After a WebSocket upgrade the socket frame limits apply.
class ConnectionWatch : public QObject
{
public:
    ConnectionWatch(QTcpSocket *socket, LimitedTcpServer *server)
        : QObject(socket)
        , m_socket(socket)
        , m_server(server)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &ConnectionWatch::timedOut);
        connect(socket, &QIODevice::readyRead, this, &ConnectionWatch::inspect);
        m_idle.start();
        armIdle();
    }

    ~ConnectionWatch() override
    {
        releaseReservation();
        if (m_server)
            m_server->forget(this);
    }

    // Between requests, with nothing of the next one received.
    [[nodiscard]] bool isIdle() const { return m_state == State::Head && m_head.isEmpty(); }
    [[nodiscard]] qint64 idleMs() const { return m_idle.elapsed(); }

    void evict()
    {
        m_server = nullptr; // no longer counted
        m_socket->abort();
    }

    void detach() { m_server = nullptr; }

private:
    enum class State { Head, Body, Upgraded, Refused };

    void armIdle() { m_timer.start(m_server->limits().idleTimeoutMs); }

    void inspect()
    {
        if (m_state == State::Refused) {
            // Read and drop what a refused client still sends, so that the
            // answer is not lost to a reset.
            m_socket->readAll();
            return;
        }
        if (m_state == State::Upgraded || !m_server)
            return;
        m_idle.restart();
        const QByteArray chunk = m_socket->peek(m_socket->bytesAvailable());
        qsizetype at = 0;
        while (at < chunk.size() && m_state != State::Upgraded && m_state != State::Refused) {
            if (m_state == State::Body) {
                const qint64 take = std::min<qint64>(m_bodyLeft, chunk.size() - at);
                m_bodyLeft -= take;
                at += take;
                if (m_bodyLeft == 0) {
                    releaseReservation();
                    m_state = State::Head;
                }
                continue;
            }
            at = readHead(chunk, at);
        }
        if (m_state == State::Head && !m_head.isEmpty()) {
            if (!m_headStarted) {
                m_headStarted = true;
                m_timer.start(m_server->limits().headTimeoutMs);
            }
        } else if (m_state == State::Head || m_state == State::Body) {
            m_headStarted = false;
            armIdle();
        } else if (m_state == State::Upgraded) {
            m_timer.stop();
        }
    }

    // Collects the head from `at`; returns where the next unread byte is.
    qsizetype readHead(const QByteArray &chunk, qsizetype at)
    {
        const qsizetype before = m_head.size();
        const qsizetype room = m_server->limits().maxHeadBytes + 4 - before;
        m_head.append(chunk.mid(at, std::min<qsizetype>(room, chunk.size() - at)));
        const qsizetype end = m_head.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
        if (end < 0) {
            if (m_head.size() > m_server->limits().maxHeadBytes)
                refuse({431, "Request Header Fields Too Large", QStringLiteral("headers_too_large"),
                        QStringLiteral("The request's headers are too large.")});
            return chunk.size();
        }
        const qsizetype headEnd = end + 4;
        const QByteArray head = m_head.first(headEnd);
        m_head.clear();
        judge(head);
        return at + (headEnd - before);
    }

    void judge(const QByteArray &head)
    {
        const QList<QByteArray> lines = head.first(head.size() - 4).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
            refuse({400, "Bad Request", QStringLiteral("bad_request"), QStringLiteral("The request is malformed.")});
            return;
        }
        QList<QByteArray> hosts;
        QList<QByteArray> lengths;
        bool chunked = false;
        bool upgrade = false;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                refuse({400, "Bad Request", QStringLiteral("bad_request"), QStringLiteral("The request is malformed.")});
                return;
            }
            const QByteArray name = line.first(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "host")
                hosts.append(value);
            else if (name == "content-length")
                lengths.append(value);
            else if (name == "transfer-encoding")
                chunked = true;
            else if (name == "upgrade")
                upgrade = value.compare("websocket", Qt::CaseInsensitive) == 0;
        }
        if (hosts.size() != 1 || !m_server->isAllowedHost(hosts.first())) {
            refuse({421, "Misdirected Request", QStringLiteral("misdirected_request"),
                    QStringLiteral("This service answers only to its own address.")});
            return;
        }
        if (chunked) {
            refuse({411, "Length Required", QStringLiteral("length_required"),
                    QStringLiteral("Send the body with a Content-Length.")});
            return;
        }
        qint64 length = 0;
        for (const QByteArray &value : lengths) {
            bool ok = false;
            const qint64 parsed = value.toLongLong(&ok);
            const bool digits = !value.isEmpty() && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!ok || !digits || (length != 0 && parsed != length) || value.size() > 18) {
                refuse({400, "Bad Request", QStringLiteral("bad_request"), QStringLiteral("The Content-Length is not valid.")});
                return;
            }
            length = parsed;
        }
        if (length > m_server->limits().maxBodyBytes) {
            refuse({413, "Payload Too Large", QStringLiteral("payload_too_large"),
                    QStringLiteral("The request body is larger than %1 bytes.").arg(m_server->limits().maxBodyBytes)});
            return;
        }
        if (length > 0 && !m_server->reserveBody(length)) {
            refuse({503, "Service Unavailable", QStringLiteral("busy"),
                    QStringLiteral("The server is receiving too much at once; try again in a moment."), 1});
            return;
        }
        m_reserved = length;
        if (upgrade && length == 0) {
            m_state = State::Upgraded;
            return;
        }
        m_bodyLeft = length;
        m_state = length > 0 ? State::Body : State::Head;
        if (length == 0)
            releaseReservation();
    }

    void refuse(const Refusal &refusal)
    {
        m_state = State::Refused;
        releaseReservation();
        // QHttpServer sees none of this request: its readyRead slot comes after ours.
        QObject::disconnect(m_socket, &QIODevice::readyRead, nullptr, nullptr);
        connect(m_socket, &QIODevice::readyRead, this, &ConnectionWatch::inspect);
        // A partly read request of QHttpServer's would keep every byte buffered.
        if (m_socket->isTransactionStarted())
            m_socket->commitTransaction();
        m_socket->readAll();
        qCInfo(lcLimits, "refused a request with %d (%s)", refusal.status, refusal.phrase.constData());

        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("error"), refusal.error},
                                                          {QStringLiteral("message"), refusal.message}})
                                    .toJson(QJsonDocument::Compact);
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(refusal.status) + ' ' + refusal.phrase + "\r\n"
            "Content-Type: application/json\r\nCache-Control: no-store\r\nConnection: close\r\n";
        if (refusal.retryAfter > 0)
            answer += "Retry-After: " + QByteArray::number(refusal.retryAfter) + "\r\n";
        answer += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        m_socket->write(answer);
        // Half-close once the answer is out; drop the connection a little later.
        connect(m_socket, &QIODevice::bytesWritten, this, [this] {
            if (m_socket->bytesToWrite() == 0)
                ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
        });
        m_timer.start(lingerMs);
    }

    void timedOut()
    {
        if (m_state == State::Refused) {
            m_socket->abort();
            return;
        }
        if (m_state == State::Upgraded)
            return;
        if (m_headStarted) {
            refuse({408, "Request Timeout", QStringLiteral("request_timeout"),
                    QStringLiteral("The request's headers did not arrive in time.")});
            return;
        }
        m_socket->abort();
    }

    void releaseReservation()
    {
        if (m_reserved > 0 && m_server)
            m_server->releaseBody(m_reserved);
        m_reserved = 0;
    }

    QTcpSocket *m_socket;
    QPointer<LimitedTcpServer> m_server;
    QTimer m_timer;
    QElapsedTimer m_idle;
    State m_state = State::Head;
    QByteArray m_head;
    bool m_headStarted = false;
    qint64 m_bodyLeft = 0;
    qint64 m_reserved = 0;
};

int defaultConnectionCap()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 4096;
    return int(std::clamp<rlim_t>(limit.rlim_cur > descriptorReserve ? limit.rlim_cur - descriptorReserve : 16, 16, 4096));
}

LimitedTcpServer::LimitedTcpServer(RequestLimits limits, QObject *parent)
    : QTcpServer(parent)
    , m_limits(std::move(limits))
    , m_cap(m_limits.maxConnections > 0 ? m_limits.maxConnections : defaultConnectionCap())
{
    // With the cap below the descriptor limit this is rare; Qt stops
    // accepting for good after such an error, so start again shortly.
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        qCWarning(lcLimits, "accepting a connection failed (%d); trying again", int(error));
        QTimer::singleShot(100, this, &QTcpServer::resumeAccepting);
    });
}

LimitedTcpServer::~LimitedTcpServer()
{
    for (ConnectionWatch *watch : std::as_const(m_watches))
        watch->detach();
}

void LimitedTcpServer::forget(ConnectionWatch *watch)
{
    m_watches.removeOne(watch);
}

bool LimitedTcpServer::reserveBody(qint64 bytes)
{
    if (m_bodyBytesInFlight + bytes > m_limits.maxBodyBytesInFlight)
        return false;
    m_bodyBytesInFlight += bytes;
    return true;
}

void LimitedTcpServer::releaseBody(qint64 bytes)
{
    m_bodyBytesInFlight = std::max<qint64>(0, m_bodyBytesInFlight - bytes);
}

bool LimitedTcpServer::isAllowedHost(QByteArrayView host) const
{
    const QString port = QString::number(serverPort());
    const QString given = QString::fromLatin1(host).toLower();
    QStringList names{QStringLiteral("127.0.0.1"), QStringLiteral("localhost"), QStringLiteral("[::1]")};
    for (const QString &extra : m_limits.extraHosts)
        names.append(extra.toLower());
    for (const QString &name : std::as_const(names)) {
        if (given == name + QLatin1Char(':') + port)
            return true;
        // A name given with its port stands as it is; port 80 may be left out.
        if (given == name && (serverPort() == 80 || (name.contains(QLatin1Char(':')) && !name.startsWith(QLatin1Char('[')))))
            return true;
    }
    return false;
}

bool LimitedTcpServer::evictIdleConnection()
{
    ConnectionWatch *oldest = nullptr;
    for (ConnectionWatch *watch : std::as_const(m_watches)) {
        if (watch->isIdle() && (!oldest || watch->idleMs() > oldest->idleMs()))
            oldest = watch;
    }
    if (!oldest)
        return false;
    m_watches.removeOne(oldest);
    oldest->evict();
    return true;
}

void LimitedTcpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (m_watches.size() >= m_cap && !evictIdleConnection()) {
        qCWarning(lcLimits, "connection refused: %d connections are busy", m_cap);
        socket->write("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromHost();
        QTimer::singleShot(lingerMs, socket, &QAbstractSocket::abort);
        return;
    }
    m_watches.append(new ConnectionWatch(socket, this));
    addPendingConnection(socket);
}

QByteArray requestHeader(const QHttpServerRequest &request, QByteArrayView name)
{
    for (const auto &[key, value] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.trimmed();
    }
    return {};
}

QString LogText::path(const QString &path)
{
    constexpr qsizetype maxChars = 200;
    QString text;
    text.reserve(std::min(path.size(), maxChars) + 8);
    for (qsizetype i = 0; i < path.size() && text.size() < maxChars; ++i) {
        const QChar c = path.at(i);
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control
            || c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph) {
            text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else if (c == QLatin1Char('\\')) {
            text += QStringLiteral("\\\\");
        } else {
            text += c;
        }
    }
    if (text.size() >= maxChars && path.size() > maxChars)
        text += QStringLiteral("…(%1 chars)").arg(path.size());
    return text;
}
