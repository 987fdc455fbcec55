#include "transcriptionclient.h"

#include <QAbstractSocket>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <deque>

#include <fcntl.h>
#include <unistd.h>

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
// http status code: 403 (Forbidden)."); the user gets whole sentences.
QString transportSentence(QAbstractSocket::SocketError error, const QString &detail)
{
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("The connection to the server was lost.");
    case QAbstractSocket::ConnectionRefusedError: {
        static const QRegularExpression status(QStringLiteral("status code: (\\d+)"));
        const QRegularExpressionMatch match = status.match(detail);
        if (match.hasMatch())
            return QStringLiteral("The server refused the connection (") + match.captured(1) + QLatin1StringView(").");
        return QStringLiteral("Could not connect to the server.");
    }
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("The server could not be found.");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("The connection to the server timed out.");
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

struct TranscriptionClient::Command
{
    enum class Kind { Chunk, Text, Connect, Close, MessageHandler, ErrorHandler, Stub };

    explicit Command(Kind k) : kind(k) { }

    std::atomic<Command *> next{nullptr};
    Kind kind;
    quint64 id = 0;
    QByteArray bytes;
    QString text;
    QUrl url;
    std::shared_ptr<std::atomic<bool>> silenced;
    MessageHandler onMessage;
    ErrorHandler onError;
};

// Many producers, one consumer (the worker), no locks: a push is one atomic
// exchange and one store. A producer preempted between the two hides the
// commands behind it for a moment; it wakes the worker again once its push
// is complete, so nothing is stranded.
class TranscriptionClient::CommandQueue
{
public:
    CommandQueue() : m_stub(Command::Kind::Stub), m_head(&m_stub), m_tail(&m_stub) { }

    ~CommandQueue()
    {
        while (Command *command = pop())
            delete command;
    }

    void push(Command *command)
    {
        command->next.store(nullptr, std::memory_order_relaxed);
        Command *previous = m_head.exchange(command, std::memory_order_acq_rel);
        previous->next.store(command, std::memory_order_release);
    }

    // Consumer only. Nothing when empty or when a push is half done.
    Command *pop()
    {
        Command *tail = m_tail;
        Command *next = tail->next.load(std::memory_order_acquire);
        if (tail == &m_stub) {
            if (!next)
                return nullptr;
            m_tail = next;
            tail = next;
            next = next->next.load(std::memory_order_acquire);
        }
        if (next) {
            m_tail = next;
            return tail;
        }
        if (tail != m_head.load(std::memory_order_acquire))
            return nullptr;
        push(&m_stub);
        next = tail->next.load(std::memory_order_acquire);
        if (next) {
            m_tail = next;
            return tail;
        }
        return nullptr;
    }

private:
    Command m_stub;
    std::atomic<Command *> m_head;
    Command *m_tail;
};

// Lives on the worker thread and owns every socket.
class TranscriptionClient::Worker : public QObject
{
public:
    Worker(CommandQueue &queue, std::atomic<bool> &wakeArmed, int wakeRead)
        : m_queue(queue)
        , m_wakeArmed(wakeArmed)
        , m_wakeRead(wakeRead)
    {
    }

    ~Worker() override
    {
        if (m_current)
            retire(false);
    }

    void wake()
    {
        char buffer[64];
        while (::read(m_wakeRead, buffer, sizeof buffer) > 0) {
        }
        m_wakeArmed.exchange(false, std::memory_order_acq_rel);
        while (Command *command = m_queue.pop()) {
            handle(*command);
            delete command;
        }
    }

private:
    struct Connection
    {
        quint64 id = 0;
        QWebSocket *socket = nullptr;
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

    void handle(Command &command)
    {
        switch (command.kind) {
        case Command::Kind::Chunk:
            sendChunk(std::move(command.bytes));
            break;
        case Command::Kind::Text:
            sendText(command.text);
            break;
        case Command::Kind::Connect:
            open(command.id, command.url, std::move(command.silenced));
            break;
        case Command::Kind::Close:
            if (m_current && m_current->id == command.id)
                retire(true);
            break;
        case Command::Kind::MessageHandler:
            m_onMessage = std::move(command.onMessage);
            break;
        case Command::Kind::ErrorHandler:
            m_onError = std::move(command.onError);
            break;
        case Command::Kind::Stub:
            break;
        }
    }

    void sendChunk(QByteArray chunk)
    {
        if (!m_current)
            return;
        if (m_current->opened) {
            if (m_current->socket->state() == QAbstractSocket::ConnectedState)
                m_current->socket->sendBinaryMessage(chunk);
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
                             finish(*c, transportSentence(error, c->socket->errorString()));
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

    void opened(Connection &connection)
    {
        connection.opened = true;
        std::deque<Outgoing> pending;
        pending.swap(m_pending);
        m_pendingChunks = 0;
        for (Outgoing &item : pending) {
            if (connection.socket->state() != QAbstractSocket::ConnectedState)
                break;
            if (item.isText)
                connection.socket->sendTextMessage(item.text);
            else
                connection.socket->sendBinaryMessage(item.bytes);
        }
    }

    void received(Connection &connection, const std::optional<SonioxMessage> &message)
    {
        if (!message || connection.silenced->load(std::memory_order_acquire))
            return;
        if (message->isError()) {
            if (m_onError)
                m_onError(message->errorText());
            return;
        }
        if (m_onMessage)
            m_onMessage(*message);
    }

    // The one sentence that ends a connection the server or the network broke.
    void finish(Connection &connection, const QString &sentence)
    {
        if (connection.ended)
            return;
        connection.ended = true;
        if (connection.silenced->load(std::memory_order_acquire))
            return;
        if (m_onError)
            m_onError(sentence);
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

    CommandQueue &m_queue;
    std::atomic<bool> &m_wakeArmed;
    int m_wakeRead;

    std::unique_ptr<Connection> m_current;
    std::deque<Outgoing> m_pending;
    int m_pendingChunks = 0;
    MessageHandler m_onMessage;
    ErrorHandler m_onError;
};

class TranscriptionClient::WorkerThread : public QThread
{
public:
    explicit WorkerThread(TranscriptionClient &client) : m_client(client) { setObjectName(QStringLiteral("zarno.ws")); }

    QSemaphore ready;

protected:
    void run() override
    {
        Worker worker(*m_client.m_queue, m_client.m_wakeArmed, m_client.m_wakeRead);
        QSocketNotifier notifier(qintptr(m_client.m_wakeRead), QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &worker, [&worker] { worker.wake(); });
        ready.release();
        worker.wake();
        exec();
    }

private:
    TranscriptionClient &m_client;
};

TranscriptionClient::TranscriptionClient()
    : m_queue(std::make_unique<CommandQueue>())
{
    int fds[2];
    if (::pipe(fds) == 0) {
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
        for (int fd : fds) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    } else {
        qFatal("TranscriptionClient: no pipe for the worker thread");
    }
    m_thread = std::make_unique<WorkerThread>(*this);
    m_thread->start();
    m_thread->ready.acquire();
}

TranscriptionClient::~TranscriptionClient()
{
    if (m_current)
        m_current->store(true, std::memory_order_release);
    m_thread->quit();
    m_thread->wait();
    m_thread.reset();
    m_queue.reset();
    ::close(m_wakeRead);
    ::close(m_wakeWrite);
}

void TranscriptionClient::post(std::unique_ptr<Command> command)
{
    m_queue->push(command.release());
    if (!m_wakeArmed.exchange(true, std::memory_order_acq_rel)) {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing to do then.
        if (::write(m_wakeWrite, &byte, 1) < 0) {
        }
    }
}

void TranscriptionClient::setOnMessage(MessageHandler handler)
{
    auto command = std::make_unique<Command>(Command::Kind::MessageHandler);
    command->onMessage = std::move(handler);
    post(std::move(command));
}

void TranscriptionClient::setOnError(ErrorHandler handler)
{
    auto command = std::make_unique<Command>(Command::Kind::ErrorHandler);
    command->onError = std::move(handler);
    post(std::move(command));
}

void TranscriptionClient::connect(const QUrl &url)
{
    if (m_current)
        m_current->store(true, std::memory_order_release);
    m_current = std::make_shared<std::atomic<bool>>(false);
    m_currentId = ++m_lastId;
    auto command = std::make_unique<Command>(Command::Kind::Connect);
    command->id = m_currentId;
    command->url = url;
    command->silenced = m_current;
    post(std::move(command));
    m_hasTask.store(true);
}

void TranscriptionClient::send(const QByteArray &chunk)
{
    // An empty binary frame reads as end of audio to some servers.
    if (chunk.isEmpty())
        return;
    auto command = std::make_unique<Command>(Command::Kind::Chunk);
    // A deep copy: the caller may hand us a view of a buffer it reuses.
    command->bytes = QByteArray(chunk.constData(), chunk.size());
    post(std::move(command));
}

void TranscriptionClient::sendText(const QString &text)
{
    if (!m_current)
        return;
    auto command = std::make_unique<Command>(Command::Kind::Text);
    command->text = text;
    post(std::move(command));
}

void TranscriptionClient::close()
{
    if (!m_current)
        return;
    // Silent from this moment, even for events already on their way.
    m_current->store(true, std::memory_order_release);
    m_current.reset();
    auto command = std::make_unique<Command>(Command::Kind::Close);
    command->id = m_currentId;
    post(std::move(command));
    m_hasTask.store(false);
}

bool TranscriptionClient::hasTask() const
{
    return m_hasTask.load();
}
