#pragma once

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// The real zarno-server binary on 127.0.0.1 with a free port and a private
// data folder, with one account signed in. Used where the real recogniser
// matters: when its final words come after a finalize.
class LocalZarnoServer
{
public:
    // `arguments` come after the port and the data folder (a shared database, say).
    explicit LocalZarnoServer(const QString &binary, const QStringList &arguments = {});
    ~LocalZarnoServer();

    // Starts the service and signs in; false when either fails.
    [[nodiscard]] bool start();
    [[nodiscard]] QString baseURL() const { return m_base; }
    [[nodiscard]] QString accessToken() const { return m_token; }
    [[nodiscard]] QString refreshToken() const { return m_refresh; }
    // Ends the service at once, as a crash or `kill -9` would.
    void killNow();
    // The saved notes with that id, as the service answers them.
    [[nodiscard]] QJsonObject notes(const QString &id);

private:
    QByteArray request(const QString &path, const QByteArray &body, const QByteArray &key = {});

    QString m_binary;
    QStringList m_arguments;
    QTemporaryDir m_data;
    QProcess m_process;
    QNetworkAccessManager m_network;
    QString m_base;
    QString m_token;
    QString m_refresh;
};
