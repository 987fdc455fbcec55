#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

// Which recogniser serves "/ws/transcribe", and what it can do. Clients read
// the description from "/api/auth/config" to offer only what works.
struct EngineInfo
{
    QString name;
    QStringList sourceLanguages;    // spoken languages it recognises
    QStringList translationTargets; // languages it translates into

    [[nodiscard]] QJsonObject toJson() const;

    // PocketSphinx (US English) and Apertium (English to Spanish), offline.
    [[nodiscard]] static EngineInfo local();
    // The provider's real-time API: every language of its model, and every
    // target the application offers.
    [[nodiscard]] static EngineInfo soniox();
};

// The provider's real-time endpoint and how this service talks to it.
struct SonioxSettings
{
    QUrl url = QUrl(QStringLiteral("wss://stt-rt.soniox.com/transcribe-websocket"));
    QString model = QStringLiteral("stt-rt-v6");
    QString key;                  // empty: every connection is closed with 4411
    int keepaliveMs = 10000;      // the provider drops a connection silent for 20 s
    int connectTimeoutMs = 10000; // an unreachable provider is reported after this
    int drainMs = 5000;           // how long an ended stream may take to finish upstream
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

// The provider's key, from a file or the environment; never from the command
// line, where every user of the machine could read it.
struct SonioxKey
{
    QString key;     // empty when none was found
    QString error;   // a sentence when the file could not be used
    QString warning; // a sentence when the file is readable by others
};
[[nodiscard]] SonioxKey loadSonioxKey(const QString &keyFile, const QByteArray &environmentValue);
