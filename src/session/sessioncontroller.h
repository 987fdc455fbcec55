#pragma once

#include "accesstokens.h"
#include "legrunner.h"
#include "microphone.h"
#include "notesservice.h"
#include "notessaver.h"
#include "sessionjournal.h"
#include "sessionhooks.h"
#include "transcript.h"
#include "transcriptionlink.h"
#include "transcriptline.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

// The waits and limits of a session; tests shorten them.
struct SessionTiming
{
    std::chrono::milliseconds harvestWait{300};  // lets a sign-in copied from the page land
    // A leg that was paused or stopped ends when the server has answered its
    // finalize; this only bounds the wait for a server that never does.
    std::chrono::milliseconds finalizeLimit{2000};
    std::chrono::milliseconds tick{1000};        // elapsed-time refresh
    std::chrono::milliseconds micTimeout{4000};  // a microphone that never answers
    std::chrono::milliseconds hideAfterSave{8000};
    std::chrono::milliseconds requestTimeout{60000};
};

// What a session works with. The controller owns the client, the microphone,
// its permission and the detector; the rest are shared and outlive it. Any
// of them may be missing (previews, tests of one concern).
struct SessionParts
{
    std::unique_ptr<TranscriptionLink> client;
    std::unique_ptr<Microphone> mic;
    std::unique_ptr<MicPermission> permission;
    std::unique_ptr<MeetingWatch> detector;
    std::unique_ptr<SessionJournal> journal;
    AccessTokenSource *auth = nullptr;
    NotesService *notes = nullptr;
    LivePanelHook *panel = nullptr;
    MeetingPromptHook *prompt = nullptr;
    SignInHarvestHook *harvest = nullptr;
    MainWindowHook *window = nullptr;
    SessionTiming timing;
};

// The controller of a note-taking session and the one source of truth the
// views observe. Lives on the GUI thread.
class SessionController : public QObject
{
    Q_OBJECT

public:
    // The life of a session, and the one state the views read. Starting sets
    // a leg up (token, permission, microphone); Closing waits for a leg's
    // final words after a pause or stop; Paused keeps a transcript that can
    // be resumed or saved; Uploading saves it.
    enum class Phase { Idle, Starting, Listening, Closing, Paused, Uploading };
    Q_ENUM(Phase)

    // What one publication changed: the phase, the elapsed time, the
    // sentence (lastError) or the save (saveState and savedSessionId).
    enum class Change { Phase = 0x1, Elapsed = 0x2, Sentence = 0x4, Save = 0x8 };
    Q_DECLARE_FLAGS(Changes, Change)

    // A leg closing after a pause or stop reads as paused.
    [[nodiscard]] static bool readsPaused(Phase phase) { return phase == Phase::Closing || phase == Phase::Paused; }
    // A session is open: quitting now would lose its words.
    [[nodiscard]] static bool isOpen(Phase phase)
    {
        return phase != Phase::Idle && phase != Phase::Uploading;
    }

    static inline const QString watchingStatus = QStringLiteral("Watching for meetings");

    // The leg's own sentences.
    static inline const QString &notSignedInText = LegRunner::notSignedInText;
    static inline const QString &badServerURLText = LegRunner::badServerURLText;
    static inline const QString &micPermissionText = LegRunner::micPermissionText;
    static inline const QString &micFailedPrefix = LegRunner::micFailedPrefix;
    static inline const QString nothingToSaveText = QStringLiteral("Nothing to save — no words were heard.");
    static inline const QString micStoppedText =
        QStringLiteral("The microphone stopped — check the sound settings, then Resume.");
    static inline const QString saveSignInText = QStringLiteral("Couldn't save — sign in again in the zarno window.");
    static inline const QString saveFailedText =
        QStringLiteral("Saving failed — the transcript is still here; try Save again.");
    static inline const QString recoveredText =
        QStringLiteral("Recovered an interrupted session — Save notes to keep it.");
    static inline const QString journalUnreadablePrefix =
        QStringLiteral("An interrupted session's journal could not be read; it was set aside as ");
    static inline const QString journalStuckPrefix =
        QStringLiteral("An interrupted session's journal could not be read nor set aside; it stays at ");
    static inline const QString journalFailedText = QStringLiteral(
        "zarno can't keep a copy of this session on disk (is the disk full?) — it goes on, but a crash would lose it.");

    explicit SessionController(QObject *parent = nullptr);
    explicit SessionController(SessionParts parts, QObject *parent = nullptr);
    ~SessionController() override;

