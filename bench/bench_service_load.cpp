// zarno-server under load and abuse, over loopback against the real binary:
// how many real-time speech streams it sustains (end of speech -> final words
// p99 under 2 s), that latency at 1 and 4 streams, and, while one client
// guesses passwords, one floods audio and one sends an oversized body, the
// other clients' request latency and the service's peak memory; and the
// store's share: first sign-ins and note saves per second, and how long
// listing an account's notes takes, on SQLite, on PostgreSQL and on two
// instances sharing one PostgreSQL database.
//
//   bench_service_load [--server PATH] [--seconds N] [--part store|attack|streams]
//                      [--database postgresql://USER@HOST:PORT/DBNAME]
//
// Without --database the PostgreSQL rows use a private cluster of their own.

#include "serviceload.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int bytesPerMs = 32;
constexpr int chunkMs = 85;
constexpr int speechEndsMs = 2200; // goforward.raw is quiet after this
constexpr int pauseMs = 2500;      // silence after each utterance
constexpr qint64 sustainedP99Ms = 2000;

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}


// One account speaking in real time: a second of silence, then the words and
// a pause, over and over. Latency runs from the last word sent to the first
// final words after it.
class Stream : public QObject
{
public:
    Stream(const QUrl &url, const QByteArray &speech, Figures &figures, int startDelayMs)
        : m_speech(speech)
        , m_figures(figures)
    {
        connect(&m_socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            const QJsonArray tokens = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("tokens")).toArray();
            if (m_waiting && !tokens.isEmpty() && tokens.first().toObject().value(QStringLiteral("is_final")).toBool()) {
                m_figures.add(double(m_sinceSpeech.nsecsElapsed()) / 1e6);
                m_waiting = false;
            }
        });
        connect(&m_socket, &QWebSocket::disconnected, this, [this] { m_timer.stop(); });
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &Stream::tick);
        connect(&m_socket, &QWebSocket::connected, this, [this] {
            m_clock.start();
            m_timer.start(chunkMs);
        });
        QTimer::singleShot(startDelayMs, this, [this, url] { m_socket.open(url); });
    }
    ~Stream() override { m_socket.abort(); }

    // An utterance whose final words are still on their way is not counted.
    void stop()
    {
        m_timer.stop();
        m_socket.close();
    }

private:
    // The position in the pass is taken from the clock, so a late timer
    // sends what is due rather than falling behind real time.
    void tick()
    {
        const qint64 due = m_clock.elapsed() * bytesPerMs;
        while (m_sent < due) {
            const qsizetype cycle = m_speech.size() + qsizetype(pauseMs) * bytesPerMs;
            const qsizetype lead = 1000 * bytesPerMs;
            const qsizetype at = m_sent < lead ? -1 : (m_sent - lead) % cycle;
            QByteArray chunk;
            if (at >= 0 && at < m_speech.size()) {
                chunk = m_speech.mid(at, chunkMs * bytesPerMs);
                if (at + chunk.size() >= m_speech.size()) {
                    if (m_waiting)
                        m_figures.missed += 1;
                    m_waiting = true;
                    m_sinceSpeech.start();
                }
            } else {
                const qsizetype toSpeech = at < 0 ? lead - m_sent : cycle - at;
                chunk = QByteArray(std::min<qsizetype>(chunkMs * bytesPerMs, toSpeech), '\0');
            }
            m_socket.sendBinaryMessage(chunk);
            m_sent += chunk.size();
        }
    }

    QWebSocket m_socket;
    QTimer m_timer;
    QElapsedTimer m_clock;
    QElapsedTimer m_sinceSpeech;
    QByteArray m_speech;
    Figures &m_figures;
    qint64 m_sent = 0;
    bool m_waiting = false;
};

Figures runStreams(Service &service, const QStringList &tokens, const QByteArray &speech, int count, int seconds)
{
    Figures figures;
    std::vector<std::unique_ptr<Stream>> streams;
    for (int i = 0; i < count; ++i)
        streams.push_back(std::make_unique<Stream>(service.socketUrl(tokens.at(i)), speech, figures, i * 613 % 2000));
    wait(seconds * 1000);
    for (const auto &stream : streams)
        stream->stop();
    wait(500);
    return figures;
}

// The attackers run on their own thread so that their sending does not delay
// the measuring clients.
class Attack : public QObject
{
public:
    Attack(const Service &service, const QString &floodToken)
        : m_service(service)
        , m_floodToken(floodToken)
    {
    }

    void begin()
    {
        for (int i = 0; i < 8; ++i) {
            m_guessers.push_back(std::make_unique<QNetworkAccessManager>());
            guess(m_guessers.back().get(), i);
        }
        flood();
        bigBody();
    }

