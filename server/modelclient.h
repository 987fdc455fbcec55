#pragma once

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

#include <optional>

// Where summaries come from: any server that speaks the OpenAI-compatible
// chat-completions API (Ollama, llama.cpp's server, vLLM, hosted providers).
struct ModelSettings
{
    QUrl baseUrl;  // ".../v1"; empty: summaries are off
    QString model;
    QString key;   // sent as a bearer token; local servers need none; never logged
    int timeoutMs = 120000;    // one request to the model, start to end
    int contextTokens = 8192;  // the model's context window, prompt and answer together

    [[nodiscard]] bool enabled() const { return !baseUrl.isEmpty(); }
};

// The text of the model's message, or a sentence saying why there is none.
struct ChatAnswer
{
    std::optional<QString> content;
    QString reason;
};

// Sends one conversation to "BASE/chat/completions" and waits for the whole
// answer. Every failure (unreachable, too slow, refused, broken) becomes a
// one-sentence reason fit to show the user.
class ModelClient
{
public:
    explicit ModelClient(ModelSettings settings);

    [[nodiscard]] const ModelSettings &settings() const { return m_settings; }
    [[nodiscard]] QCoro::Task<ChatAnswer> complete(QJsonArray messages, QJsonObject responseFormat);

private:
    ModelSettings m_settings;
    QNetworkAccessManager m_network;
};
