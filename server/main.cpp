#include "modeloptions.h"
#include "pgstore.h"
#include "zarnoservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStandardPaths>

#include <cstdio>
#include <optional>

namespace {

void declareOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "The local zarno service: sign-in, notes, live transcription and the web application, on one port "
        "of 127.0.0.1.\n\n"
        "Engines behind the transcription socket:\n"
        "  local   PocketSphinx (US English) with Apertium translation into Spanish; offline, no key.\n"
        "  soniox  each app connection is relayed to Soniox's real-time API: 60+ spoken languages,\n"
        "          translation into every language the app offers. Needs an API key, read from\n"
        "          --soniox-key-file or the SONIOX_API_KEY environment variable (never from the\n"
        "          command line). Without a key every connection is refused with 4411.\n\n"
        "Limits: --max-listeners transcription connections at once, for either engine (4013 beyond them);\n"
        "a local listener more than 30 s of audio ahead of its recogniser is closed with 4013. Requests\n"
        "answer only for Host 127.0.0.1, localhost or [::1] with the port, plus --allow-host names (421\n"
        "otherwise); bodies up to 8 MiB (413), headers up to 16 KiB (431).\n\n"
        "Storage: SQLite in --data-dir, or with --database a PostgreSQL database that several instances may\n"
        "share; its password comes from --database-password-file or PGPASSWORD, never the command line.\n"
        "While the database cannot be reached, requests answer 503 and the service keeps trying.\n\n")
        + modelHelp());
    parser.addHelpOption();
    parser.addVersionOption();
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
    const QCommandLineOption engine(QStringLiteral("engine"), QStringLiteral("local (default) or soniox."),
                                    QStringLiteral("name"), QStringLiteral("local"));
    const QCommandLineOption sonioxKeyFile(QStringLiteral("soniox-key-file"),
                                           QStringLiteral("File holding the Soniox API key (chmod 600)."),
                                           QStringLiteral("file"));
    const SonioxSettings sonioxDefaults;
    const QCommandLineOption sonioxUrl(QStringLiteral("soniox-url"),
                                       QStringLiteral("Soniox real-time endpoint (default %1).")
                                           .arg(sonioxDefaults.url.toString()),
                                       QStringLiteral("url"), sonioxDefaults.url.toString());
    const QCommandLineOption sonioxModel(QStringLiteral("soniox-model"),
                                         QStringLiteral("Soniox real-time model (default %1).").arg(sonioxDefaults.model),
                                         QStringLiteral("model"), sonioxDefaults.model);
    const QCommandLineOption allowHost(QStringLiteral("allow-host"),
                                       QStringLiteral("Also answer requests whose Host is this name (besides 127.0.0.1, "
                                                      "localhost and [::1] with the port); repeatable."),
                                       QStringLiteral("name"));
    const QCommandLineOption maxListeners(QStringLiteral("max-listeners"),
                                          QStringLiteral("Transcription connections served at once, each with its "
                                                         "own recogniser of about 105 MB (default 3)."),
                                          QStringLiteral("count"), QStringLiteral("3"));
    const QCommandLineOption database(QStringLiteral("database"),
                                      QStringLiteral("Keep everything in PostgreSQL at postgresql://USER@HOST:PORT/DBNAME "
                                                     "instead of SQLite in --data-dir; several instances may share it."),
                                      QStringLiteral("url"));
    const QCommandLineOption databasePasswordFile(QStringLiteral("database-password-file"),
                                                  QStringLiteral("File holding the database password (chmod 600); "
                                                                 "else PGPASSWORD."),
                                                  QStringLiteral("file"));
    const QCommandLineOption publicUrl(QStringLiteral("public-url"),
                                       QStringLiteral("The address clients reach this service at, behind a reverse "
                                                      "proxy (https://HOST[:PORT]); handed to the app for sign-in renewals."),
                                       QStringLiteral("url"));
    parser.addOptions({port, publicUrl, dataDir, database, databasePasswordFile, tokenTtl, testControls, allowHost, maxListeners,
                       engine, sonioxKeyFile, sonioxUrl, sonioxModel});
    declareModelOptions(parser);
}

// The relayed engine's settings; false (with a sentence printed) when they are unusable.
bool readSonioxOptions(const QCommandLineParser &parser, ServiceOptions &options)
{
    const QUrl url(parser.value(QStringLiteral("soniox-url")), QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1StringView("wss") && url.scheme() != QLatin1StringView("ws"))) {
        std::fprintf(stderr, "zarno-server: --soniox-url needs a ws:// or wss:// address.\n");
        return false;
    }
    options.soniox.url = url;
    options.soniox.model = parser.value(QStringLiteral("soniox-model"));
    const SonioxKey key = loadSonioxKey(parser.value(QStringLiteral("soniox-key-file")), qgetenv("SONIOX_API_KEY"));
    if (!key.error.isEmpty()) {
        std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(key.error));
        return false;
    }
    if (!key.warning.isEmpty())
        std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(key.warning));
    if (key.key.isEmpty())
        std::fprintf(stderr, "zarno-server: no Soniox key (--soniox-key-file or SONIOX_API_KEY); "
                             "transcription connections will be refused.\n");
    options.soniox.key = key.key;
    return true;
}

