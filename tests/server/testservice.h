#pragma once

// A zarno service started in-process on 127.0.0.1 with port 0, a private data
// directory and a clock the test moves, plus a small blocking HTTP client.
// With ZARNO_TEST_STORE=postgresql the same tests run on a database of a
// private PostgreSQL cluster instead of the SQLite file.

#include "postgrescluster.h"
#include "zarnoservice.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSqlDatabase>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>
#include <QUrlQuery>

#include <memory>

struct HttpResult
{
    int status = 0;
    QByteArray body;
    QJsonObject json;
    QByteArray retryAfter;
    QByteArray contentType;
    QByteArray contentDisposition;
};

// What a client sees of one raw exchange: everything the service wrote, and
// whether it closed the connection.
struct RawReply
{
    QByteArray bytes;
    bool closed = false;

    [[nodiscard]] int status() const
    {
        const QList<QByteArray> parts = bytes.first(std::max<qsizetype>(0, bytes.indexOf("\r\n"))).split(' ');
        return parts.size() >= 2 ? parts.at(1).toInt() : 0;
    }
    [[nodiscard]] QByteArray headerValue(QByteArrayView name) const
    {
        for (const QByteArray &line : bytes.first(std::max<qsizetype>(0, bytes.indexOf("\r\n\r\n"))).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.first(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
    [[nodiscard]] QJsonObject json() const
    {
        return QJsonDocument::fromJson(bytes.mid(bytes.indexOf("\r\n\r\n") + 4)).object();
    }
    [[nodiscard]] bool isWhole() const
    {
        const qsizetype headEnd = bytes.indexOf("\r\n\r\n");
        return headEnd >= 0 && bytes.size() >= headEnd + 4 + headerValue("Content-Length").toLongLong();
    }
};

class TestService
{
public:
    // The smallest Argon2id cost keeps sign-ins quick; the hashing is the same.
    // Token lifetimes and the reuse interval are the shipped ones.
    explicit TestService(const QString &dataDir = {})
    {
        m_options.dataDir = dataDir.isEmpty() ? m_dir.path() : dataDir;
        if (onPostgres())
            m_options.database = databaseFor(m_options.dataDir);
        m_options.port = 0;
        m_options.passwordCost = PasswordCost::minimal();
        m_options.clock = [this] { return m_now; };
    }

    bool start(bool testControls = false)
    {
        m_options.testControls = testControls;
        m_service = std::make_unique<ZarnoService>(m_options);
        return m_service->start();
    }
    void stop() { m_service.reset(); }

    ZarnoService &service() { return *m_service; }
    ServiceOptions &options() { return m_options; }
    QString dataDir() const { return m_options.dataDir; }
    void advance(qint64 seconds) { m_now += seconds * 1000; }
    qint64 nowSeconds() const { return m_now / 1000; }

    QUrl url(const QString &pathAndQuery) const
    {
        return QUrl(m_service->baseUrl() + pathAndQuery);
    }

    HttpResult request(const QByteArray &method, const QString &pathAndQuery, const QByteArray &body = {},
                       const QList<QPair<QByteArray, QByteArray>> &headers = {})
    {
        QNetworkRequest request(url(pathAndQuery));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        std::unique_ptr<QNetworkReply> reply(m_network.sendCustomRequest(request, method, body));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
        HttpResult result;
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        result.retryAfter = reply->rawHeader("Retry-After");
        result.contentType = reply->rawHeader("Content-Type");
        result.contentDisposition = reply->rawHeader("Content-Disposition");
        result.json = QJsonDocument::fromJson(result.body).object();
        return result;
    }

    HttpResult grant(const QString &type, const QJsonObject &fields)
    {
        return request("POST", QStringLiteral("/auth/v1/token?grant_type=") + type,
                       QJsonDocument(fields).toJson(QJsonDocument::Compact),
                       {{"apikey", m_service->publicKey().toUtf8()}});
    }

    // Every request on a connection of its own, all written before any
    // answer is read, as many clients at once would send them.
    QList<RawReply> sendTogether(const QList<QByteArray> &requests)
    {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (qsizetype i = 0; i < requests.size(); ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress::LocalHost, m_service->port());
        }
        for (qsizetype i = 0; i < requests.size(); ++i) {
            sockets.at(i)->waitForConnected(5000);
            sockets.at(i)->write(requests.at(i));
            sockets.at(i)->flush();
        }
        QList<RawReply> replies(requests.size());
        const auto done = [&] {
            for (qsizetype i = 0; i < replies.size(); ++i) {
                replies[i].bytes += sockets.at(i)->readAll();
                if (!replies.at(i).isWhole() && sockets.at(i)->state() == QAbstractSocket::ConnectedState)
                    return false;
            }
            return true;
        };
        QDeadlineTimer deadline(20000);
        while (!done() && !deadline.hasExpired())
            QTest::qWait(5);
        return replies;
    }

    // A raw password grant, for sendTogether().
    QByteArray passwordRequest(const QString &email, const QString &password) const
    {
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}})
                                    .toJson(QJsonDocument::Compact);
        return "POST /auth/v1/token?grant_type=password HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_service->port())
            + "\r\nContent-Type: application/json\r\napikey: " + m_service->publicKey().toUtf8()
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }

    HttpResult signIn(const QString &email, const QString &password = QStringLiteral("correct horse"))
    {
        return grant(QStringLiteral("password"), {{QStringLiteral("email"), email}, {QStringLiteral("password"), password}});
    }

    HttpResult refresh(const QString &refreshToken)
    {
        return grant(QStringLiteral("refresh_token"), {{QStringLiteral("refresh_token"), refreshToken}});
    }

    // An access token of a freshly signed-in account.
    QString accessTokenFor(const QString &email)
    {
        return signIn(email).json.value(QStringLiteral("access_token")).toString();
    }

    HttpResult withBearer(const QByteArray &method, const QString &path, const QString &token, const QByteArray &body = {})
    {
        return request(method, path, body, {{"Authorization", "Bearer " + token.toUtf8()}});
    }

    QUrl transcribeUrl(const QString &token, const QString &target = QStringLiteral("en"), bool onlyTranscript = false) const
    {
        QUrl address(QStringLiteral("ws://127.0.0.1:%1/ws/transcribe").arg(m_service->port()));
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("a"), QStringLiteral("any"));
        query.addQueryItem(QStringLiteral("b"), target);
        query.addQueryItem(QStringLiteral("token"), QString::fromLatin1(QUrl::toPercentEncoding(token)));
        if (onlyTranscript)
            query.addQueryItem(QStringLiteral("onlyTranscript"), QStringLiteral("true"));
        address.setQuery(query);
        return address;
    }

    // The database of the services on `dataDir`, opened beside them, for a
    // test to read or spoil what they keep; remove it by its name afterwards.
    static QSqlDatabase openStoreDatabase(const QString &dataDir, const QString &connectionName)
    {
        QSqlDatabase db;
        if (onPostgres()) {
            const QUrl url(databaseFor(dataDir));
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
            db.setHostName(url.host());
            db.setPort(url.port());
            db.setUserName(url.userName());
            db.setDatabaseName(url.path().mid(1));
        } else {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
            db.setDatabaseName(dataDir + QStringLiteral("/zarno.sqlite"));
        }
        db.open();
        return db;
    }

    // Which store this run's services keep their data in.
    static bool onPostgres() { return qEnvironmentVariable("ZARNO_TEST_STORE") == QLatin1StringView("postgresql"); }

private:
    // One database per data directory: a service started again on the same
    // directory finds what the first one kept.
    static QString databaseFor(const QString &dataDir)
    {
        static QHash<QString, QString> databases;
        QString &url = databases[dataDir];
        if (url.isEmpty()) {
            PostgresCluster *cluster = PostgresCluster::shared();
            url = cluster ? cluster->createDatabase() : QString();
            if (url.isEmpty())
                qWarning("No PostgreSQL database for the test: %s", qUtf8Printable(PostgresCluster::skipReason()));
        }
        return url.isEmpty() ? QStringLiteral("postgresql://zarno@127.0.0.1:1/unavailable") : url;
    }

    QTemporaryDir m_dir;
    ServiceOptions m_options;
    qint64 m_now = 1'700'000'000'000;
    std::unique_ptr<ZarnoService> m_service;
    QNetworkAccessManager m_network;
};
