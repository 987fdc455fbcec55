#pragma once

// A WebSocket client that records what the service sends and how it closes.

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QWebSocket>

struct ReceivedMessage
{
    QJsonObject json;
    qint64 atMs = 0;         // since the probe opened
    qint64 audioSentMs = 0;  // audio the client had sent by then, in ms of sound
};

class SocketProbe : public QObject
{
public:
    explicit SocketProbe(const QUrl &url)
    {
        connect(&socket, &QWebSocket::connected, this, [this] { connected = true; });
        connect(&socket, &QWebSocket::disconnected, this, [this] {
            disconnected = true;
            closeCode = int(socket.closeCode());
            closeReason = socket.closeReason();
        });
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            QJsonObject json = QJsonDocument::fromJson(text.toUtf8()).object();
            // The answer to a finalize is counted apart: it is no text.
            QJsonArray spoken;
            const QJsonArray tokens = json.value(QStringLiteral("tokens")).toArray();
            for (const QJsonValue &token : tokens) {
                if (token.toObject().value(QStringLiteral("text")).toString() == QStringLiteral("<fin>"))
                    finAfterMessages.append(messages.size());
                else
                    spoken.append(token);
            }
            if (spoken.size() != tokens.size()) {
                if (spoken.isEmpty() && !json.contains(QStringLiteral("finished")))
                    return;
                json.insert(QStringLiteral("tokens"), spoken);
            }
            messages.append({json, clock.elapsed(), audioSentMs});
        });
        clock.start();
        socket.open(url);
    }

    // Tokens of every message so far, in order.
    QList<QJsonObject> tokens() const
    {
        QList<QJsonObject> all;
        for (const ReceivedMessage &message : messages) {
            for (const QJsonValue &token : message.json.value(QStringLiteral("tokens")).toArray())
                all.append(token.toObject());
        }
        return all;
    }

    QList<QJsonObject> finalTokens(bool translation) const
    {
        QList<QJsonObject> selected;
        for (const QJsonObject &token : tokens()) {
            const bool isTranslation = token.value(QStringLiteral("translation_status")).toString() == QStringLiteral("translation");
            if (token.value(QStringLiteral("is_final")).toBool() && isTranslation == translation)
                selected.append(token);
        }
        return selected;
    }

    static QString textOf(const QList<QJsonObject> &tokens)
    {
        QString text;
        for (const QJsonObject &token : tokens)
            text += token.value(QStringLiteral("text")).toString();
        return text;
    }

    QWebSocket socket;
    QElapsedTimer clock;
    QList<ReceivedMessage> messages;
    // For each "<fin>" received, how many messages had come before it.
    QList<qsizetype> finAfterMessages;
    qint64 audioSentMs = 0;
    bool connected = false;
    bool disconnected = false;
    int closeCode = -1;
    QString closeReason;
};