    void end()
    {
        m_running = false;
        m_guessers.clear();
        m_flooder.reset();
        m_bigBody.reset();
    }

    int guesses = 0;
    int refusedGuesses = 0;
    int floodConnections = 0;
    int bigBodies = 0;

private:
    void guess(QNetworkAccessManager *network, int guesser)
    {
        if (!m_running)
            return;
        QNetworkRequest request(m_service.url(QStringLiteral("/auth/v1/token?grant_type=password")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        request.setRawHeader("apikey", m_service.key().toUtf8());
        const QString email = QStringLiteral("victim%1@example.org").arg(guesses % 3);
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("email"), email},
                                                          {QStringLiteral("password"), QStringLiteral("guess %1").arg(guesses)}})
                                    .toJson(QJsonDocument::Compact);
        QNetworkReply *reply = network->post(request, body);
        connect(reply, &QNetworkReply::finished, this, [this, reply, network, guesser] {
            ++guesses;
            if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 429)
                ++refusedGuesses;
            reply->deleteLater();
            guess(network, guesser);
        });
    }

    void flood()
    {
        if (!m_running)
            return;
        ++floodConnections;
        m_flooder = std::make_unique<QWebSocket>();
        QWebSocket *socket = m_flooder.get();
        auto inFlight = std::make_shared<qint64>(0);
        const QByteArray frame(256 * 1024, '\x11');
        auto *pump = new QTimer(socket);
        connect(pump, &QTimer::timeout, socket, [socket, inFlight, frame] {
            while (*inFlight < 4 * 1024 * 1024) {
                socket->sendBinaryMessage(frame);
                *inFlight += frame.size();
            }
        });
        connect(socket, &QWebSocket::bytesWritten, socket, [inFlight](qint64 bytes) { *inFlight -= bytes; });
        connect(socket, &QWebSocket::connected, pump, [pump] { pump->start(0); });
        connect(socket, &QWebSocket::disconnected, this, [this] {
            QTimer::singleShot(200, this, [this] { flood(); });
        }, Qt::QueuedConnection);
        socket->open(m_service.socketUrl(m_floodToken));
    }

    void bigBody()
    {
        if (!m_running)
            return;
        ++bigBodies;
        m_bigBody = std::make_unique<QTcpSocket>();
        QTcpSocket *socket = m_bigBody.get();
        const QByteArray chunk(1024 * 1024, 'x');
        connect(socket, &QTcpSocket::connected, socket, [this, socket, chunk] {
            socket->write("POST /api/sessions HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_service.port())
                          + "\r\nContent-Type: application/json\r\nContent-Length: 400000000\r\n\r\n");
            socket->write(chunk);
        });
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket, chunk] {
            if (socket->bytesToWrite() < 4 * chunk.size())
                socket->write(chunk);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            QTimer::singleShot(200, this, [this] { bigBody(); });
        }, Qt::QueuedConnection);
        socket->connectToHost(QHostAddress::LocalHost, m_service.port());
    }

    const Service &m_service;
    QString m_floodToken;
    bool m_running = true;
    std::vector<std::unique_ptr<QNetworkAccessManager>> m_guessers;
    std::unique_ptr<QWebSocket> m_flooder;
    std::unique_ptr<QTcpSocket> m_bigBody;
};

// A well-behaved client asking for its configuration and notes every 100 ms.
Figures politeRequests(Service &service, const QString &token, int seconds)
{
    Figures figures;
    QNetworkAccessManager network;
    QElapsedTimer total;
    total.start();
    int turn = 0;
    while (total.elapsed() < seconds * 1000) {
        QNetworkRequest request(service.url(turn++ % 2 ? QStringLiteral("/api/auth/config") : QStringLiteral("/api/sessions")));
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        request.setTransferTimeout(30000);
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<QNetworkReply> reply(network.get(request));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        if (reply->error() == QNetworkReply::NoError)
            figures.add(double(clock.nsecsElapsed()) / 1e6);
        else
            figures.missed += 1;
        wait(100);
    }
    return figures;
}


