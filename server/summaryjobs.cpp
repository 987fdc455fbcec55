#include "summaryjobs.h"

#include "store.h"

#include <QLoggingCategory>
#include <QPointer>

Q_LOGGING_CATEGORY(lcSummary, "zarno.server.summary")

SummaryJobs::SummaryJobs(ModelSettings settings, Store &store, QObject *parent)
    : QObject(parent)
    , m_summarizer(std::move(settings))
    , m_store(store)
{
}

void SummaryJobs::ask(qint64 accountId, const QString &noteId)
{
    if (!enabled())
        return;
    NoteSummary pending = m_store.noteSummary(noteId);
    pending.status = NoteSummary::Status::Pending;
    pending.reason.clear();
    m_store.keepSummary(noteId, pending);
    ++m_asked[noteId];
    const bool queued = std::any_of(m_queue.cbegin(), m_queue.cend(), [&](const Job &job) { return job.noteId == noteId; });
    if (!queued)
        m_queue.append({accountId, noteId});
    if (!m_running)
        run();
}

void SummaryJobs::resume()
{
    if (!enabled())
        return;
    for (const auto &[accountId, noteId] : m_store.pendingSummaries())
        ask(accountId, noteId);
}

NoteSummary SummaryJobs::state(const QString &noteId) const
{
    NoteSummary kept = m_store.noteSummary(noteId);
    if (kept.status == NoteSummary::Status::Pending && !enabled())
        kept.status = NoteSummary::Status::Off;
    return kept;
}

NoteSummary SummaryJobs::opened(qint64 accountId, const QString &noteId)
{
    if (enabled() && m_store.noteSummary(noteId).status == NoteSummary::Status::Off)
        ask(accountId, noteId);
    return state(noteId);
}

bool SummaryJobs::setDone(const QString &noteId, qsizetype item, bool done)
{
    NoteSummary kept = m_store.noteSummary(noteId);
    if (kept.status != NoteSummary::Status::Ready || item < 0 || item >= kept.summary.actionItems.size())
        return false;
    kept.summary.actionItems[item].done = done;
    return m_store.keepSummary(noteId, kept);
}

QCoro::Task<> SummaryJobs::run()
{
    const QPointer<SummaryJobs> self(this);
    m_running = true;
    while (!m_queue.isEmpty()) {
        const Job job = m_queue.takeFirst();
        const int asked = m_asked.value(job.noteId);
        const std::optional<StoredNote> note = m_store.note(job.accountId, job.noteId);
        if (!note)
            continue;
        const SummaryOutcome outcome = co_await m_summarizer.summarize(note->body);
        if (!self)
            co_return;
        // Asked again while the model worked: the newer request is queued and answers instead.
        if (m_asked.value(job.noteId) == asked)
            finish(job.noteId, outcome);
    }
    m_running = false;
}

void SummaryJobs::finish(const QString &noteId, const SummaryOutcome &outcome)
{
    NoteSummary kept = m_store.noteSummary(noteId);
    if (outcome.summary) {
        // A to-do the new summary shares with the last one keeps its tick.
        Summary fresh = *outcome.summary;
        for (ActionItem &item : fresh.actionItems) {
            for (const ActionItem &old : std::as_const(kept.summary.actionItems))
                item.done = item.done || (old.done && old.task == item.task);
        }
        kept = {NoteSummary::Status::Ready, fresh, {}};
    } else {
        qCInfo(lcSummary, "summary of note %s failed: %s", qUtf8Printable(noteId), qUtf8Printable(outcome.reason));
        kept.status = NoteSummary::Status::Failed;
        kept.reason = outcome.reason;
    }
    if (!m_store.keepSummary(noteId, kept))
        qCWarning(lcSummary, "the summary of note %s could not be stored", qUtf8Printable(noteId));
}
