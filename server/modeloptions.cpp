#include "modeloptions.h"

#include "sonioxsettings.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {

constexpr int leastContext = 1024;

void complain(const QString &sentence)
{
    std::fprintf(stderr, "zarno-server: %s\n", qUtf8Printable(sentence));
}

bool isLoopback(const QString &host)
{
    return host == QLatin1StringView("127.0.0.1") || host == QLatin1StringView("localhost")
        || host == QLatin1StringView("::1");
}

} // namespace

QString modelHelp()
{
    const ModelSettings defaults;
    return QStringLiteral(
               "Summaries: after a note is saved, its summary, decisions and to-dos are asked of a language model\n"
               "through the OpenAI-compatible chat-completions API (Ollama, llama.cpp's server, vLLM, hosted\n"
               "providers). --llm-url is the API's base address (Ollama: http://127.0.0.1:11434/v1), --llm-model\n"
               "the model's name. A key, when the server wants one, is read from --llm-key-file or the\n"
               "ZARNO_LLM_API_KEY environment variable (never from the command line) and sent as a bearer token.\n"
               "Meetings longer than --llm-context tokens (default %1) are summarised in parts and merged;\n"
               "each request may take --llm-timeout seconds (default %2). Without --llm-url summaries are off.")
        .arg(defaults.contextTokens)
        .arg(defaults.timeoutMs / 1000);
}

void declareModelOptions(QCommandLineParser &parser)
{
    const ModelSettings defaults;
    parser.addOptions({
        {QStringLiteral("llm-url"),
         QStringLiteral("Base address of an OpenAI-compatible API for summaries (e.g. http://127.0.0.1:11434/v1)."),
         QStringLiteral("url")},
        {QStringLiteral("llm-model"), QStringLiteral("Model that writes the summaries (e.g. llama3.1:8b)."),
         QStringLiteral("name")},
        {QStringLiteral("llm-key-file"),
         QStringLiteral("File holding the model server's API key (chmod 600); else ZARNO_LLM_API_KEY."),
         QStringLiteral("file")},
        {QStringLiteral("llm-context"),
         QStringLiteral("The model's context size in tokens (default %1; at least %2).")
             .arg(defaults.contextTokens)
             .arg(leastContext),
         QStringLiteral("tokens"), QString::number(defaults.contextTokens)},
        {QStringLiteral("llm-timeout"),
         QStringLiteral("Seconds one request to the model may take (default %1).").arg(defaults.timeoutMs / 1000),
         QStringLiteral("seconds"), QString::number(defaults.timeoutMs / 1000)},
    });
}

bool readModelOptions(const QCommandLineParser &parser, ModelSettings &settings)
{
    if (!parser.isSet(QStringLiteral("llm-url"))) {
        if (parser.isSet(QStringLiteral("llm-model")) || parser.isSet(QStringLiteral("llm-key-file")))
            complain(QStringLiteral("--llm-model and --llm-key-file do nothing without --llm-url; summaries are off."));
        return true;
    }
    const QUrl url(parser.value(QStringLiteral("llm-url")), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1StringView("http") && url.scheme() != QLatin1StringView("https"))) {
        complain(QStringLiteral("--llm-url needs an http:// or https:// address such as http://127.0.0.1:11434/v1."));
        return false;
    }
    settings.model = parser.value(QStringLiteral("llm-model")).trimmed();
    if (settings.model.isEmpty()) {
        complain(QStringLiteral("--llm-url needs --llm-model, the name of the model to ask."));
        return false;
    }
    bool ok = false;
    settings.contextTokens = parser.value(QStringLiteral("llm-context")).toInt(&ok);
    if (!ok || settings.contextTokens < leastContext) {
        complain(QStringLiteral("--llm-context needs a number of tokens from %1.").arg(leastContext));
        return false;
    }
    const int seconds = parser.value(QStringLiteral("llm-timeout")).toInt(&ok);
    if (!ok || seconds < 1 || seconds > 24 * 3600) {
        complain(QStringLiteral("--llm-timeout needs a number of seconds from 1."));
        return false;
    }
    settings.timeoutMs = seconds * 1000;
    const SonioxKey key = loadSonioxKey(parser.value(QStringLiteral("llm-key-file")), qgetenv("ZARNO_LLM_API_KEY"));
    if (!key.error.isEmpty()) {
        complain(key.error);
        return false;
    }
    if (!key.warning.isEmpty())
        complain(key.warning);
    if (!key.key.isEmpty() && url.scheme() == QLatin1StringView("http") && !isLoopback(url.host()))
        complain(QStringLiteral("the model key goes to %1 unencrypted; prefer an https:// address.").arg(url.host()));
    settings.key = key.key;
    settings.baseUrl = url;
    return true;
}
