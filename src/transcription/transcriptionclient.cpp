#include "transcriptionclient.h"
#include "logging.h"

#include "directsend.h"
#include "sonioxmessage.h"
#include "strand.h"

#include <QAbstractSocket>
#include <QRegularExpression>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <deque>


namespace {

// A socket we closed ourselves gets this long to finish the closing
// handshake before it is dropped.
constexpr int closingGraceMs = 5000;

QString closeSentence(int code, const QString &reason)
{
    switch (code) {
    case 4401:
    case 4403:
        return QStringLiteral("Sign-in expired — open zarno and sign in again.");
    case 4402:
        return QStringLiteral("Translation quota reached for this plan.");
    case 4409:
        return QStringLiteral("Another zarno session is already listening on this account.");
    case 4411:
        return QStringLiteral("The server is missing its transcription key.");
    default:
        if (!reason.isEmpty())
            return reason;
        return QStringLiteral("The server closed the connection (") + QString::number(code) + QLatin1StringView(").");
    }
}

// Qt's socket texts are fragments ("Connection refused", "...: Unhandled
// http status code: 403 (Forbidden)."); the user gets whole sentences. Those
// about reaching the server name where it was looked for (never the query,
// which holds the token).
QString transportSentence(QAbstractSocket::SocketError error, const QString &detail, const QUrl &url)
{
    const QString where = url.adjusted(QUrl::RemoveUserInfo).authority();
    const QString at = where.isEmpty() ? QString() : QStringLiteral(" at ") + where;
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("The connection to the server was lost.");
    case QAbstractSocket::ConnectionRefusedError: {
        static const QRegularExpression status(QStringLiteral("status code: (\\d+)"));
        const QRegularExpressionMatch match = status.match(detail);
        if (match.hasMatch())
            return QStringLiteral("The server refused the connection (") + match.captured(1) + QLatin1StringView(").");
        return QStringLiteral("Could not connect to the server") + at + u'.';
    }
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("The server") + at + QStringLiteral(" could not be found.");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("The connection to the server") + at + QStringLiteral(" timed out.");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("The network connection was lost.");
    case QAbstractSocket::SslHandshakeFailedError:
        return QStringLiteral("A secure connection to the server could not be made.");
    default:
        break;
    }
    QString sentence = detail.trimmed();
    if (sentence.isEmpty())
        return QStringLiteral("The connection to the server failed.");
    sentence[0] = sentence.at(0).toUpper();
    if (!sentence.endsWith(u'.') && !sentence.endsWith(u'!') && !sentence.endsWith(u'?'))
        sentence += u'.';
    return sentence;
}

} // namespace

// Lives on the worker thread and owns every socket.
class TranscriptionClient::Worker : public QObject
{
public:
    explicit Worker(TranscriptionClient &client)
        : m_client(client)
    {
    }

    ~Worker() override
    {
        if (m_current)
            retire(false);
    }

    void post(std::function<void()> job) { m_strand.post(std::move(job)); }
    void runOrPost(std::function<void()> job) { m_strand.runOrPost(std::move(job)); }

    void sendChunk(QByteArray chunk)
    {
        if (!m_current)
            return;
        if (m_current->opened) {
            if (m_current->socket->state() == QAbstractSocket::ConnectedState)
                sendAudio(*m_current, chunk);
            return;
        }
        if (m_pendingChunks >= maxPendingChunks)
            return;
        ++m_pendingChunks;
        m_pending.push_back({false, std::move(chunk), {}});
    }

    void sendText(const QString &text)
    {
        if (!m_current)
            return;
        if (m_current->opened) {
            if (m_current->socket->state() == QAbstractSocket::ConnectedState)
                m_current->socket->sendTextMessage(text);
            return;
        }
        // Kept behind the audio queued before it, so a finalize asked for
        // while opening still follows that audio.
        m_pending.push_back({true, {}, text});
    }

    void closeConnection(quint64 id)
    {
        if (m_current && m_current->id == id)
            retire(true);
    }

