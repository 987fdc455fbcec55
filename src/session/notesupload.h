#pragma once

#include "settings.h"
#include "transcriptline.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

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
