// Recognition speed of zarno-server: the real-time factor of the recogniser
// and the delay from the last audio frame of an utterance to its final words
// at a client, with and without a finalize request.

#include "speechrecognizer.h"
#include "zarnoservice.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

constexpr int bytesPerMs = 32;
constexpr int chunkMs = 85;
constexpr int speechEndsMs = 2200; // goforward.raw is quiet after this
const QString testData = QStringLiteral("/usr/share/pocketsphinx/test/data/");

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

QByteArray readPcm(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray data = file.readAll();
    if (data.startsWith("RIFF"))
        data.remove(0, 44);
    return data;
}

void realTimeFactor()
{
    QByteArray audio = readPcm(testData + QStringLiteral("goforward.raw"));
    const QDir librivox(testData + QStringLiteral("librivox"));
    for (const QString &name : librivox.entryList({QStringLiteral("*.wav")}, QDir::Files, QDir::Name))
        audio += readPcm(librivox.filePath(name)) + QByteArray(500 * bytesPerMs, '\0');
    SpeechRecognizer recognizer(QStringLiteral("/usr/share/pocketsphinx/model/en-us"));
    int utterances = 0;
    QObject::connect(&recognizer, &SpeechRecognizer::utterance, [&] { ++utterances; });
    recognizer.start();
    if (!recognizer.isReady()) {
        std::printf("recogniser: the model could not be loaded\n");
        return;
    }
    const double before = threadCpuSeconds();
    for (qsizetype offset = 0; offset < audio.size(); offset += chunkMs * bytesPerMs)
        recognizer.feed(audio.mid(offset, chunkMs * bytesPerMs));
    recognizer.finalize();
    const double cpu = threadCpuSeconds() - before;
    const double seconds = double(audio.size()) / (bytesPerMs * 1000.0);
    std::printf("real-time factor: %.2f (%.2f s of CPU for %.1f s of speech, %d utterances)\n",
                cpu / seconds, cpu, seconds, utterances);
}

QString signIn(ZarnoService &service, QNetworkAccessManager &network)
{
    QNetworkRequest request(QUrl(service.baseUrl() + QStringLiteral("/auth/v1/token?grant_type=password")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    request.setRawHeader("apikey", service.publicKey().toUtf8());
    std::unique_ptr<QNetworkReply> reply(network.post(request, QByteArray(R"({"email":"bench@example.org","password":"benchmark"})")));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    return QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("access_token")).toString();
}

// One run: a second of silence while the model loads, the words, then either a
// finalize or more silence at real-time pace until the final words arrive.
double latencyMs(const QUrl &url, const QByteArray &speech, bool finalize)
{
    QWebSocket socket;
    QEventLoop loop;
    QElapsedTimer sinceLastSpeech;
    double latency = -1;
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
        const QJsonArray tokens = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("tokens")).toArray();
        if (sinceLastSpeech.isValid() && !tokens.isEmpty() && tokens.first().toObject().value(QStringLiteral("is_final")).toBool()) {
            latency = double(sinceLastSpeech.nsecsElapsed()) / 1e6;
            loop.quit();
        }
    });
    QObject::connect(&socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
    socket.open(url);

    const QByteArray audio = QByteArray(1000 * bytesPerMs, '\0') + speech;
    qsizetype offset = 0;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        if (offset < audio.size()) {
            socket.sendBinaryMessage(audio.mid(offset, chunkMs * bytesPerMs));
            offset += chunkMs * bytesPerMs;
            if (offset >= audio.size()) {
                sinceLastSpeech.start();
                if (finalize)
                    socket.sendTextMessage(QStringLiteral("{\"type\":\"finalize\"}"));
            }
        } else if (!finalize) {
            socket.sendBinaryMessage(QByteArray(chunkMs * bytesPerMs, '\0'));
        }
    });
    QObject::connect(&socket, &QWebSocket::connected, &timer, [&] { timer.start(chunkMs); });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    socket.close();
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();
    return latency;
}

void finalLatency()
{
    QTemporaryDir dir;
    ServiceOptions options;
    options.dataDir = dir.path();
    options.port = 0;
    ZarnoService service(options);
    if (!service.start()) {
        std::printf("service: %s\n", qPrintable(service.errorText()));
        return;
    }
    QNetworkAccessManager network;
    const QString token = signIn(service, network);
    QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws/transcribe").arg(service.port()));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("a"), QStringLiteral("any"));
    query.addQueryItem(QStringLiteral("b"), QStringLiteral("en"));
    query.addQueryItem(QStringLiteral("token"), token);
    url.setQuery(query);
    const QByteArray speech = readPcm(testData + QStringLiteral("goforward.raw")).left(speechEndsMs * bytesPerMs);

    for (bool finalize : {false, true}) {
        QList<double> runs;
        for (int i = 0; i < 5; ++i)
            runs.append(latencyMs(url, speech, finalize));
        std::sort(runs.begin(), runs.end());
        std::printf("last speech frame -> final words, %s: median %.0f ms (min %.0f, max %.0f, 5 runs)\n",
                    finalize ? "with finalize   " : "without finalize", runs.at(2), runs.first(), runs.last());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("zarno.server.info=false"));
    realTimeFactor();
    finalLatency();
    return 0;
}