    void open(quint64 id, const QUrl &url, std::shared_ptr<std::atomic<bool>> silenced)
    {
        // A leg left open by its caller is ended quietly: its late events
        // must never reach the handlers of the new one.
        if (m_current)
            retire(true);
        m_pending.clear();
        m_pendingChunks = 0;

        auto connection = std::make_unique<Connection>();
        connection->id = id;
        connection->silenced = std::move(silenced);
        connection->socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
        QWebSocket *socket = connection->socket;
        m_current = std::move(connection);

        QObject::connect(socket, &QWebSocket::connected, this, [this, id] {
            if (Connection *c = live(id))
                opened(*c);
        });
        QObject::connect(socket, &QWebSocket::textMessageReceived, this, [this, id](const QString &text) {
            if (Connection *c = live(id))
                received(*c, SonioxMessage::fromTextFrame(text));
        });
        QObject::connect(socket, &QWebSocket::binaryMessageReceived, this, [this, id](const QByteArray &bytes) {
            if (Connection *c = live(id))
                received(*c, SonioxMessage::fromBinaryFrame(bytes));
        });
        // Qt announces a close frame from the server this way; an abrupt
        // drop goes straight to error() and then disconnected() with a
        // made-up code 1000.
        QObject::connect(socket, &QWebSocket::aboutToClose, this, [this, id] {
            if (Connection *c = live(id))
                c->closeFrameReceived = true;
        });
        QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                         [this, id](QAbstractSocket::SocketError error) {
                             Connection *c = live(id);
                             if (!c || c->closeFrameReceived)
                                 return;
                             finish(*c, transportSentence(error, c->socket->errorString(), c->socket->requestUrl()));
                         });
        QObject::connect(socket, &QWebSocket::disconnected, this, [this, id] {
            Connection *c = live(id);
            if (!c)
                return;
            if (c->closeFrameReceived) {
                finish(*c, closeSentence(int(c->socket->closeCode()), c->socket->closeReason()));
                return;
            }
            // A refused connection reports its error just after this; give
            // it the chance to be the one sentence.
            QTimer::singleShot(0, this, [this, id] {
                if (Connection *c = live(id))
                    finish(*c, QStringLiteral("The connection to the server was lost."));
            });
        });

        socket->open(url);
    }

private:
    struct Connection
    {
        quint64 id = 0;
        QWebSocket *socket = nullptr;
        DirectSend direct; // once opened
        std::shared_ptr<std::atomic<bool>> silenced;
        bool opened = false;
        bool closeFrameReceived = false;
        bool ended = false; // its one closing sentence is chosen
    };

    struct Outgoing
    {
        bool isText = false;
        QByteArray bytes;
        QString text;
    };

    void sendAudio(Connection &connection, const QByteArray &chunk)
    {
        if (connection.direct.binaryMessage(chunk))
            return;
        connection.socket->sendBinaryMessage(chunk);
        // Out now, rather than on one more turn of this thread's loop.
        connection.socket->flush();
    }

    void opened(Connection &connection)
    {
        connection.opened = true;
        connection.direct = DirectSend(connection.socket);
        std::deque<Outgoing> pending;
        pending.swap(m_pending);
        m_pendingChunks = 0;
        for (Outgoing &item : pending) {
            if (connection.socket->state() != QAbstractSocket::ConnectedState)
                break;
            if (item.isText)
                connection.socket->sendTextMessage(item.text);
            else
                sendAudio(connection, item.bytes);
        }
    }

    void received(Connection &connection, const std::optional<SonioxMessage> &message)
    {
        if (!message || connection.silenced->load(std::memory_order_acquire))
            return;
        if (message->isError()) {
            qCWarning(lcWs).noquote() << "The server reported an error:" << message->errorText();
            Q_EMIT m_client.failed(connection.id, message->errorText());
            return;
        }
        Q_EMIT m_client.updateReceived(connection.id, message->toUpdate());
    }

    // The one sentence that ends a connection the server or the network broke.
    void finish(Connection &connection, const QString &sentence)
    {
        if (connection.ended)
            return;
        connection.ended = true;
        if (!connection.silenced->load(std::memory_order_acquire)) {
            qCWarning(lcWs).noquote() << sentence;
            Q_EMIT m_client.failed(connection.id, sentence);
        }
    }

    Connection *live(quint64 id) const
    {
        return m_current && m_current->id == id ? m_current.get() : nullptr;
    }

    void retire(bool graceful)
    {
        std::unique_ptr<Connection> connection = std::move(m_current);
        connection->silenced->store(true, std::memory_order_release);
        QWebSocket *socket = connection->socket;
        QObject::disconnect(socket, nullptr, this, nullptr);
        if (socket->state() == QAbstractSocket::UnconnectedState) {
            socket->deleteLater();
            return;
        }
        QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        if (graceful && socket->state() == QAbstractSocket::ConnectedState) {
            socket->close(QWebSocketProtocol::CloseCodeNormal);
            QTimer::singleShot(closingGraceMs, socket, &QWebSocket::abort);
        } else {
            socket->abort();
        }
    }

    TranscriptionClient &m_client;
    Strand m_strand{this};
    std::unique_ptr<Connection> m_current;
    std::deque<Outgoing> m_pending;
    int m_pendingChunks = 0;
};