// While one client guesses passwords, one floods audio and one sends an
// oversized body: the other clients' latency and the service's peak memory.
bool attackFigures(const QString &binary, const QByteArray &speech, int seconds)
{
    Service service;
    if (!service.start(binary)) {
        std::printf("%s did not start\n", qPrintable(binary));
        return false;
    }
    std::printf("service: %s (pid %lld)\n", qPrintable(binary), service.pid());
    QNetworkAccessManager network;
    const QString speakerToken = service.signIn(network, QStringLiteral("speaker@example.org"));
    const QString floodToken = service.signIn(network, QStringLiteral("flood@example.org"));
    const QString politeToken = service.signIn(network, QStringLiteral("polite@example.org"));
    for (int i = 0; i < 3; ++i)
        service.signIn(network, QStringLiteral("victim%1@example.org").arg(i));

    const Figures quiet = politeRequests(service, politeToken, 3);
    std::printf("other client's requests, quiet: p50 %.1f ms, p90 %.1f ms\n", quiet.percentile(50), quiet.percentile(90));
    std::printf("under attack (8 password guessers, 1 audio flood, 1 400 MB body) for %d s:\n", seconds);
    QThread attackThread;
    attackThread.start();
    auto *attack = new Attack(service, floodToken);
    attack->moveToThread(&attackThread);
    QMetaObject::invokeMethod(attack, [attack] { attack->begin(); });
    wait(1000);
    Figures speakerFigures;
    auto speaker = std::make_unique<Stream>(service.socketUrl(speakerToken), speech, speakerFigures, 0);
    const Figures polite = politeRequests(service, politeToken, seconds);
    speaker->stop();
    QMetaObject::invokeMethod(attack, [attack] { attack->end(); }, Qt::BlockingQueuedConnection);
    std::printf("  other client's requests: p50 %.0f ms, p90 %.0f ms, max %.0f ms (%zu answered, %d failed)\n",
                polite.percentile(50), polite.percentile(90), polite.percentile(100), polite.samples.size(), polite.missed);
    std::printf("  a speaker meanwhile: end of speech -> final p50 %.0f ms, p99 %.0f ms (%zu utterances, %d without final)\n",
                speakerFigures.percentile(50), speakerFigures.percentile(99), speakerFigures.samples.size(),
                speakerFigures.missed);
    std::printf("  guesses answered: %d (%d with 429); flood connections: %d; oversized bodies: %d\n",
                attack->guesses, attack->refusedGuesses, attack->floodConnections, attack->bigBodies);
    std::printf("  peak memory of the service: %lld MiB\n", peakMemoryKiB(service.pid()) / 1024);
    QMetaObject::invokeMethod(attack, [attack] { delete attack; }, Qt::BlockingQueuedConnection);
    attackThread.quit();
    attackThread.wait();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString binary = QStringLiteral(ZARNO_SERVER_BINARY);
    int seconds = 20;
    QString part;
    QString database;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1StringView("--server"))
            binary = args.at(i + 1);
        else if (args.at(i) == QLatin1StringView("--seconds"))
            seconds = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1StringView("--part"))
            part = args.at(i + 1);
        else if (args.at(i) == QLatin1StringView("--database"))
            database = args.at(i + 1);
    }
    const auto runs = [&](const char *name) { return part.isEmpty() || part == QLatin1StringView(name); };
    if (runs("store") && !storeFigures(binary, database))
        return 1;
    QFile recording(QStringLiteral("/usr/share/pocketsphinx/test/data/goforward.raw"));
    if (!recording.open(QIODevice::ReadOnly)) {
        std::printf("pocketsphinx-testdata is not installed (scripts/setup installs it)\n");
        return 1;
    }
    const QByteArray speech = recording.readAll().left(speechEndsMs * bytesPerMs);

    // The attack next, on a fresh service, so that its peak memory is the attack's.
    if (runs("attack") && !attackFigures(binary, speech, seconds))
        return 1;

    // Then the streams, with room for sixteen listeners.
    if (!runs("streams"))
        return 0;
    Service service;
    if (!service.start(binary, {QStringLiteral("--max-listeners"), QStringLiteral("16")})) {
        std::printf("%s did not start with --max-listeners\n", qPrintable(binary));
        return 1;
    }
    QNetworkAccessManager network;
    QStringList tokens;
    for (int i = 0; i < 16; ++i)
        tokens.append(service.signIn(network, QStringLiteral("speaker%1@example.org").arg(i)));
    std::printf("\nreal-time streams of %s (%d ms of speech, %d ms pause), %d s each:\n",
                "goforward.raw", speechEndsMs, pauseMs, seconds);
    int sustained = 0;
    for (int count : {1, 2, 4, 6, 8, 10, 12, 16}) {
        const Figures figures = runStreams(service, tokens, speech, count, seconds);
        const double p99 = figures.missed > 0 ? double(pauseMs) : figures.percentile(99);
        std::printf("  %d stream(s): end of speech -> final p50 %.0f ms, p99 %.0f ms (%zu utterances, %d without final); "
                    "peak memory %lld MiB\n",
                    count, figures.percentile(50), figures.percentile(99), figures.samples.size(), figures.missed,
                    peakMemoryKiB(service.pid()) / 1024);
        std::fflush(stdout);
        if (p99 <= sustainedP99Ms && p99 >= 0)
            sustained = count;
        else
            break;
    }
    std::printf("sustained: %d concurrent real-time stream(s) with p99 under %lld ms\n", sustained, sustainedP99Ms);
    return 0;
}
