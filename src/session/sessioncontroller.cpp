#include "sessioncontroller.h"
#include "logging.h"

#include "clock.h"
#include "settings.h"

#include <QCoroTimer>
#include <QPointer>
#include <QUuid>

namespace {

qint64 wholeSecondsBetween(const QDateTime &from, const QDateTime &to)
{
    return from.msecsTo(to) / 1000; // truncated toward zero
}

} // namespace

SessionController::SessionController(QObject *parent)
    : SessionController(SessionParts{}, parent)
{
}

SessionController::SessionController(SessionParts parts, QObject *parent)
    : QObject(parent)
    , m_parts(std::move(parts))
    , m_legs({m_parts.client.get(), m_parts.mic.get(), m_parts.permission.get(), m_parts.auth, m_parts.harvest,
              m_parts.timing.harvestWait, m_parts.timing.finalizeLimit, m_parts.timing.micTimeout})
    , m_saver({m_parts.auth, m_parts.notes, m_parts.journal.get(), m_parts.timing.requestTimeout})
{
    m_ticker.setSingleShot(true);
    QObject::connect(&m_ticker, &QTimer::timeout, this, &SessionController::tick);
    if (m_parts.detector)
        QObject::connect(m_parts.detector.get(), &MeetingWatch::detectedAppChanged, this,
                         &SessionController::onMeetingDetected);
    QObject::connect(&m_legs, &LegRunner::updated, this, &SessionController::onLegUpdate);
    QObject::connect(&m_legs, &LegRunner::linkFailed, this, &SessionController::onLegFailed);
    QObject::connect(&m_legs, &LegRunner::micFailed, this, &SessionController::onMicFailed);
    if (SessionJournal *journal = m_parts.journal.get()) {
        journal->follow(&m_transcript);
        QObject::connect(journal, &SessionJournal::writeFailed, this, [this] { setLastError(journalFailedText); });
        // The warning is no longer true once the journal holds the whole session again.
        QObject::connect(journal, &SessionJournal::writeResumed, this, [this] {
            if (lastErrorText() == journalFailedText)
                setLastError(std::nullopt);
        });
    }
}

// The leg runner, going first, leaves nothing that calls back.
SessionController::~SessionController() = default;

// --- Session operations ----------------------------------------------------

void SessionController::startListening()
{
    if (m_phase == Phase::Uploading) {
        // The last session's notes are not safe yet: starting now would
        // clear them. Start once they are saved; a failure keeps them here.
        m_pending.startAfterUpload = true;
        return;
    }
    if (m_phase != Phase::Idle)
        return;
    ++m_session;
    m_legs.beginSession();
    setLastError(std::nullopt);
    setSaveState(SaveState::idle());
    m_transcript.clear();
    m_accumulatedSeconds = 0;
    const QDateTime now = Clock::now();
    m_sessionStartedAt = now;
    m_sourceClientId = makeSourceClientId(now);
    m_recovered.reset();
    if (m_parts.journal) {
        const ZarnoSettings settings = ZarnoSettings::load();
        m_parts.journal->beginSession(
            {now, *m_sourceClientId, settings.languageA, settings.languageB, settings.transcriptOnly});
    }
    setElapsed(elapsedText(0));
    startLeg();
}

void SessionController::recoverInterruptedSession()
{
    if (!m_parts.journal || m_phase != Phase::Idle)
        return;
    const SessionJournal::Recovery found = m_parts.journal->recover();
    if (found.kind == SessionJournal::Recovery::Kind::SetAside)
        setLastError(journalUnreadablePrefix + found.asidePath + u'.');
    else if (found.kind == SessionJournal::Recovery::Kind::Unreadable)
        setLastError(journalStuckPrefix + m_parts.journal->path() + u'.');
    if (found.kind != SessionJournal::Recovery::Kind::Recovered)
        return;
    ++m_session;
    m_legs.beginSession();
    m_recovered = found.session.session;
    m_sessionStartedAt = m_recovered->startedAt;
    m_sourceClientId = m_recovered->sourceClientId;
    m_accumulatedSeconds = found.session.seconds;
    m_transcript.reset(found.session.lines, QString());
    setElapsed(elapsedText(m_accumulatedSeconds));
    setPhase(Phase::Paused);
    setLastError(recoveredText);
    if (m_parts.detector)
        m_parts.detector->setSuppressed(true);
    if (m_parts.panel)
        m_parts.panel->show(this, true);
}

