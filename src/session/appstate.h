#pragma once

#include "accesstokens.h"
#include "microphone.h"
#include "sessionhooks.h"
#include "sonioxmessage.h"
#include "textmeasure.h"
#include "transcriptionlink.h"
#include "transcriptline.h"

#include <QCoroTask>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <span>

class QNetworkAccessManager;

// The fixed waits of a session; tests shorten them.
struct SessionTiming
{
    std::chrono::milliseconds harvestWait{300};  // lets a sign-in copied from the page land
    std::chrono::milliseconds pauseWait{300};    // final tokens after a pause's finalize
    std::chrono::milliseconds stopWait{400};     // final tokens after a stop's finalize
    std::chrono::milliseconds tick{1000};        // elapsed-time refresh
    std::chrono::milliseconds micTimeout{4000};  // a microphone that never answers
    std::chrono::milliseconds hideAfterSave{8000};
    std::chrono::milliseconds requestTimeout{60000};
};

// What a session works with. The controller owns the client, the microphone,
// its permission and the detector; the rest are shared and outlive it. Any
// of them may be missing (previews, tests of one concern).
struct AppStateParts
{
    std::unique_ptr<TranscriptionLink> client;
    std::unique_ptr<Microphone> mic;
    std::unique_ptr<MicPermission> permission;
    std::unique_ptr<MeetingWatch> detector;
    AccessTokenSource *auth = nullptr;
    LivePanelHook *panel = nullptr;
    MeetingPromptHook *prompt = nullptr;
    SignInHarvestHook *harvest = nullptr;
    MainWindowHook *window = nullptr;
    SessionTiming timing;
};

// The controller of a note-taking session and the one source of truth the
// views observe. Lives on the GUI thread.
class AppState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isListening READ isListening NOTIFY isListeningChanged)
    Q_PROPERTY(bool isPaused READ isPaused NOTIFY isPausedChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString partial READ partial NOTIFY partialChanged)
    Q_PROPERTY(QString lastError READ lastErrorText NOTIFY lastErrorChanged)
    Q_PROPERTY(QString elapsed READ elapsed NOTIFY elapsedChanged)
    Q_PROPERTY(QString savedSessionId READ savedSessionIdText NOTIFY savedSessionIdChanged)

public:
    // A line is broken before a token that starts with a space once it is
    // longer than this many user-perceived characters.
    static constexpr qsizetype lineBreakLength = 320;

    static inline const QString watchingStatus = QStringLiteral("Watching for meetings");
    static inline const QString listeningStatus = QStringLiteral("Listening");
    static inline const QString pausedStatus = QStringLiteral("Paused");

    static inline const QString notSignedInText =
        QStringLiteral("Not signed in yet — Open zarno, log in inside that window once, then try again.");
    static inline const QString badServerURLText = QStringLiteral("Server URL is not valid.");
    static inline const QString micPermissionText = QStringLiteral(
        "zarno can't hear you yet — allow the microphone in System Settings → Privacy & Security → Microphone.");
    static inline const QString micFailedPrefix = QStringLiteral("Microphone failed: ");
    static inline const QString saveSignInText = QStringLiteral("Couldn't save — sign in again in the zarno window.");
    static inline const QString saveFailedText =
        QStringLiteral("Saving failed — the transcript is still here; try Save again.");

    explicit AppState(QObject *parent = nullptr);
    explicit AppState(AppStateParts parts, QObject *parent = nullptr);
    ~AppState() override;

    [[nodiscard]] bool isListening() const { return m_isListening; }
    [[nodiscard]] bool isPaused() const { return m_isPaused; }
    [[nodiscard]] QString status() const { return m_status; }
    [[nodiscard]] const QList<TranscriptLine> &lines() const { return m_lines; }
    [[nodiscard]] QString partial() const { return m_partial; }
    [[nodiscard]] std::optional<QString> lastError() const { return m_lastError; }
    [[nodiscard]] QString lastErrorText() const { return m_lastError.value_or(QString()); }
    [[nodiscard]] QString elapsed() const { return m_elapsed; }
    [[nodiscard]] SaveState saveState() const { return m_saveState; }
    [[nodiscard]] std::optional<QString> savedSessionId() const { return m_savedSessionId; }
    [[nodiscard]] QString savedSessionIdText() const { return m_savedSessionId.value_or(QString()); }

    [[nodiscard]] std::optional<QDateTime> sessionStartedAt() const { return m_sessionStartedAt; }
    [[nodiscard]] std::optional<QString> sourceClientId() const { return m_sourceClientId; }
    [[nodiscard]] qint64 accumulatedSeconds() const { return m_accumulatedSeconds; }
    [[nodiscard]] MeetingWatch *detector() const { return m_parts.detector.get(); }
    // A leg is being set up: token, permission, microphone start.
    [[nodiscard]] bool isStarting() const { return m_starting; }

    // What the views call. Each returns at once; the slow work runs in a
    // coroutine on the GUI thread.
    void startListening();
    void pauseListening();
    void resumeListening();
    void stopAndSave();
    void openSavedNotes();

    // Grows the transcript by one server message. Messages must come in the
    // order they were received.
    void apply(const SonioxMessage &message);

    // Whether the text, read from its end, finishes a sentence: trailing
    // white space is ignored and closing quotes and brackets looked through.
    [[nodiscard]] static bool endsSentence(QStringView text);
    [[nodiscard]] static std::span<const char16_t> sentenceEnds();
    [[nodiscard]] static std::span<const char16_t> closers();

    // "m:ss" with minutes not wrapped into hours: 754 s is "12:34".
    [[nodiscard]] static QString elapsedText(qint64 seconds);
    // "mac_" + seconds since 1970 + "_" + five upper-case hexadecimal digits.
    [[nodiscard]] static QString makeSourceClientId(const QDateTime &now);

    // Sample values for the preview renderer, which shows a session that is
    // not running. Never used while a session runs.
    struct Preview
    {
        bool isListening = false;
        bool isPaused = false;
        QList<TranscriptLine> lines;
        QString partial;
        std::optional<QString> lastError;
        QString elapsed = QStringLiteral("0:00");
        SaveState saveState;
        std::optional<QString> savedSessionId;
    };
    void showPreview(const Preview &preview);

