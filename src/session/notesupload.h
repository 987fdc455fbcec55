#pragma once

#include "settings.h"
#include "transcriptline.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// The session a set of notes belongs to.
struct NotesSession
{
    std::optional<QDateTime> startedAt;
    std::optional<QString> sourceClientId;
};

// The lines worth saving: those with more than spaces and tabs.
[[nodiscard]] QList<TranscriptLine> savedLines(const QList<TranscriptLine> &lines);

// The body of a notes upload. `lines` are the saved lines, at least one.
[[nodiscard]] QJsonObject notesBody(const QList<TranscriptLine> &lines, const NotesSession &session,
                                    const ZarnoSettings &settings);

// How an upload ended. `sessionId` is what the service named the saved notes.
struct UploadOutcome
{
    enum class Kind { Saved, Failed, Abandoned };
    Kind kind = Kind::Failed;
    std::optional<QString> sessionId;
};

// Posts the notes with the access token. Abandoned when the manager goes away
// first (it owns the reply).
[[nodiscard]] QCoro::Task<UploadOutcome> uploadNotes(QNetworkAccessManager *network, QUrl url, QString token,
                                                     QByteArray body, std::chrono::milliseconds timeout);
