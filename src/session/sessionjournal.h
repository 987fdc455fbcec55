#pragma once

#include "journalreading.h"
#include "transcriptline.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class Transcript;

// An append-only record of the running session, so that a killed zarno
// loses at most the last second of final text. Each record is written
// through to the system at once; a worker thread syncs it to the disk at
// most once per interval and soon after a pause or stop, so the GUI thread
// never waits for the disk. After a failed write the next record writes the
// whole session afresh, so a crash once the disk has room again loses
// nothing. Lives on the GUI thread.
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

    // How many set-aside journals are kept; older ones go.
    static constexpr int keptAside = 3;

    struct Recovery
    {
        // SetAside: an unreadable journal moved to `asidePath`. Unreadable:
        // one that could not be moved; it stays at path(), and no session
        // is recorded over it.
        enum class Kind { Nothing, Recovered, SetAside, Unreadable };
        Kind kind = Kind::Nothing;
        RecoveredSession session;
        QString asidePath;
    };
    // At launch: the session an interrupted zarno left, which this journal
    // then goes on recording. One with nothing worth saving is removed; an
    // unreadable one is set aside as path().corrupt, .corrupt.1, … (the
    // newest keptAside of them stay).
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
    // The journal could not be written; said once until writing works again.
    void writeFailed();
    // Writing works again after writeFailed(): the journal holds the whole session.
    void writeResumed();

private:
    // Written at once; `synced` asks the disk worker to keep it within its interval.
    void append(const QJsonObject &record, bool synced = true);
    // Replaces the file with the session as it stands: through a new file
    // renamed over it, so that a failure leaves the old one whole, unless
    // the old one holds nothing to keep (`inPlace`).
    bool writeAfresh(const QList<TranscriptLine> &lines, bool inPlace);
    [[nodiscard]] bool writeSnapshot(int fd, const QList<TranscriptLine> &lines) const;
    [[nodiscard]] std::optional<QString> setAside();
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
    // What the session holds besides its lines, for writing it afresh.
    std::optional<JournalSession> m_session; // set while a session is recorded
    qint64 m_seconds = 0;
    std::optional<QDateTime> m_legAt;
    QDateTime m_lastAlive;
    // Writing failed and was reported; the next record writes afresh.
    bool m_failed = false;
    // An unreadable journal that could not be set aside lies at m_path.
    bool m_keepsUnreadable = false;
    // How much of the last line the journal holds, so growth is written as
    // its new text only.
    qsizetype m_lastRow = -1;
    qsizetype m_lastRowWritten = 0;
};
