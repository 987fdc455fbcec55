// The store's share of bench_service_load: one row per store and number of
// instances behind it.
#include "serviceload.h"

#include "postgrescluster.h"

#include <QJsonArray>

#include <cstdio>

Batch sendAll(QNetworkAccessManager &network, const QList<QNetworkRequest> &requests, const QList<QByteArray> &bodies)
{
    Batch batch;
    QElapsedTimer total;
    total.start();
    int waiting = int(requests.size());
    int answered = 0;
    QEventLoop loop;
    for (qsizetype i = 0; i < requests.size(); ++i) {
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        QNetworkReply *reply = bodies.isEmpty() ? network.get(requests.at(i)) : network.post(requests.at(i), bodies.at(i));
        QObject::connect(reply, &QNetworkReply::finished, &loop, [&, reply, clock] {
            if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200) {
                batch.latency.add(double(clock->nsecsElapsed()) / 1e6);
                ++answered;
            } else {
                batch.latency.missed += 1;
            }
            reply->deleteLater();
            if (--waiting == 0)
                loop.quit();
        });
    }
    if (waiting > 0)
        loop.exec();
    batch.perSecond = answered / (double(total.nsecsElapsed()) / 1e9);
    return batch;
}

QByteArray notesBody(int index, int lines)
{
    const qint64 started = 1'700'000'000'000LL + qint64(index) * 3'600'000;
    QJsonArray entries;
    for (int i = 0; i < lines; ++i)
        entries.append(QJsonObject{{QStringLiteral("t"), started + i * 4000},
                                   {QStringLiteral("text"), QStringLiteral("Line %1 of a meeting about the budget.").arg(i)},
                                   {QStringLiteral("lang"), QStringLiteral("en")},
                                   {QStringLiteral("translated"), false}});
    return QJsonDocument(QJsonObject{{QStringLiteral("sourceClientId"), QStringLiteral("bench_%1").arg(index)},
                                     {QStringLiteral("startedAt"), started},
                                     {QStringLiteral("endedAt"), started + lines * 4000},
                                     {QStringLiteral("sourceLanguage"), QStringLiteral("en")},
                                     {QStringLiteral("targetLanguage"), QStringLiteral("es")},
                                     {QStringLiteral("onlyTranscript"), false},
                                     {QStringLiteral("timezone"), QStringLiteral("UTC")},
                                     {QStringLiteral("entries"), entries}})
        .toJson(QJsonDocument::Compact);
}

namespace {

struct StoreRow
{
    Batch signIns;
    Batch saves;
    Figures lists;
};

QNetworkRequest jsonRequest(const Service &service, const QString &path)
{
    QNetworkRequest request(service.url(path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    request.setRawHeader("apikey", service.key().toUtf8());
    return request;
}

// 60 first sign-ins (each hashes a password), 300 note saves of 50 lines and
// 200 lists of those notes one at a time, the requests taking the instances
// in turn; `prefix` keeps each row's accounts apart in a shared database.
StoreRow measure(const std::vector<std::unique_ptr<Service>> &instances, const QString &prefix)
{
    constexpr int accounts = 60;
    constexpr int notes = 300;
    const auto at = [&](int i) -> const Service & { return *instances.at(size_t(i) % instances.size()); };
    QNetworkAccessManager network;
    StoreRow row;
    QList<QNetworkRequest> requests;
    QList<QByteArray> bodies;
    for (int i = 0; i < accounts; ++i) {
        requests.append(jsonRequest(at(i), QStringLiteral("/auth/v1/token?grant_type=password")));
        bodies.append(QJsonDocument(QJsonObject{{QStringLiteral("email"), QStringLiteral("%1%2@example.org").arg(prefix).arg(i)},
                                                {QStringLiteral("password"), QStringLiteral("bench password")}})
                          .toJson(QJsonDocument::Compact));
    }
    row.signIns = sendAll(network, requests, bodies);

    // A token from the first instance is good on every other.
    const QString token = instances.front()->signIn(network, prefix + QStringLiteral("0@example.org"));
    requests.clear();
    bodies.clear();
    for (int i = 0; i < notes; ++i) {
        QNetworkRequest post = jsonRequest(at(i), QStringLiteral("/api/sessions"));
        post.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        requests.append(post);
        bodies.append(notesBody(i, 50));
    }
    row.saves = sendAll(network, requests, bodies);

    for (int i = 0; i < 200; ++i) {
        QNetworkRequest list(at(i).url(QStringLiteral("/api/sessions")));
        list.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        row.lists.add(sendAll(network, {list}, {}).latency.percentile(50));
    }
    return row;
}

bool printRow(const QString &binary, const char *name, int count, const QStringList &arguments)
{
    std::vector<std::unique_ptr<Service>> instances;
    for (int i = 0; i < count; ++i) {
        instances.push_back(std::make_unique<Service>());
        if (!instances.back()->start(binary, arguments)) {
            std::printf("  %-28s %s did not start\n", name, qPrintable(binary));
            return false;
        }
    }
    const StoreRow row = measure(instances, QStringLiteral("store%1x%2-").arg(name[0]).arg(count));
    std::printf("  %-28s %10.1f %9.0f %11.1f %11.1f %7d\n", name, row.signIns.perSecond, row.saves.perSecond,
                row.lists.percentile(50), row.lists.percentile(99),
                row.signIns.latency.missed + row.saves.latency.missed + row.lists.missed);
    std::fflush(stdout);
    return true;
}

} // namespace

bool storeFigures(const QString &binary, const QString &database)
{
    std::printf("store: 60 first sign-ins, 300 note saves of 50 lines, GET /api/sessions of 300 notes one at a time\n");
    std::printf("  %-28s %10s %9s %11s %11s %7s\n", "", "sign-ins/s", "saves/s", "list p50 ms", "list p99 ms", "failed");
    if (!printRow(binary, "SQLite, one instance", 1, {}))
        return false;
    std::unique_ptr<PostgresCluster> cluster;
    QString url = database;
    if (url.isEmpty()) {
        cluster = std::make_unique<PostgresCluster>();
        if (!cluster->start()) {
            std::printf("  PostgreSQL rows left out: %s\n", qPrintable(cluster->errorText()));
            return true;
        }
    }
    // A fresh database for each row unless one was given.
    const auto databaseFor = [&] { return cluster ? cluster->createDatabase() : url; };
    return printRow(binary, "PostgreSQL, one instance", 1, {QStringLiteral("--database"), databaseFor()})
        && printRow(binary, "PostgreSQL, two instances", 2, {QStringLiteral("--database"), databaseFor()});
}
