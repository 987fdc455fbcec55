#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <optional>

// How an upload ended. `sessionId` is what the service named the saved notes.
struct UploadOutcome
{
    enum class Kind { Saved, Failed, Abandoned };
    Kind kind = Kind::Failed;
    std::optional<QString> sessionId;
};

// What the core needs of the zarno service: keeping a session's notes. The
// app's service client is the real one.
class NotesService
{
public:
    virtual ~NotesService() = default;
    // Posts the notes with the access token. Saved only on status 200;
    // Abandoned when the client goes away first.
    [[nodiscard]] virtual QCoro::Task<UploadOutcome> uploadNotes(QUrl url, QString token, QByteArray body,
                                                                 std::chrono::milliseconds timeout) = 0;
};
