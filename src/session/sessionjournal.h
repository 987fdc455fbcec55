#pragma once

#include "transcriptline.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class Transcript;

// What a session was started with.
struct JournalSession
{
    QDateTime startedAt;
    QString sourceClientId;
    QString languageA;
    QString languageB;
    bool transcriptOnly = false;
};

// A session read back from a journal.
struct RecoveredSession
{
    JournalSession session;
    QList<TranscriptLine> lines;
    qint64 seconds = 0; // time spent listening
};

// What a journal's bytes hold. One JSON object per line; a last record
// without its line end was cut off mid-write and is dropped.
struct JournalReading
{
    enum class Kind { Empty, Session, Unreadable };
    Kind kind = Kind::Empty;
    RecoveredSession session;
    qsizetype intactBytes = 0; // up to the end of the last whole record
};
[[nodiscard]] JournalReading readJournal(QByteArrayView bytes);

// An append-only record of the running session, so that a killed zarno
// loses at most the last second of final text. Each record is written
// through to the system at once; a worker thread syncs it to the disk at
// most once per interval and soon after a pause or stop, so the GUI thread
// never waits for the disk. Lives on the GUI thread.
class SessionJournal : public QObject
{
    Q_OBJECT

public:
    explicit SessionJournal(QString path, std::chrono::milliseconds syncInterval = std::chrono::seconds(1),
                            QObject *parent = nullptr);
    ~SessionJournal() override;

    // $XDG_STATE_HOME/zarno/session.journal (~/.local/state without it).
    [[nodiscard]] static QString defaultPath();
    [[nodiscard]] QString path() const { return m_path; }

    struct Recovery
    {
        enum class Kind { Nothing, Recovered, SetAside };
        Kind kind = Kind::Nothing;
        RecoveredSession session;
        QString asidePath; // where an unreadable journal was moved
    };
    // At launch: the session an interrupted zarno left, which this journal
    // then goes on recording. One with nothing worth saving is removed.
    [[nodiscard]] Recovery recover();

    // Records the final text of `transcript` as its lines grow.
    void follow(const Transcript *transcript);
    void beginSession(const JournalSession &session);
    void beginLeg(const QDateTime &at);
    // Still listening at `at`, so that a cut-off leg keeps its length.
    void stillListening(const QDateTime &at);
    // A pause or stop: `seconds` is the session's listening time so far.
    void endLeg(const QDateTime &at, qint64 seconds);
    // The notes are saved: nothing is left to recover.
    void discard();

Q_SIGNALS:
    // The journal could not be written; said once per session.
    void writeFailed();

private:
    void open(bool truncate);
    // Written at once; `synced` asks the disk worker to keep it within its interval.
    void append(const QJsonObject &record, bool synced = true);
    void fail();
    void closeFile();
    void onLineAppended(qsizetype row);
    void onLastLineChanged(qsizetype row);
    void onLinesReset();

    class Syncer;
    QString m_path;
    std::unique_ptr<Syncer> m_syncer;
    const Transcript *m_transcript = nullptr;
    int m_fd = -1;
    bool m_failed = false;
    // How much of the last line the journal holds, so growth is written as
    // its new text only.
    qsizetype m_lastRow = -1;
    qsizetype m_lastRowWritten = 0;
};