// Where the data lives; false (with a sentence printed) when the password file is unusable.
bool readDatabaseOptions(const QCommandLineParser &parser, ServiceOptions &options)
{
    options.dataDir = parser.isSet(QStringLiteral("data-dir")) ? parser.value(QStringLiteral("data-dir"))
                                            : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    options.database = parser.value(QStringLiteral("database"));
    const QString passwordFile = parser.value(QStringLiteral("database-password-file"));
    if (options.database.isEmpty()) {
        if (!passwordFile.isEmpty())
            std::fprintf(stderr, "zarno-server: --database-password-file does nothing without --database.\n");
        return true;
    }
    QString error;
    if (!PgAddress::parse(options.database, &error)) {
        std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(error));
        return false;
    }
    const SonioxKey password = loadSonioxKey(passwordFile, qgetenv("PGPASSWORD"), QStringLiteral("password"));
    if (!password.error.isEmpty()) {
        std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(password.error));
        return false;
    }
    if (!password.warning.isEmpty())
        std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(password.warning));
    options.databasePassword = password.key;
    return true;
}

// The proxy's address as clients see it: a scheme and a host, nothing after.
std::optional<QString> readPublicUrl(const QString &text)
{
    if (text.isEmpty())
        return QString();
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()
        || (url.path() != QLatin1StringView("") && url.path() != QLatin1StringView("/"))
        || (url.scheme() != QLatin1StringView("https") && url.scheme() != QLatin1StringView("http")))
        return std::nullopt;
    return url.adjusted(QUrl::StripTrailingSlash).toString();
}

// The service's options from the command line; nothing (with a sentence
// printed) when one is unusable.
std::optional<ServiceOptions> readOptions(const QCommandLineParser &parser)
{
    ServiceOptions options;
    bool ok = false;
    const uint portValue = parser.value(QStringLiteral("port")).toUInt(&ok);
    if (!ok || portValue > 65535) {
        std::fprintf(stderr, "zarno-server: --port needs a number from 0 to 65535.\n");
        return std::nullopt;
    }
    options.port = quint16(portValue);
    const std::optional<QString> publicUrl = readPublicUrl(parser.value(QStringLiteral("public-url")));
    if (!publicUrl) {
        std::fprintf(stderr, "zarno-server: --public-url needs an address like https://notes.example.org, "
                             "without a path.\n");
        return std::nullopt;
    }
    options.publicUrl = *publicUrl;
    options.tokenTtlSeconds = parser.value(QStringLiteral("token-ttl")).toLongLong(&ok);
    if (!ok || options.tokenTtlSeconds < 0) {
        std::fprintf(stderr, "zarno-server: --token-ttl needs a number of seconds.\n");
        return std::nullopt;
    }
    if (!readDatabaseOptions(parser, options))
        return std::nullopt;
    options.testControls = parser.isSet(QStringLiteral("test-controls"));
    options.limits.extraHosts = parser.values(QStringLiteral("allow-host"));
    options.maxRecognizers = parser.value(QStringLiteral("max-listeners")).toInt(&ok);
    if (!ok || options.maxRecognizers < 1) {
        std::fprintf(stderr, "zarno-server: --max-listeners needs a number from 1.\n");
        return std::nullopt;
    }
    options.engine = parser.value(QStringLiteral("engine"));
    if (options.engine != QLatin1StringView("local") && options.engine != QLatin1StringView("soniox")) {
        std::fprintf(stderr, "zarno-server: --engine is local or soniox.\n");
        return std::nullopt;
    }
    if (options.engine == QLatin1StringView("soniox") && !readSonioxOptions(parser, options))
        return std::nullopt;
    if (!readModelOptions(parser, options.summaries))
        return std::nullopt;
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zarno-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARNO_VERSION));

    QCommandLineParser parser;
    declareOptions(parser);
    parser.process(app);
    const std::optional<ServiceOptions> options = readOptions(parser);
    if (!options)
        return 2;

    ZarnoService service(*options);
    if (!service.start()) {
        std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(service.errorText()));
        return 1;
    }
    std::printf("zarno-server listening on %s\n", qUtf8Printable(service.baseUrl()));
    std::fflush(stdout);
    return app.exec();
}