Q_SIGNALS:
    void isListeningChanged(bool isListening);
    void isPausedChanged(bool isPaused);
    void statusChanged(const QString &status);
    // Fine-grained so that views update one row, not the whole list.
    void linesReset();
    void lineAppended(qsizetype row);
    void lastLineChanged(qsizetype row);
    void partialChanged(const QString &partial);
    void lastErrorChanged();
    void elapsedChanged(const QString &elapsed);
    void saveStateChanged();
    void savedSessionIdChanged();

private:
    QCoro::Task<> startLeg();
    QCoro::Task<> closeLegAfterFinalize(quint64 leg, std::chrono::milliseconds wait);
    QCoro::Task<> finishAndSave(quint64 session);
    QCoro::Task<> saveSession();
    QCoro::Task<> hidePanelLater();
    void endLeg();
    void finishSession();
    void refreshElapsed();
    void failMicPermission();
    void abandonSetup();
    void installClientHandlers(quint64 session, quint64 leg);
    void handleClientError(quint64 leg, const QString &text);
    void onMeetingDetected();
    [[nodiscard]] qint64 legSeconds() const;

    void applyFinal(const SonioxToken &token);
    void clearTranscript();

    void setIsListening(bool value);
    void setIsPaused(bool value);
    void setStatus(const QString &value);
    void setPartial(const QString &value);
    void setLastError(std::optional<QString> value);
    void setElapsed(const QString &value);
    void setSaveState(const SaveState &value);
    void setSavedSessionId(std::optional<QString> value);

    AppStateParts m_parts;
    QNetworkAccessManager *m_network = nullptr;

    bool m_isListening = false;
    bool m_isPaused = false;
    QString m_status = watchingStatus;
    QList<TranscriptLine> m_lines;
    QString m_partial;
    std::optional<QString> m_lastError;
    QString m_elapsed = QStringLiteral("0:00");
    SaveState m_saveState;
    std::optional<QString> m_savedSessionId;

    std::optional<QDateTime> m_sessionStartedAt;
    std::optional<QString> m_sourceClientId;
    qint64 m_accumulatedSeconds = 0;
    std::optional<QDateTime> m_legStartedAt;
    QTimer m_ticker;

    // Identities, so that a late step of an earlier session or leg never
    // acts on a newer one.
    quint64 m_session = 0;
    quint64 m_leg = 0;
    bool m_starting = false;
    bool m_connectionFailedDuringSetup = false;
    bool m_uploading = false;
    bool m_startAfterUpload = false;
    // A pause or stop is waiting for the final words before it closes.
    bool m_closing = false;
    bool m_saveWhenClosed = false;

    GraphemeTally m_lastLineLength;
};