    [[nodiscard]] Phase phase() const { return m_phase; }
    [[nodiscard]] Transcript *transcript() { return &m_transcript; }
    [[nodiscard]] const Transcript *transcript() const { return &m_transcript; }
    [[nodiscard]] std::optional<QString> lastError() const { return m_lastError; }
    // Sentences in lastError that inform rather than report a failure (they
    // are shown in the secondary colour: red is for failures).
    [[nodiscard]] static bool isNotice(const QString &sentence)
    {
        return sentence == nothingToSaveText || sentence == recoveredText;
    }
    [[nodiscard]] QString lastErrorText() const { return m_lastError.value_or(QString()); }
    // Where the notes stand; a save in progress is the Uploading phase.
    [[nodiscard]] QString elapsed() const { return m_elapsed; }
    [[nodiscard]] SaveState saveState() const { return m_saveState; }
    [[nodiscard]] std::optional<QString> savedSessionId() const { return m_savedSessionId; }
    [[nodiscard]] QString savedSessionIdText() const { return m_savedSessionId.value_or(QString()); }

    [[nodiscard]] std::optional<QDateTime> sessionStartedAt() const { return m_sessionStartedAt; }
    [[nodiscard]] std::optional<QString> sourceClientId() const { return m_sourceClientId; }
    [[nodiscard]] qint64 accumulatedSeconds() const { return m_accumulatedSeconds; }
    [[nodiscard]] MeetingWatch *detector() const { return m_parts.detector.get(); }

    // What the views call. Each returns at once; the slow work runs in a
    // coroutine on the GUI thread.
    void startListening();
    void pauseListening();
    void resumeListening();
    void stopAndSave();
    void openSavedNotes();
    // At launch: brings back, paused, a session an interrupted zarno left.
    void recoverInterruptedSession();

    // "m:ss" with minutes not wrapped into hours: 754 s is "12:34".
    [[nodiscard]] static QString elapsedText(qint64 seconds);
    // "mac_" + seconds since 1970 + "_" + five upper-case hexadecimal digits.
    [[nodiscard]] static QString makeSourceClientId(const QDateTime &now);

    // Sample values for the preview renderer, which shows a session that is
    // not running. Never used while a session runs.
    struct Preview
    {
        Phase phase = Phase::Idle;
        QList<TranscriptLine> lines;
        QString partial;
        std::optional<QString> lastError;
        QString elapsed = QStringLiteral("0:00");
        SaveState saveState;
        std::optional<QString> savedSessionId;
    };
    void showPreview(const Preview &preview);

Q_SIGNALS:
    // The one notice the views follow; `what` lets a view that only shows
    // the time skip the rest.
    void changed(SessionController::Changes what);

private:
    QCoro::Task<> startLeg();
    void beginListening();
    QCoro::Task<> closeLeg();
    QCoro::Task<> finishAndSave(quint64 session);
    QCoro::Task<> saveSession();
    void uploadFailed(const QString &text, bool keepPaused);
    QCoro::Task<> hidePanelLater();
    void endLeg(Phase next);
    void finishSession();
    void refreshElapsed();
    void tick();
    void scheduleTick();
    void failSetup(const QString &text);
    void abandonSetup();
    void onLegUpdate(const TranscriptUpdate &update);
    void onLegFailed(const QString &text);
    void onMicFailed();
    void onMeetingDetected();
    [[nodiscard]] qint64 legSeconds() const;

    // Every change of phase goes through here; it forgets what the old
    // phase had pending.
    void setPhase(Phase phase);
    void setLastError(std::optional<QString> value);
    void setElapsed(const QString &value);
    void setSaveState(const SaveState &value);
    void setSavedSessionId(std::optional<QString> value);

    SessionParts m_parts;
    LegRunner m_legs;
    NotesSaver m_saver;
    Transcript m_transcript;

    Phase m_phase = Phase::Idle;
    // What the current phase was asked to do when it ends; cleared on every
    // change of phase.
    struct Pending
    {
        bool connectionFailed = false; // Starting: the server refused the leg
        bool saveWhenClosed = false;   // Closing: a stop came during the wait
        bool startAfterUpload = false; // Uploading: a start came during the upload
    } m_pending;

    std::optional<QString> m_lastError;
    QString m_elapsed = QStringLiteral("0:00");
    SaveState m_saveState;
    std::optional<QString> m_savedSessionId;

    std::optional<QDateTime> m_sessionStartedAt;
    std::optional<QString> m_sourceClientId;
    // The languages a recovered session was taken in; its notes carry them.
    std::optional<JournalSession> m_recovered;
    qint64 m_accumulatedSeconds = 0;
    QDateTime m_legStartedAt; // of the running leg, while Listening
    QTimer m_ticker;

    // The session's identity, so that a late step of an earlier session
    // never acts on a newer one.
    quint64 m_session = 0;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SessionController::Changes)