class TranscriptionClient::WorkerThread : public QThread
{
public:
    explicit WorkerThread(TranscriptionClient &client) : m_client(client) { setObjectName(QStringLiteral("zarno.ws")); }

    QSemaphore ready;

protected:
    void run() override
    {
        Worker worker(m_client);
        m_client.m_worker = &worker;
        ready.release();
        exec();
    }

private:
    TranscriptionClient &m_client;
};

TranscriptionClient::TranscriptionClient(QObject *parent)
    : TranscriptionLink(parent)
    , m_thread(std::make_unique<WorkerThread>(*this))
{
    m_thread->start();
    m_thread->ready.acquire();
}

TranscriptionClient::~TranscriptionClient()
{
    if (m_current)
        m_current->store(true, std::memory_order_release);
    m_thread->quit();
    m_thread->wait();
}

quint64 TranscriptionClient::open(const QUrl &url)
{
    if (m_current)
        m_current->store(true, std::memory_order_release);
    m_current = std::make_shared<std::atomic<bool>>(false);
    const quint64 id = m_currentId = ++m_lastId;
    m_worker->post([worker = m_worker, id, url, silenced = m_current] { worker->open(id, url, silenced); });
    m_hasTask.store(true);
    return id;
}

QObject *TranscriptionClient::loopContext() const
{
    return m_worker;
}

void TranscriptionClient::send(const QByteArray &chunk)
{
    // An empty binary frame reads as end of audio to some servers.
    if (chunk.isEmpty())
        return;
    // A deep copy: the caller may hand us a view of a buffer it reuses. On
    // the socket's own thread (the microphone's connection runs there) it is
    // sent at once when nothing waits ahead of it.
    m_worker->runOrPost([worker = m_worker, bytes = QByteArray(chunk.constData(), chunk.size())]() mutable {
        worker->sendChunk(std::move(bytes));
    });
}

void TranscriptionClient::finalize()
{
    const QString text = QString::fromLatin1(finalizeRequest);
    if (!m_current)
        return;
    m_worker->post([worker = m_worker, text] { worker->sendText(text); });
}

void TranscriptionClient::close()
{
    if (!m_current)
        return;
    // Silent from this moment, even for events already on their way.
    m_current->store(true, std::memory_order_release);
    m_current.reset();
    m_worker->post([worker = m_worker, id = m_currentId] { worker->closeConnection(id); });
    m_hasTask.store(false);
}

bool TranscriptionClient::hasTask() const
{
    return m_hasTask.load();
}
