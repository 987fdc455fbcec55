#pragma once

#include "transcriptline.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

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
// without its line end was cut off mid-write and is dropped. A damaged
// record (not JSON, wrong fields, a time before 2020 or later than `now`
// allows, a length over a week) is skipped and the rest kept; a journal
// whose first record is no sound session is unreadable.
struct JournalReading
{
    enum class Kind { Empty, Session, Unreadable };
    Kind kind = Kind::Empty;
    RecoveredSession session;
    int damaged = 0; // records skipped
};
[[nodiscard]] JournalReading readJournal(QByteArrayView bytes, const QDateTime &now);
