#pragma once

#include "summarizer.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class Store;

// Summaries asked of the model after a note is saved, one at a time, away
// from the request that saved it. Their state is kept with the note in the
// store, so a restarted service takes up what was still pending. A failure
// is written beside the note and never touches the note itself.
class SummaryJobs : public QObject
{
    Q_OBJECT
public:
    SummaryJobs(ModelSettings settings, Store &store, QObject *parent = nullptr);

    [[nodiscard]] bool enabled() const { return m_summarizer.settings().enabled(); }

    // Marks the note's summary pending and queues it; nothing when no model is configured.
    void ask(qint64 accountId, const QString &noteId);
    // Queues every summary the store holds as pending (after a restart).
    void resume();
    // What a reader of the note sees: "off" unless a summary was ever made or is on its way.
    [[nodiscard]] NoteSummary state(const QString &noteId) const;
    // The same for a note being opened; one saved while no model was configured is asked for now.
    NoteSummary opened(qint64 accountId, const QString &noteId);
    // Ticks or unticks a to-do of a ready summary; false when there is no such to-do.
    bool setDone(const QString &noteId, qsizetype item, bool done);

private:
    struct Job
    {
        qint64 accountId = 0;
        QString noteId;
    };

    QCoro::Task<> run();
    void finish(const QString &noteId, const SummaryOutcome &outcome);

    Summarizer m_summarizer;
    Store &m_store;
    QList<Job> m_queue;
    QHash<QString, int> m_asked; // note -> how often it was asked for; a stale answer is dropped
    bool m_running = false;
};
