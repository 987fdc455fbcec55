#include "singleinstance.h"

#include <QCoroLocalSocket>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>

namespace {

// A request is one line of JSON (an array of strings); the answer is the
// rest of the stream.
constexpr qint64 maxRequestBytes = 64 * 1024;

} // namespace

QString SingleInstance::defaultSocketPath()
{
    QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty())
        directory = QDir::tempPath();
    return directory + QStringLiteral("/zarno.socket");
}

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

bool SingleInstance::listen()
{
    // Ask first: with access options set, Qt binds beside the path and renames
    // over it, which would silently take the socket from a running instance.
    QLocalSocket probe;
    probe.connectToServer(m_socketPath);
    if (probe.waitForConnected(1000))
        return false;
    QLocalServer::removeServer(m_socketPath); // left by a crash, if anything
    return m_server.listen(m_socketPath);
}

QCoro::Task<> SingleInstance::serve(QLocalSocket *socket)
{
    QPointer<SingleInstance> self(this);
    QPointer<QLocalSocket> connection(socket);
    QByteArray request;
    while (connection && !request.contains('\n') && request.size() < maxRequestBytes) {
        const QByteArray more = co_await qCoro(connection.data()).read(maxRequestBytes, std::chrono::seconds(5));
        if (more.isEmpty())
            break;
        request += more;
    }
    if (!self || !connection)
        co_return;
    // A launch that only looked whether anybody is home sends nothing.
    if (!request.contains('\n')) {
        connection->deleteLater();
        co_return;
    }
    QStringList arguments;
    const QJsonArray array = QJsonDocument::fromJson(request.left(request.indexOf('\n'))).array();
    for (const QJsonValue &value : array)
        arguments.append(value.toString());

    QString answer;
    if (m_handler)
        answer = co_await m_handler(arguments);
    if (!connection)
        co_return;
    connection->write(answer.toUtf8());
    connection->disconnectFromServer();
    connect(connection.data(), &QLocalSocket::disconnected, connection.data(), &QObject::deleteLater);
    if (connection->state() == QLocalSocket::UnconnectedState)
        connection->deleteLater();
}

std::optional<QString> SingleInstance::send(const QString &socketPath, const QStringList &arguments, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(1000))
        return std::nullopt;
    socket.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return std::nullopt;
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(timeoutMs))
        answer += socket.readAll();
    answer += socket.readAll();
    return QString::fromUtf8(answer);
}
