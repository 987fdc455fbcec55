#pragma once

#include "modelsettings.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QString>

#include <optional>

// The text of the model's message, or a sentence saying why there is none.
struct ChatAnswer
{
    std::optional<QString> content;
    QString reason;
    int status = 0; // the HTTP status, 0 when none came
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
