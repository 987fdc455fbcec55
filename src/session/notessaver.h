#pragma once

#include "accesstokens.h"
#include "notesservice.h"
#include "notesupload.h"
#include "sessionjournal.h"
#include "transcriptline.h"

#include <QList>
#include <QObject>

#include <QCoroTask>

#include <chrono>
#include <optional>

// Saves a session's notes: the settings and the sign-in, the body, the
// upload, and the journal's removal once the service has them. It knows
// nothing of legs or phases: the controller says when to save, and what an
// outcome means on screen. Lives on the GUI thread.
class NotesSaver : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        enum class Kind {
            Saved,
            NoSignIn,   // no token, or a base address that does not parse
            BadAddress, // the notes address cannot be formed
            Failed,     // the transfer failed or the service said no
            Abandoned,  // the saver went away first
        };
        Kind kind = Kind::Failed;
        std::optional<QString> sessionId; // what the service named the notes
    };

    struct Parts
    {
        AccessTokenSource *auth = nullptr;
        NotesService *notes = nullptr;
        SessionJournal *journal = nullptr; // removed once the notes are saved
        std::chrono::milliseconds timeout{60000};
    };

    explicit NotesSaver(Parts parts, QObject *parent = nullptr);

    // `lines` are the lines worth saving, at least one. A recovered session
    // is saved with the languages it was taken in.
    [[nodiscard]] QCoro::Task<Outcome> save(QList<TranscriptLine> lines, NotesSession session,
                                            std::optional<JournalSession> recovered);

private:
    Parts m_parts;
};
