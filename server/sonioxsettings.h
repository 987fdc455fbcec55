#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

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

// The provider's key, from a file or the environment; never from the command
// line, where every user of the machine could read it.
struct SonioxKey
{
    QString key;     // empty when none was found
    QString error;   // a sentence when the file could not be used
    QString warning; // a sentence when the file is readable by others
};
// `what` names the secret in the sentences: the database's password file is read the same way.
[[nodiscard]] SonioxKey loadSonioxKey(const QString &keyFile, const QByteArray &environmentValue,
                                      const QString &what = QStringLiteral("key"));
