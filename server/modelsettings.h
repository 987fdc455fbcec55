#pragma once

#include <QString>
#include <QUrl>

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
