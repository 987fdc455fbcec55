#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QWebSocket;
struct ServiceOptions;

// Which recogniser serves "/ws/transcribe", and what it can do. Clients read
// the description from "/api/auth/config" to offer only what works.
struct EngineInfo
{
    QString name;
    QStringList sourceLanguages;    // spoken languages it recognises
    QStringList translationTargets; // languages it translates into

    [[nodiscard]] QJsonObject toJson() const;
};

// One listening client of "/ws/transcribe", whatever serves it. The owner
// keeps it as the account's one listener until finished().
class ListeningConnection : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // "Try again later". Not 1013: Qt's WebSocket takes every code from 1012
    // to 2999 for a protocol error and drops its reason, so the app would show
    // "Invalid close code…". A code of the private range reaches it whole, and
    // the app shows the reason as it is.
    static constexpr int overloadedCode = 4013;
    [[nodiscard]] static QString overloadedReason();
    // The client was cut off for sending faster than it can be served.
    [[nodiscard]] bool wasOverloaded() const { return m_overloaded; }

Q_SIGNALS:
    // The client has gone; the owner deletes this connection.
    void finished();

protected:
    bool m_overloaded = false;
};

// A close answered instead of serving a client.
struct Refusal
{
    int code = 0;
    QString reason;
};

// What one client asked for in the address of "/ws/transcribe", and who it is.
struct ListeningRequest
{
    qint64 accountId = 0;
    QString spoken;  // "a": a language code, or "any"
    QString target;  // "b": the language to translate into
    bool onlyTranscript = false;
};

// What serves "/ws/transcribe": the local recogniser or the relayed provider.
class Engine
{
public:
    virtual ~Engine() = default;

    [[nodiscard]] virtual EngineInfo info() const = 0;
    // Why no client can be served now; asked after the account's own rules.
    [[nodiscard]] virtual std::optional<Refusal> refusal() const { return std::nullopt; }
    // Serves the client; the connection is a child of `parent`, which keeps
    // it (and whatever it leaves behind) until it has finished.
    virtual ListeningConnection *open(std::unique_ptr<QWebSocket> socket, const ListeningRequest &request,
                                      QObject *parent) = 0;
};

// The engine that options.engine names ("local" or "soniox").
[[nodiscard]] std::unique_ptr<Engine> makeEngine(const ServiceOptions &options);