void SessionController::pauseListening()
{
    if (m_phase != Phase::Listening)
        return;
    endLeg(Phase::Closing);
    closeLeg();
}

void SessionController::resumeListening()
{
    // A pause or stop still waiting for its final words gives way to the new leg.
    if (m_phase != Phase::Paused && m_phase != Phase::Closing)
        return;
    setLastError(std::nullopt);
    startLeg();
}

void SessionController::stopAndSave()
{
    switch (m_phase) {
    case Phase::Listening:
        endLeg(Phase::Closing);
        m_pending.saveWhenClosed = true;
        closeLeg();
        break;
    case Phase::Closing:
        // The final words are still coming: they are saved too. A second
        // press while it waits changes nothing.
        m_pending.saveWhenClosed = true;
        break;
    case Phase::Paused:
        finishAndSave(m_session);
        break;
    case Phase::Idle:
        // "Save again" after a failure that left the transcript without a
        // session around it (no sign-in, unusable address).
        if (m_saveState.kind() == SaveState::Kind::Failed)
            saveSession();
        break;
    case Phase::Starting:
    case Phase::Uploading:
        break;
    }
}

void SessionController::openSavedNotes()
{
    const ZarnoSettings settings = ZarnoSettings::load();
    if (std::optional<QUrl> url = settings.serviceURL(QStringLiteral("/app"))) {
        if (m_savedSessionId)
            url->setQuery(QLatin1StringView("meeting=") + QString::fromLatin1(QUrl::toPercentEncoding(*m_savedSessionId)),
                          QUrl::StrictMode);
        if (url->isValid() && m_parts.window)
            m_parts.window->load(*url);
    }
    if (m_parts.window)
        m_parts.window->open();
    if (m_parts.panel)
        m_parts.panel->hide();
}

// --- Legs ----------------------------------------------------------------------

QCoro::Task<> SessionController::startLeg()
{
    QPointer<SessionController> self(this);
    setPhase(Phase::Starting);
    const LegRunner::Start started = co_await m_legs.start();
    if (!self || started.kind == LegRunner::Start::Kind::Gone)
        co_return;
    if (started.kind == LegRunner::Start::Kind::Failed) {
        failSetup(started.sentence);
        co_return;
    }
    if (m_pending.connectionFailed) {
        // The server already refused this leg (its sentence is shown): a
        // running microphone would only pretend to listen.
        m_legs.drop();
        abandonSetup();
        co_return;
    }
    beginListening();
}

void SessionController::beginListening()
{
    m_legStartedAt = Clock::now();
    setPhase(Phase::Listening);
    if (m_parts.journal)
        m_parts.journal->beginLeg(m_legStartedAt);
    if (m_parts.detector)
        m_parts.detector->setSuppressed(true);
    if (m_parts.prompt)
        m_parts.prompt->close();
    if (m_parts.panel)
        m_parts.panel->show(this, m_accumulatedSeconds == 0);
    scheduleTick();
}

void SessionController::failSetup(const QString &text)
{
    setLastError(text);
    abandonSetup();
}

void SessionController::abandonSetup()
{
    m_legs.closeLink();
    // A session with a transcript stays open so that it can be resumed or
    // saved. One with nothing to keep is over: a resumed leg that heard
    // nothing ends it as a stop would, so meetings are noticed again.
    if (!m_transcript.isEmpty()) {
        setPhase(Phase::Paused);
    } else {
        setPhase(Phase::Idle);
        if (m_parts.detector)
            m_parts.detector->setSuppressed(false);
    }
    // A start asked for from the tray or the command line has no window of
    // its own: the panel carries the sentence to where the user looks.
    if (m_parts.panel && m_lastError && !m_lastError->isEmpty())
        m_parts.panel->show(this, true);
}

void SessionController::onLegUpdate(const TranscriptUpdate &update)
{
    m_transcript.apply(update);
    // Words that come after the time turned bring its tick forward.
    if (m_ticker.isActive() && elapsedText(m_accumulatedSeconds + legSeconds()) != m_elapsed)
        tick();
}

