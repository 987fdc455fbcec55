// The bare pipe bench_listening compares zarno with: reads raw 16 kHz mono
// s16 audio from standard input (parec) and sends it to the transcription
// WebSocket in chunks of zarno's size, discarding what comes back. Given a
// second input (a FIFO another parec writes to), it adds the two, sample by
// sample, as a bare mixer of both sides of a call.
//
//   parec ... | ZARNO_BENCH_TOKEN=... bench_ws_sender ws://127.0.0.1:PORT/ws/transcribe [FIFO]
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr qsizetype chunkBytes = 2730; // about 85 ms, as zarno sends

// Adds `other` into `into`, saturating.
void mixInto(QByteArray &into, const QByteArray &other)
{
    const qsizetype samples = std::min(into.size(), other.size()) / 2;
    for (qsizetype i = 0; i < samples; ++i) {
        qint16 a, b;
        std::memcpy(&a, into.constData() + 2 * i, 2);
        std::memcpy(&b, other.constData() + 2 * i, 2);
        const auto sum = qint16(std::clamp(int(a) + int(b), -32768, 32767));
        std::memcpy(into.data() + 2 * i, &sum, 2);
    }
}

// Reads what has arrived on `fd` into `pending`; false at its end.
bool readInto(int fd, QByteArray &pending)
{
    char buffer[16384];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0)
        pending.append(buffer, got);
    return got > 0 || (got < 0 && errno == EAGAIN);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2 || argc > 3 || qEnvironmentVariableIsEmpty("ZARNO_BENCH_TOKEN")) {
        std::fputs("usage: ZARNO_BENCH_TOKEN=... bench_ws_sender ws://127.0.0.1:PORT/ws/transcribe [FIFO]\n", stderr);
        return 2;
    }
    QUrl url(QString::fromLocal8Bit(argv[1]));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("a"), QStringLiteral("any"));
    query.addQueryItem(QStringLiteral("b"), QStringLiteral("en"));
    query.addQueryItem(QStringLiteral("token"), qEnvironmentVariable("ZARNO_BENCH_TOKEN"));
    url.setQuery(query);

    QWebSocket socket;
    QByteArray pending, second;
    bool open = false;
    // Opened for writing too, so that it never reads as ended while its
    // writer is not there yet (or between writers): no busy loop.
    const int secondFd = argc == 3 ? ::open(argv[2], O_RDWR | O_NONBLOCK) : -1;
    if (argc == 3 && secondFd < 0) {
        std::perror("bench_ws_sender: the second input");
        return 1;
    }
    auto flush = [&] {
        while (open && pending.size() >= chunkBytes) {
            QByteArray chunk = pending.first(chunkBytes);
            pending.remove(0, chunkBytes);
            if (secondFd >= 0) {
                mixInto(chunk, second);
                second.remove(0, std::min(second.size(), chunkBytes));
            }
            socket.sendBinaryMessage(chunk);
        }
        // The second side never runs more than a second ahead.
        if (second.size() > 32000)
            second.remove(0, second.size() - 32000);
    };
    QObject::connect(&socket, &QWebSocket::connected, &app, [&] {
        open = true;
        flush();
    });
    QObject::connect(&socket, &QWebSocket::disconnected, &app, [&] {
        std::fprintf(stderr, "bench_ws_sender: disconnected (%d)\n", int(socket.closeCode()));
        QCoreApplication::exit(1);
    });
    socket.open(url);

    std::unique_ptr<QSocketNotifier> secondInput;
    if (secondFd >= 0) {
        secondInput = std::make_unique<QSocketNotifier>(secondFd, QSocketNotifier::Read);
        QObject::connect(secondInput.get(), &QSocketNotifier::activated, &app, [&] { (void)readInto(secondFd, second); });
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        if (!readInto(STDIN_FILENO, pending)) {
            QCoreApplication::exit(0);
            return;
        }
        // Until the socket is up, keep only the newest second.
        if (!open && pending.size() > 32000)
            pending.remove(0, pending.size() - 32000);
        flush();
    });
    return app.exec();
}
