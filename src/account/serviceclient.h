#pragma once

#include "notesservice.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

#include <QCoroTask>

#include <chrono>

class QNetworkAccessManager;
class QNetworkRequest;

// One answer of the service.
struct ServiceAnswer
{
    bool reached = false; // an HTTP answer came, whatever its status
    bool ok = false;      // and it was a success
    int status = 0;
    QByteArray body;
};

// The application's one client of the zarno service: its configuration,
// the sign-in's renewal and the notes. Views and the session ask it; none of
// them speaks HTTP itself. Lives on the GUI thread.
class ServiceClient : public QObject, public NotesService
{
    Q_OBJECT

public:
    explicit ServiceClient(QObject *parent = nullptr);

    // "/api/auth/config" of the configured server: where the token service
    // is, its public key, and what the engines offer. Not reached when the
    // configured address is unusable.
    [[nodiscard]] QCoro::Task<ServiceAnswer> configuration(std::chrono::milliseconds timeout);
    // The refresh-token grant at the token service the configuration named.
    [[nodiscard]] QCoro::Task<ServiceAnswer> tokenGrant(QUrl tokenURL, QByteArray anonKey, QByteArray body,
                                                        std::chrono::milliseconds timeout);
    [[nodiscard]] QCoro::Task<UploadOutcome> uploadNotes(QUrl url, QString token, QByteArray body,
                                                         std::chrono::milliseconds timeout) override;

private:
    // Sends and awaits one request; the answer is empty when the client goes
    // away first or the time runs out.
    [[nodiscard]] QCoro::Task<ServiceAnswer> send(QNetworkRequest request, QByteArray body,
                                                  std::chrono::milliseconds timeout);

    QNetworkAccessManager *m_network = nullptr;
};