void SessionController::onLegFailed(const QString &text)
{
    setLastError(text);
    if (m_phase == Phase::Starting)
        m_pending.connectionFailed = true;
    if (m_phase != Phase::Listening)
        return;
    endLeg(Phase::Paused);
    m_legs.drop();
    // Nothing heard yet: a paused "0:00" would only offer to save nothing.
    if (m_transcript.isEmpty())
        abandonSetup();
}

void SessionController::onMicFailed()
{
    // A device that stopped during a pause says nothing about this leg.
    if (m_phase != Phase::Listening)
        return;
    // Ends as a pause does, so the words already spoken still arrive.
    pauseListening();
    setLastError(micStoppedText);
}

void SessionController::endLeg(Phase next)
{
    m_ticker.stop();
    if (m_phase == Phase::Listening) {
        const QDateTime now = Clock::now();
        m_accumulatedSeconds += wholeSecondsBetween(m_legStartedAt, now);
        if (m_parts.journal)
            m_parts.journal->endLeg(now, m_accumulatedSeconds);
    }
    setPhase(next);
    refreshElapsed();
    m_legs.stopMic();
}

QCoro::Task<> SessionController::closeLeg()
{
    QPointer<SessionController> self(this);
    const quint64 session = m_session;
    // False when resumed meanwhile: the new leg owns the connection now and
    // the session goes on, so there is nothing to finish.
    const bool ended = co_await m_legs.finish();
    if (!self || !ended)
        co_return;
    if (m_pending.saveWhenClosed)
        co_await finishAndSave(session);
    else if (m_phase == Phase::Closing)
        setPhase(Phase::Paused);
}

QCoro::Task<> SessionController::finishAndSave(quint64 session)
{
    if (session != m_session || m_phase == Phase::Uploading)
        co_return;
    finishSession();
    co_await saveSession();
}

// The session's legs are over; its notes are saved next.
void SessionController::finishSession()
{
    if (m_parts.detector)
        m_parts.detector->setSuppressed(false);
    if (m_parts.panel && !m_parts.panel->expanded())
        m_parts.panel->hide();
}

qint64 SessionController::legSeconds() const
{
    return m_phase == Phase::Listening ? wholeSecondsBetween(m_legStartedAt, Clock::now()) : 0;
}

void SessionController::refreshElapsed()
{
    setElapsed(elapsedText(m_accumulatedSeconds + legSeconds()));
}

// While listening, once a tick: the time shown, and the journal's note that
// the leg still runs. A tick is aimed half a tick past each whole one of the
// leg, so that words arriving after the time turned can take it along: the
// panel then draws the new time in the frame that draws the words, and the
// listening thread wakes once rather than twice.
void SessionController::tick()
{
    refreshElapsed();
    if (m_parts.journal)
        m_parts.journal->stillListening(Clock::now());
    scheduleTick();
}

void SessionController::scheduleTick()
{
    if (m_phase != Phase::Listening)
        return;
    const qint64 period = std::max<qint64>(1, m_parts.timing.tick.count());
    const qint64 into = std::max<qint64>(0, m_legStartedAt.msecsTo(Clock::now())) % period;
    m_ticker.start(int(period - into + period / 2));
}

QString SessionController::elapsedText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    return QString::number(seconds / 60) + u':' + QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString SessionController::makeSourceClientId(const QDateTime &now)
{
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return QStringLiteral("mac_") + QString::number(now.toSecsSinceEpoch()) + u'_' + uuid.left(5);
}

// --- Meeting detection --------------------------------------------------------

void SessionController::onMeetingDetected()
{
    MeetingWatch *detector = m_parts.detector.get();
    const std::optional<QString> source = detector->detectedApp();
    if (!source || m_phase == Phase::Listening || readsPaused(m_phase) || !m_parts.prompt)
        return;
    QPointer<SessionController> self(this);
    m_parts.prompt->show(
        *source,
        [self] {
            if (!self)
                return;
            if (self->m_parts.detector)
                self->m_parts.detector->setDetectedApp(std::nullopt);
            self->startListening();
        },
        [self] {
            if (self && self->m_parts.detector)
                self->m_parts.detector->setDetectedApp(std::nullopt);
        });
}

// --- Notes saving -------------------------------------------------------------

