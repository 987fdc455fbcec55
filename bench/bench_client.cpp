// Streams ten thousand audio chunks through TranscriptionClient to a loopback
// WebSocket server, sending from a second thread as fast as send() returns,
// and prints how long send() takes and how long a chunk takes to arrive.
// A second, paced pass (one chunk every 2 ms) shows the arrival time when the
// server is not buried under the backlog of the first.
#include "transcriptionclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int chunkCount = 10'000;
constexpr int pacedCount = 1'000;
constexpr auto pacedInterval = std::chrono::milliseconds(2);
constexpr int chunkBytes = 2'730;

using Clock = std::chrono::steady_clock;

qint64 nanosSince(Clock::time_point start, Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t - start).count();
}

void printPercentiles(const char *what, std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    const auto at = [&values](double q) { return double(values[size_t(q * double(values.size() - 1))]) / 1000.0; };
    std::printf("%-26s p50 %10.1f us   p99 %10.1f us   max %10.1f us\n", what, at(0.5), at(0.99), at(1.0));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    QWebSocketServer server(QStringLiteral("bench"), QWebSocketServer::NonSecureMode);
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench_client: cannot listen on 127.0.0.1\n");
        return 1;
    }

    const Clock::time_point origin = Clock::now();
    std::vector<qint64> sentAt(chunkCount, 0);
    std::vector<qint64> sendTook(chunkCount, 0);
    std::vector<qint64> arrivedAt(chunkCount, -1);
    int arrived = 0;
    bool warm = false;

    QObject::connect(&server, &QWebSocketServer::newConnection, &server, [&] {
        QWebSocket *socket = server.nextPendingConnection();
        QObject::connect(socket, &QWebSocket::binaryMessageReceived, socket, [&](const QByteArray &frame) {
            const qint64 now = nanosSince(origin, Clock::now());
            const qint32 index = qFromLittleEndian<qint32>(frame.constData());
            if (index < 0) {
                warm = true;
                return;
            }
            if (index < chunkCount && arrivedAt[size_t(index)] < 0) {
                arrivedAt[size_t(index)] = now;
                ++arrived;
            }
        });
    });

    TranscriptionClient client;
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws/transcribe").arg(server.serverPort())));
    QByteArray warmUp(chunkBytes, 0);
    qToLittleEndian<qint32>(-1, warmUp.data());
    client.send(warmUp);
    QElapsedTimer deadline;
    deadline.start();
    while (!warm && deadline.elapsed() < 10'000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!warm) {
        std::fprintf(stderr, "bench_client: the connection did not open\n");
        return 1;
    }

    const auto run = [&](int count, std::chrono::microseconds pace, const char *title) -> bool {
        std::fill(arrivedAt.begin(), arrivedAt.end(), -1);
        arrived = 0;
        std::thread capture([&] {
            QByteArray chunk(chunkBytes, 0x11);
            Clock::time_point next = Clock::now();
            for (int i = 0; i < count; ++i) {
                if (pace.count() > 0) {
                    std::this_thread::sleep_until(next);
                    next += pace;
                }
                qToLittleEndian<qint32>(i, chunk.data());
                const Clock::time_point before = Clock::now();
                client.send(chunk);
                const Clock::time_point after = Clock::now();
                sentAt[size_t(i)] = nanosSince(origin, before);
                sendTook[size_t(i)] = nanosSince(before, after);
            }
        });
        deadline.restart();
        while (arrived < count && deadline.elapsed() < 60'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        capture.join();
        if (arrived < count) {
            std::fprintf(stderr, "bench_client: only %d of %d chunks arrived\n", arrived, count);
            return false;
        }
        std::vector<qint64> took(sendTook.begin(), sendTook.begin() + count);
        std::vector<qint64> latency(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            latency[size_t(i)] = arrivedAt[size_t(i)] - sentAt[size_t(i)];
        const double streamMs = double(arrivedAt[size_t(count - 1)] - sentAt.front()) / 1e6;
        std::printf("%s: %d chunks of %d bytes over %.1f ms\n", title, count, chunkBytes, streamMs);
        printPercentiles("  send() itself", took);
        printPercentiles("  send() to arrival", latency);
        return true;
    };

    if (!run(chunkCount, std::chrono::microseconds(0), "back to back from a second thread"))
        return 1;
    if (!run(pacedCount, pacedInterval, "paced, one every 2 ms"))
        return 1;
    client.close();
    return 0;
}
