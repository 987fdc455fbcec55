#pragma once

#include "transcriptupdate.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

// What the session controller needs of its connection to the transcription
// endpoint; TranscriptionClient is the real one. Results are signals emitted
// off the GUI thread, in the order the frames and events arrived: a receiver
// on the GUI thread gets them through queued connections. Each carries the
// number open() gave its connection, so that a receiver can tell a late
// result of an earlier connection.
class TranscriptionLink : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens a new connection and returns its number; the caller closes the
    // previous one first.
    virtual quint64 open(const QUrl &url) = 0;
    // Callable from any thread; copies the chunk and returns at once.
    virtual void send(const QByteArray &chunk) = 0;
    // Asks the server for the final words of everything it has heard; its
    // answer is an update with `finalizeDone`.
    virtual void finalize() = 0;
    // Ends the connection with code 1000; nothing of it is emitted after.
    virtual void close() = 0;
    // Whether a connection of the current leg exists (the task of the leg).
    [[nodiscard]] virtual bool hasTask() const = 0;

Q_SIGNALS:
    void updateReceived(quint64 connection, const TranscriptUpdate &update);
    // A server error message, or the one sentence that ends a connection the
    // server or the network broke.
    void failed(quint64 connection, const QString &sentence);
};
