// The bare pipe bench_listening compares zarno with: reads raw 16 kHz mono
// s16 audio from standard input (parec) and sends it to the transcription
// WebSocket in chunks of zarno's size, discarding what comes back.
//
//   parec ... | ZARNO_BENCH_TOKEN=... bench_ws_sender ws://127.0.0.1:PORT/ws/transcribe
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QUrlQuery>
#include <QWebSocket>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr qsizetype chunkBytes = 2730; // about 85 ms, as zarno sends

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2 || qEnvironmentVariableIsEmpty("ZARNO_BENCH_TOKEN")) {
        std::fputs("usage: ZARNO_BENCH_TOKEN=... bench_ws_sender ws://127.0.0.1:PORT/ws/transcribe\n", stderr);
        return 2;
    }
    QUrl url(QString::fromLocal8Bit(argv[1]));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("a"), QStringLiteral("any"));
    query.addQueryItem(QStringLiteral("b"), QStringLiteral("en"));
    query.addQueryItem(QStringLiteral("token"), qEnvironmentVariable("ZARNO_BENCH_TOKEN"));
    url.setQuery(query);

    QWebSocket socket;
    QByteArray pending;
    bool open = false;
    auto flush = [&] {
        while (open && pending.size() >= chunkBytes) {
            socket.sendBinaryMessage(pending.first(chunkBytes));
            pending.remove(0, chunkBytes);
        }
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

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[16384];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            QCoreApplication::exit(got == 0 ? 0 : 1);
            return;
        }
        pending.append(buffer, got);
        // Until the socket is up, keep only the newest second.
        if (!open && pending.size() > 32000)
            pending.remove(0, pending.size() - 32000);
        flush();
    });
    return app.exec();
}