QCoro::Task<> SessionController::saveSession()
{
    const QList<TranscriptLine> saved = savedLines(m_transcript.lines());
    if (saved.isEmpty()) {
        // A stop that keeps nothing still answers.
        setPhase(Phase::Idle);
        setLastError(nothingToSaveText);
        co_return;
    }

    QPointer<SessionController> self(this);
    const quint64 session = m_session;
    // Straight from the closing leg or the paused session: the user never
    // sees it idle on the way. An earlier attempt's outcome is over.
    setPhase(Phase::Uploading);
    setSaveState(SaveState::idle());

    // Named, not a temporary: GCC 12 destroys a braced temporary handed to a
    // coroutine twice.
    const NotesSession notes{m_sessionStartedAt, m_sourceClientId};
    const NotesSaver::Outcome outcome = co_await m_saver.save(saved, notes, m_recovered);
    if (!self)
        co_return;
    switch (outcome.kind) {
    case NotesSaver::Outcome::Kind::Abandoned:
        co_return;
    case NotesSaver::Outcome::Kind::NoSignIn:
        uploadFailed(saveSignInText, false);
        co_return;
    case NotesSaver::Outcome::Kind::BadAddress:
        uploadFailed(badServerURLText, false);
        co_return;
    case NotesSaver::Outcome::Kind::Failed:
        uploadFailed(saveFailedText, true);
        co_return;
    case NotesSaver::Outcome::Kind::Saved:
        break;
    }

    const bool startNext = m_pending.startAfterUpload;
    setPhase(Phase::Idle);
    setSavedSessionId(outcome.sessionId);
    if (session != m_session)
        co_return; // the notes are saved; the newer session keeps its own state
    m_recovered.reset();
    m_transcript.clear();
    // A connection lost earlier in the session is no longer news.
    setLastError(std::nullopt);
    setSaveState(SaveState::saved());
    if (startNext)
        startListening();
    else
        hidePanelLater();
}

void SessionController::uploadFailed(const QString &text, bool keepPaused)
{
    // The transcript stays until it is saved; a start asked for meanwhile is dropped.
    setSaveState(SaveState::failed(text));
    setPhase(keepPaused ? Phase::Paused : Phase::Idle);
}

QCoro::Task<> SessionController::hidePanelLater()
{
    QPointer<SessionController> self(this);
    co_await QCoro::sleepFor(m_parts.timing.hideAfterSave);
    if (self && self->m_saveState == SaveState::saved() && self->m_phase == Phase::Idle && self->m_parts.panel)
        self->m_parts.panel->hide();
}

void SessionController::showPreview(const Preview &preview)
{
    setPhase(preview.phase);
    m_transcript.reset(preview.lines, preview.partial);
    setLastError(preview.lastError);
    setElapsed(preview.elapsed);
    setSaveState(preview.saveState);
    setSavedSessionId(preview.savedSessionId);
}

// --- Published state ------------------------------------------------------------

void SessionController::setPhase(Phase phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    m_pending = {};
    Q_EMIT changed(Change::Phase);
}

void SessionController::setLastError(std::optional<QString> value)
{
    if (m_lastError == value)
        return;
    m_lastError = std::move(value);
    // The sentence the user is shown, so a log tells why too; never words
    // that were said or a token.
    if (m_lastError && !m_lastError->isEmpty())
        qCWarning(lcSession).noquote() << *m_lastError;
    Q_EMIT changed(Change::Sentence);
}

void SessionController::setElapsed(const QString &value)
{
    if (m_elapsed == value)
        return;
    m_elapsed = value;
    Q_EMIT changed(Change::Elapsed);
}

void SessionController::setSaveState(const SaveState &value)
{
    if (m_saveState == value)
        return;
    m_saveState = value;
    if (m_saveState.kind() == SaveState::Kind::Failed && !m_saveState.message().isEmpty())
        qCWarning(lcSession).noquote() << "Saving the notes failed:" << m_saveState.message();
    Q_EMIT changed(Change::Save);
}

void SessionController::setSavedSessionId(std::optional<QString> value)
{
    if (m_savedSessionId == value)
        return;
    m_savedSessionId = std::move(value);
    Q_EMIT changed(Change::Save);
}
