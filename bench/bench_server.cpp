// Recognition of zarno-server: the real-time factor of the recogniser, the
// delay from the last audio frame of an utterance to its final words at a
// client (with and without a finalize request), the word error rate of the
// streaming path beside the same engine decoding the files in batch, and the
// delay from a final line to its translation; and the word errors of the
// user's words after the call's echo canceller, with noise suppression and
// without (--echo: that alone).

#include "echocanceller.h"
#include "speechrecognizer.h"
#include "zarnoservice.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>

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

QUrl transcribeUrl(const ZarnoService &service, const QString &token, const QString &target)
{
    QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws/transcribe").arg(service.port()));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("a"), QStringLiteral("any"));
    query.addQueryItem(QStringLiteral("b"), target);
    query.addQueryItem(QStringLiteral("token"), token);
    url.setQuery(query);
    return url;
}

void finalLatency(ZarnoService &service, const QString &token)
{
    const QUrl url = transcribeUrl(service, token, QStringLiteral("en"));
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


QStringList words(const QString &text)
{
    static const QRegularExpression notWord(QStringLiteral("[^a-z' ]"));
    return text.toLower().replace(notWord, QStringLiteral(" ")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Word-level edit distance: substitutions, insertions and deletions.
qsizetype editDistance(const QStringList &reference, const QStringList &hypothesis)
{
    QList<qsizetype> row(hypothesis.size() + 1);
    for (qsizetype j = 0; j <= hypothesis.size(); ++j)
        row[j] = j;
    for (qsizetype i = 1; i <= reference.size(); ++i) {
        qsizetype diagonal = row[0];
        row[0] = i;
        for (qsizetype j = 1; j <= hypothesis.size(); ++j) {
            const qsizetype above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (reference.at(i - 1) == hypothesis.at(j - 1) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[hypothesis.size()];
}

struct Recording
{
    QString path;
    QString reference;
};

// The real recordings of pocketsphinx-testdata with their transcriptions.
QList<Recording> recordings()
{
    QList<Recording> list{{testData + QStringLiteral("goforward.raw"), QStringLiteral("go forward ten meters")}};
    static const QRegularExpression line(QStringLiteral("^<s>(.*)</s>\\s*\\((\\S+)\\)\\s*$"));
    for (const auto &[dir, transcription] : {std::pair{QStringLiteral("librivox"), QStringLiteral("transcription")},
                                             std::pair{QStringLiteral("cards"), QStringLiteral("cards.transcription")}}) {
        QFile file(testData + dir + QLatin1Char('/') + transcription);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QString &text : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch match = line.match(text.trimmed());
            if (match.hasMatch())
                list.append({testData + dir + QLatin1Char('/') + match.captured(2) + QStringLiteral(".wav"),
                             match.captured(1).simplified()});
        }
    }
    return list;
}

// One recording on a fresh connection, four times faster than speech (the
// recogniser sees the same samples either way), a second of silence, a
// finalize; the final words once the service has been quiet for a second.
QString streamed(const QUrl &url, const QByteArray &audio)
{
    QWebSocket socket;
    QEventLoop loop;
    QString heard;
    QTimer quiet;
    quiet.setSingleShot(true);
    QObject::connect(&quiet, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
        for (const QJsonValue &token : QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("tokens")).toArray()) {
            const QJsonObject object = token.toObject();
            if (object.value(QStringLiteral("is_final")).toBool()
                && object.value(QStringLiteral("translation_status")).toString() != QStringLiteral("translation"))
                heard += object.value(QStringLiteral("text")).toString();
        }
        if (quiet.isActive())
            quiet.start(1000);
    });
    QObject::connect(&socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
    const QByteArray all = audio + QByteArray(1000 * bytesPerMs, '\0');
    qsizetype offset = 0;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, &loop, [&] {
        socket.sendBinaryMessage(all.mid(offset, chunkMs * bytesPerMs));
        offset += chunkMs * bytesPerMs;
        if (offset >= all.size()) {
            pace.stop();
            socket.sendTextMessage(QStringLiteral("{\"type\":\"finalize\"}"));
            quiet.start(1000);
        }
    });
    QObject::connect(&socket, &QWebSocket::connected, &pace, [&] { pace.start(chunkMs / 4); });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    socket.open(url);
    loop.exec();
    socket.close();
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();
    return heard;
}

QString batch(const QString &path)
{
    QProcess decoder;
    decoder.start(QStringLiteral("pocketsphinx_continuous"),
                  {QStringLiteral("-infile"), path, QStringLiteral("-logfn"), QStringLiteral("/dev/null")});
    if (!decoder.waitForFinished(60000))
        return {};
    return QString::fromUtf8(decoder.readAllStandardOutput()).simplified();
}

void wordErrorRate(ZarnoService &service, const QString &token)
{
    const QUrl url = transcribeUrl(service, token, QStringLiteral("en"));
    qsizetype referenceWords = 0;
    qsizetype streamErrors = 0;
    qsizetype batchErrors = 0;
    bool batchAvailable = !QStandardPaths::findExecutable(QStringLiteral("pocketsphinx_continuous")).isEmpty();
    for (const Recording &recording : recordings()) {
        const QStringList reference = words(recording.reference);
        const QStringList live = words(streamed(url, readPcm(recording.path)));
        const QStringList offline = batchAvailable ? words(batch(recording.path)) : QStringList();
        referenceWords += reference.size();
        streamErrors += editDistance(reference, live);
        batchErrors += editDistance(reference, offline);
        std::printf("  %-48s stream %2lld  batch %2lld errors of %2lld words  \"%s\"\n",
                    qPrintable(QFileInfo(recording.path).fileName()), qlonglong(editDistance(reference, live)),
                    qlonglong(editDistance(reference, offline)), qlonglong(reference.size()),
                    qPrintable(live.join(QLatin1Char(' '))));
    }
    if (referenceWords == 0) {
        std::printf("word error rate: pocketsphinx-testdata is not installed\n");
        return;
    }
    std::printf("word error rate, streaming (fresh connection each): %.1f %%\n",
                100.0 * double(streamErrors) / double(referenceWords));
    if (batchAvailable)
        std::printf("word error rate, batch (pocketsphinx_continuous):   %.1f %%\n",
                    100.0 * double(batchErrors) / double(referenceWords));
    else
        std::printf("word error rate, batch: pocketsphinx_continuous is not installed (scripts/setup)\n");
}

// A recording as the call's capture hands the microphone on: through the
// echo canceller, with or without noise suppression, after a fan's noise
// (-40 dBFS) or the others' echo (goforward.raw again and again, 12 dB down
// and 40 ms late) was added to it; or untouched.
QByteArray throughCanceller(const QByteArray &pcm, bool processed, bool noise, bool echo, bool suppress)
{
    if (!processed)
        return pcm;
    const QByteArray others = readPcm(testData + QStringLiteral("goforward.raw")) + QByteArray(16000, '\0');
    const auto *voice = reinterpret_cast<const int16_t *>(pcm.constData());
    const auto *far = reinterpret_cast<const int16_t *>(others.constData());
    const qsizetype samples = pcm.size() / 2 / EchoCanceller::frameSamples * EchoCanceller::frameSamples;
    const qsizetype loop = others.size() / 2;
    std::vector<int16_t> mic(static_cast<size_t>(samples));
    std::vector<int16_t> reference(static_cast<size_t>(samples), 0);
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0, 1);
    double hum = 0;
    for (qsizetype i = 0; i < samples; ++i) {
        hum = 0.95 * hum + 0.05 * gauss(random);
        double value = voice[i] + (noise ? hum * 32768 * 0.0625 : 0);
        if (echo) {
            reference[size_t(i)] = far[i % loop];
            value += i >= 640 ? far[(i - 640) % loop] / 4 : 0;
        }
        mic[size_t(i)] = int16_t(std::clamp(value, -32768.0, 32767.0));
    }
    EchoCanceller canceller(suppress);
    for (qsizetype at = 0; at < samples; at += EchoCanceller::frameSamples)
        canceller.process(reference.data() + at, mic.data() + at);
    return QByteArray(reinterpret_cast<const char *>(mic.data()), samples * 2);
}

// Whether noise suppression helps the recogniser: the librivox recordings'
// word errors through the service, each way.
void echoAndNoise(ZarnoService &service, const QString &token)
{
    const QUrl url = transcribeUrl(service, token, QStringLiteral("en"));
    struct Way
    {
        const char *name;
        bool processed, noise, echo, suppress;
    };
    const Way ways[] = {{"as recorded, untouched", false, false, false, false},
                        {"as recorded, canceller", true, false, false, false},
                        {"as recorded, canceller + noise suppression", true, false, false, true},
                        {"with a fan, canceller", true, true, false, false},
                        {"with a fan, canceller + noise suppression", true, true, false, true},
                        {"with the others' echo, canceller", true, false, true, false},
                        {"with the others' echo, canceller + noise suppression", true, false, true, true}};
    for (const Way &way : ways) {
        qsizetype errors = 0, total = 0;
        for (const Recording &recording : recordings()) {
            if (!recording.path.contains(QStringLiteral("/librivox/")))
                continue;
            const QStringList reference = words(recording.reference);
            const QByteArray audio =
                throughCanceller(readPcm(recording.path), way.processed, way.noise, way.echo, way.suppress);
            errors += editDistance(reference, words(streamed(url, audio)));
            total += reference.size();
        }
        if (total == 0) {
            std::printf("echo and noise: pocketsphinx-testdata is not installed\n");
            return;
        }
        std::printf("word error rate, %-52s %.1f %% (%lld of %lld words)\n", way.name,
                    100.0 * double(errors) / double(total), qlonglong(errors), qlonglong(total));
        std::fflush(stdout);
    }
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// From a final line at the client to its Spanish translation at the client,
// over several utterances of one connection.
void translationLatency(ZarnoService &service, const QString &token)
{
    const QByteArray utterance =
        readPcm(testData + QStringLiteral("goforward.raw")).left(speechEndsMs * bytesPerMs) + QByteArray(1200 * bytesPerMs, '\0');
    QByteArray audio;
    constexpr int utterances = 8;
    for (int i = 0; i < utterances; ++i)
        audio += utterance;
    QWebSocket socket;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QList<double> sourceAt;
    QList<double> latencies;
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
        const QJsonArray tokens = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("tokens")).toArray();
        if (tokens.isEmpty() || !tokens.first().toObject().value(QStringLiteral("is_final")).toBool())
            return;
        const double now = double(clock.nsecsElapsed()) / 1e6;
        if (tokens.first().toObject().value(QStringLiteral("translation_status")).toString() == QStringLiteral("translation")) {
            if (!sourceAt.isEmpty())
                latencies.append(now - sourceAt.takeFirst());
            if (latencies.size() == utterances)
                loop.quit();
        } else {
            sourceAt.append(now);
        }
    });
    qsizetype offset = 0;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, &loop, [&] {
        if (offset < audio.size())
            socket.sendBinaryMessage(audio.mid(offset, chunkMs * bytesPerMs));
        offset += chunkMs * bytesPerMs;
    });
    QObject::connect(&socket, &QWebSocket::connected, &pace, [&] { pace.start(chunkMs / 2); });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    socket.open(transcribeUrl(service, token, QStringLiteral("es")));
    loop.exec();
    socket.close();
    std::sort(latencies.begin(), latencies.end());
    if (latencies.isEmpty()) {
        std::printf("final line -> translation: no translation arrived\n");
        return;
    }
    std::printf("final line -> translation at the client: p50 %.1f ms (min %.1f, max %.1f, %lld utterances, "
                "first one included)\n",
                median(latencies), latencies.first(), latencies.last(), qlonglong(latencies.size()));

    // What one Apertium process per utterance cost, for comparison.
    QList<double> perProcess;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer once;
        once.start();
        QProcess apertium;
        apertium.start(QStringLiteral("apertium"), {QStringLiteral("-u"), QStringLiteral("eng-spa")});
        apertium.write("Go forward ten meters.\n");
        apertium.closeWriteChannel();
        apertium.waitForFinished(15000);
        perProcess.append(double(once.nsecsElapsed()) / 1e6);
    }
    std::printf("one apertium process per utterance (the former way): p50 %.0f ms\n", median(perProcess));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("zarno.server.info=false"));
    const bool echoOnly = QCoreApplication::arguments().contains(QStringLiteral("--echo"));
    if (!echoOnly)
        realTimeFactor();
    {
        QTemporaryDir dir;
        ServiceOptions options;
        options.dataDir = dir.path();
        options.port = 0;
        ZarnoService service(options);
        if (!service.start()) {
            std::printf("service: %s\n", qPrintable(service.errorText()));
            return 1;
        }
        QNetworkAccessManager network;
        const QString token = signIn(service, network);
        if (!echoOnly) {
            finalLatency(service, token);
            translationLatency(service, token);
            wordErrorRate(service, token);
        }
        echoAndNoise(service, token);
    }
    return 0;
}
