#pragma once

// What bench_service_load's parts share: figures, a zarno-server process on
// a free port, and batches of requests sent at once.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <memory>
#include <vector>

struct Figures
{
    std::vector<double> samples;
    int missed = 0; // utterances whose final words never came within the pause

    void add(double ms) { samples.push_back(ms); }
    [[nodiscard]] double percentile(double p) const
    {
        if (samples.empty())
            return -1;
        std::vector<double> sorted = samples;
        std::sort(sorted.begin(), sorted.end());
        return sorted.at(std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size()))));
    }
};

inline void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class Service
{
public:
    bool start(const QString &binary, const QStringList &extra = {})
    {
        m_process.setProgram(binary);
        m_process.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data-dir"), m_dir.path()}
                               + extra);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start();
        if (!m_process.waitForStarted() || !m_process.waitForReadyRead(30000))
            return false;
        const QByteArray banner = m_process.readLine().trimmed();
        m_port = quint16(banner.mid(banner.lastIndexOf(':') + 1).toUInt());
        QNetworkAccessManager network;
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(url(QStringLiteral("/api/auth/config")))));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        m_key = QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("supabaseAnonKey")).toString();
        return m_port != 0 && !m_key.isEmpty();
    }
    ~Service()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    QUrl url(const QString &path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path)); }
    QString key() const { return m_key; }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

    QUrl socketUrl(const QString &token) const
    {
        QUrl address(QStringLiteral("ws://127.0.0.1:%1/ws/transcribe").arg(m_port));
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("a"), QStringLiteral("any"));
        query.addQueryItem(QStringLiteral("b"), QStringLiteral("en"));
        query.addQueryItem(QStringLiteral("token"), token);
        address.setQuery(query);
        return address;
    }

    QString signIn(QNetworkAccessManager &network, const QString &email)
    {
        QNetworkRequest request(url(QStringLiteral("/auth/v1/token?grant_type=password")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        request.setRawHeader("apikey", m_key.toUtf8());
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("email"), email},
                                                          {QStringLiteral("password"), QStringLiteral("bench password")}})
                                    .toJson(QJsonDocument::Compact);
        std::unique_ptr<QNetworkReply> reply(network.post(request, body));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        return QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("access_token")).toString();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_key;
};

// Sends every request at once (the network manager keeps six in flight per
// host and port) and times each; the rate counts the answers with status 200.
struct Batch
{
    Figures latency;
    double perSecond = 0;
};
Batch sendAll(QNetworkAccessManager &network, const QList<QNetworkRequest> &requests, const QList<QByteArray> &bodies);

// A note of `lines` lines, its own by `index`.
QByteArray notesBody(int index, int lines);

// First sign-ins, note saves and the list of an account's notes, on SQLite
// and, where PostgreSQL can be had, on one and on two instances sharing a
// database (`database`, else one of a private cluster).
bool storeFigures(const QString &binary, const QString &database);
