#include "localzarnoserver.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTimer>

#include <memory>

LocalZarnoServer::LocalZarnoServer(const QString &binary, const QStringList &arguments)
    : m_binary(binary)
    , m_arguments(arguments)
{
}

LocalZarnoServer::~LocalZarnoServer()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool LocalZarnoServer::start()
{
    m_process.setProgram(m_binary);
    m_process.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data-dir"), m_data.path()}
                           + m_arguments);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start();
    if (!m_process.waitForStarted() || !m_process.waitForReadyRead(30000))
        return false;
    // The first line names the address it listens on.
    const QByteArray banner = m_process.readLine().trimmed();
    m_base = QStringLiteral("http://127.0.0.1:") + QString::fromLatin1(banner.mid(banner.lastIndexOf(':') + 1));
    const QByteArray key = QJsonDocument::fromJson(request(QStringLiteral("/api/auth/config"), {}))
                               .object().value(QStringLiteral("supabaseAnonKey")).toString().toUtf8();
    const QJsonObject grant = QJsonDocument::fromJson(
                                  request(QStringLiteral("/auth/v1/token?grant_type=password"),
                                          R"({"email":"ada@example.org","password":"a local password"})", key))
                                  .object();
    m_token = grant.value(QStringLiteral("access_token")).toString();
    m_refresh = grant.value(QStringLiteral("refresh_token")).toString();
    return !m_token.isEmpty();
}

void LocalZarnoServer::killNow()
{
    m_process.kill();
    m_process.waitForFinished();
}

QJsonObject LocalZarnoServer::notes(const QString &id)
{
    return QJsonDocument::fromJson(request(QStringLiteral("/api/sessions/") + id, {})).object();
}

QByteArray LocalZarnoServer::request(const QString &path, const QByteArray &body, const QByteArray &key)
{
    QNetworkRequest request(QUrl(m_base + path));
    if (!m_token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
    std::unique_ptr<QNetworkReply> reply;
    if (body.isEmpty()) {
        reply.reset(m_network.get(request));
    } else {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        request.setRawHeader("apikey", key);
        reply.reset(m_network.post(request, body));
    }
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    return reply->readAll();
}
