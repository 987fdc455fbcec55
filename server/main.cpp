#include "zarnoservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStandardPaths>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zarno-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The local zarno service: sign-in, notes, speech recognition (US English) with translation "
        "into Spanish, and the web application, on one port of 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1 (default 8790; 0 picks one)."),
                                  QStringLiteral("port"), QStringLiteral("8790"));
    const QCommandLineOption dataDir(QStringLiteral("data-dir"),
                                     QStringLiteral("Directory for accounts and notes (default: %1).")
                                         .arg(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)),
                                     QStringLiteral("dir"));
    const QCommandLineOption tokenTtl(QStringLiteral("token-ttl"),
                                      QStringLiteral("Lifetime of access tokens in seconds (default 3600)."),
                                      QStringLiteral("seconds"), QStringLiteral("3600"));
    const QCommandLineOption testControls(QStringLiteral("test-controls"),
                                          QStringLiteral("Enable POST /__test/fail-sessions {\"fail\":true|false}, "
                                                         "which makes note uploads answer 500."));
    const QCommandLineOption allowHost(QStringLiteral("allow-host"),
                                       QStringLiteral("Also answer requests whose Host is this name (besides 127.0.0.1, "
                                                      "localhost and [::1] with the port); repeatable."),
                                       QStringLiteral("name"));
    const QCommandLineOption maxListeners(QStringLiteral("max-listeners"),
                                          QStringLiteral("Transcription connections served at once, each with its "
                                                         "own recogniser of about 105 MB (default 3)."),
                                          QStringLiteral("count"), QStringLiteral("3"));
    parser.addOptions({port, dataDir, tokenTtl, testControls, allowHost, maxListeners});
    parser.process(app);

    ServiceOptions options;
    bool ok = false;
    const uint portValue = parser.value(port).toUInt(&ok);
    if (!ok || portValue > 65535) {
        std::fprintf(stderr, "zarno-server: --port needs a number from 0 to 65535.\n");
        return 2;
    }
    options.port = quint16(portValue);
    options.tokenTtlSeconds = parser.value(tokenTtl).toLongLong(&ok);
    if (!ok || options.tokenTtlSeconds < 0) {
        std::fprintf(stderr, "zarno-server: --token-ttl needs a number of seconds.\n");
        return 2;
    }
    options.dataDir = parser.isSet(dataDir) ? parser.value(dataDir)
                                            : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    options.testControls = parser.isSet(testControls);
    options.limits.extraHosts = parser.values(allowHost);
    options.maxRecognizers = parser.value(maxListeners).toInt(&ok);
    if (!ok || options.maxRecognizers < 1) {
        std::fprintf(stderr, "zarno-server: --max-listeners needs a number from 1.\n");
        return 2;
    }

    ZarnoService service(options);
    if (!service.start()) {
        std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(service.errorText()));
        return 1;
    }
    std::printf("zarno-server listening on %s\n", qUtf8Printable(service.baseUrl()));
    std::fflush(stdout);
    return app.exec();
}
