#pragma once

#include <QCoroTask>
#include <QLocalServer>
#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>

// One zarno per user: the first launch listens on a local socket, a later
// launch hands its arguments over and prints what the first one answers.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<QCoro::Task<QString>(QStringList arguments)>;

    // The socket of this user's instance, in the runtime directory.
    [[nodiscard]] static QString defaultSocketPath();

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject *parent = nullptr);

    // Becomes the running instance unless another one answers on the socket.
    // A socket left behind by a crashed instance is taken over.
    [[nodiscard]] bool listen();
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    // Sends the arguments to the running instance and returns its answer, or
    // nothing when no instance answers in time.
    [[nodiscard]] static std::optional<QString> send(const QString &socketPath, const QStringList &arguments,
                                                     int timeoutMs = 10000);

private:
    QCoro::Task<> serve(QLocalSocket *socket);

    QString m_socketPath;
    QLocalServer m_server;
    Handler m_handler;
};
