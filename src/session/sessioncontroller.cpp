#include "sessioncontroller.h"
#include "logging.h"

#include "clock.h"
#include "notesupload.h"
#include "settings.h"

#include <QCoroTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
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
    , m_network(new QNetworkAccessManager(this))
{
    m_ticker.setInterval(m_parts.timing.tick);
    QObject::connect(&m_ticker, &QTimer::timeout, this, &SessionController::refreshElapsed);
    if (SessionJournal *journal = m_parts.journal.get())
        QObject::connect(&m_ticker, &QTimer::timeout, journal, [journal] { journal->stillListening(Clock::now()); });
    if (m_parts.detector)
        QObject::connect(m_parts.detector.get(), &MeetingWatch::detectedAppChanged, this,
                         &SessionController::onMeetingDetected);
    // The link reports from its own thread; these connections bring its
    // results to this one, in the order they came.
    if (TranscriptionLink *link = m_parts.client.get()) {
        QObject::connect(link, &TranscriptionLink::messageReceived, this, &SessionController::onLinkMessage);
        QObject::connect(link, &TranscriptionLink::failed, this, &SessionController::onLinkFailed);
    }
    if (SessionJournal *journal = m_parts.journal.get()) {
        journal->follow(&m_transcript);
        QObject::connect(journal, &SessionJournal::writeFailed, this, [this] { setLastError(journalFailedText); });
    }
}

SessionController::~SessionController()
{
    // Nothing must call back into a controller that is going away.
    if (m_parts.client) {
        m_parts.client->disconnect(this);
        m_parts.client->close();
    }
    if (m_parts.mic) {
        m_parts.mic->setOnChunk({});
        m_parts.mic->setOnFailure({});
        m_parts.mic->stop();
    }
}

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
    m_sessionFirstLink = 0;
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
    if (found.kind != SessionJournal::Recovery::Kind::Recovered)
        return;
    ++m_session;
    m_sessionFirstLink = 0;
    m_recovered = found.session.session;
    m_sessionStartedAt = m_recovered->startedAt;
    m_sourceClientId = m_recovered->sourceClientId;
    m_accumulatedSeconds = found.session.seconds;
    m_transcript.reset(found.session.lines, QString());
    setElapsed(elapsedText(m_accumulatedSeconds));
    setPhase(Phase::Paused);
    setStatus(pausedStatus);
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
    setStatus(pausedStatus);
    closeLegAfterFinalize(m_leg, m_parts.timing.pauseWait);
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
        closeLegAfterFinalize(m_leg, m_parts.timing.stopWait);
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

// --- Legs -------------------------------------------------------------------

QCoro::Task<> SessionController::startLeg()
{
    QPointer<SessionController> self(this);
    ++m_leg;
    m_legLink = 0;
    setPhase(Phase::Starting);

    if (m_parts.harvest)
        m_parts.harvest->harvest();
    co_await QCoro::sleepFor(m_parts.timing.harvestWait);
    if (!self)
        co_return;

    const std::optional<QUrl> url = co_await legAddress();
    if (!self || !url)
        co_return;
    if (m_parts.client) {
        // A pause or stop may still be waiting to close the previous
        // connection; the new leg's connection must never be the one it closes.
        if (m_parts.client->hasTask())
            m_parts.client->close();
        m_legLink = m_parts.client->open(*url);
        if (m_sessionFirstLink == 0)
            m_sessionFirstLink = m_legLink;
    }

    const bool allowed = co_await micAllowed();
    if (!self || !allowed)
        co_return;
    const bool running = co_await startMic();
    if (!self || !running)
        co_return;
    beginListening();
}

QCoro::Task<std::optional<QUrl>> SessionController::legAddress()
{
    QPointer<SessionController> self(this);
    const ZarnoSettings settings = ZarnoSettings::load();
    std::optional<QString> token;
    if (m_parts.auth)
        token = co_await m_parts.auth->validAccessToken();
    if (!self)
        co_return std::nullopt;
    if (!token) {
        // A sign-in kept through a failed renewal says why; otherwise there is none.
        const std::optional<QString> problem = m_parts.auth ? m_parts.auth->renewalProblem() : std::nullopt;
        failSetup(problem.value_or(notSignedInText));
        co_return std::nullopt;
    }
    std::optional<QUrl> url = settings.transcribeURL(*token);
    if (!url)
        failSetup(badServerURLText);
    co_return url;
}

QCoro::Task<bool> SessionController::micAllowed()
{
    if (!m_parts.permission)
        co_return true;
    QPointer<SessionController> self(this);
    bool granted = false;
    switch (m_parts.permission->status()) {
    case MicPermission::Status::Authorized:
        co_return true;
    case MicPermission::Status::NotDetermined:
        granted = co_await m_parts.permission->request();
        if (!self)
            co_return false;
        break;
    case MicPermission::Status::Restricted:
    case MicPermission::Status::Denied:
        break;
    }
    if (!granted) {
        if (m_parts.client)
            m_parts.client->close();
        failSetup(micPermissionText);
    }
    co_return granted;
}

QCoro::Task<bool> SessionController::startMic()
{
    if (!m_parts.mic) {
        failSetup(micFailedPrefix + QStringLiteral("No audio input device available"));
        co_return false;
    }
    QPointer<SessionController> self(this);
    TranscriptionLink *client = m_parts.client.get();
    m_parts.mic->setOnChunk([client](const QByteArray &chunk) {
        // The client lives as long as the controller, which clears this
        // handler before either goes away.
        if (client)
            client->send(chunk);
    });
    // From the microphone's thread; the microphone goes before the
    // controller does and calls nothing once it is going.
    m_parts.mic->setOnFailure([this, leg = m_leg](const MicError &) {
        QMetaObject::invokeMethod(this, [this, leg] { onMicFailed(leg); }, Qt::QueuedConnection);
    });
    const std::optional<MicError> failure = co_await m_parts.mic->start(m_parts.timing.micTimeout);
    if (!self)
        co_return false;
    if (!failure && m_pending.connectionFailed) {
        // The server already refused this leg (its sentence is shown): a
        // running microphone would only pretend to listen.
        m_parts.mic->stop();
        if (m_parts.client)
            m_parts.client->close();
        abandonSetup();
        co_return false;
    }
    if (failure) {
        if (m_parts.client)
            m_parts.client->close();
        failSetup(micFailedPrefix + failure->description);
        co_return false;
    }
    co_return true;
}

void SessionController::beginListening()
{
    setPhase(Phase::Listening);
    setStatus(listeningStatus);
    m_legStartedAt = Clock::now();
    if (m_parts.journal)
        m_parts.journal->beginLeg(*m_legStartedAt);
    if (m_parts.detector)
        m_parts.detector->setSuppressed(true);
    if (m_parts.prompt)
        m_parts.prompt->close();
    if (m_parts.panel)
        m_parts.panel->show(this, m_accumulatedSeconds == 0);
    m_ticker.start();
}

void SessionController::failSetup(const QString &text)
{
    setLastError(text);
    abandonSetup();
}

void SessionController::abandonSetup()
{
    // Whatever connection is still open, this leg's or one a pause left
    // waiting, nobody will use it now.
    if (m_parts.client && m_parts.client->hasTask())
        m_parts.client->close();
    // A session with a transcript stays open so that it can be resumed or
    // saved. One with nothing to keep is over: a resumed leg that heard
    // nothing ends it as a stop would, so meetings are noticed again.
    if (!m_transcript.isEmpty()) {
        setPhase(Phase::Paused);
    } else {
        setPhase(Phase::Idle);
        setStatus(watchingStatus);
        if (m_parts.detector)
            m_parts.detector->setSuppressed(false);
    }
    // A start asked for from the tray or the command line has no window of
    // its own: the panel carries the sentence to where the user looks.
    if (m_parts.panel && m_lastError && !m_lastError->isEmpty())
        m_parts.panel->show(this, true);
}

void SessionController::onLinkMessage(quint64 link, const SonioxMessage &message)
{
    // Words of any leg of this session count, also those a closing leg
    // still delivers; an earlier session's never do.
    if (m_sessionFirstLink != 0 && link >= m_sessionFirstLink)
        m_transcript.apply(message);
}

void SessionController::onLinkFailed(quint64 link, const QString &text)
{
    // A late report of an earlier leg's connection says nothing about this one.
    if (link == 0 || link != m_legLink)
        return;
    setLastError(text);
    if (m_phase == Phase::Starting)
        m_pending.connectionFailed = true;
    if (m_phase != Phase::Listening)
        return;
    endLeg(Phase::Paused);
    setStatus(pausedStatus);
    if (m_parts.mic)
        m_parts.mic->stop();
    if (m_parts.client)
        m_parts.client->close();
    // Nothing heard yet: a paused "0:00" would only offer to save nothing.
    if (m_transcript.isEmpty())
        abandonSetup();
}

void SessionController::onMicFailed(quint64 leg)
{
    // A device that stopped under an earlier leg, or during a pause, says
    // nothing about this one.
    if (leg != m_leg || m_phase != Phase::Listening)
        return;
    // Ends as a pause does, so the words already spoken still arrive.
    pauseListening();
    setLastError(micStoppedText);
}

void SessionController::endLeg(Phase next)
{
    setPhase(next);
    m_ticker.stop();
    if (m_legStartedAt) {
        const QDateTime now = Clock::now();
        m_accumulatedSeconds += wholeSecondsBetween(*m_legStartedAt, now);
        if (m_parts.journal)
            m_parts.journal->endLeg(now, m_accumulatedSeconds);
    }
    m_legStartedAt.reset();
    refreshElapsed();
    if (m_parts.mic)
        m_parts.mic->stop();
}

QCoro::Task<> SessionController::closeLegAfterFinalize(quint64 leg, std::chrono::milliseconds wait)
{
    QPointer<SessionController> self(this);
    const quint64 session = m_session;
    if (m_parts.client && m_parts.client->hasTask())
        m_parts.client->sendText(QString::fromLatin1(TranscriptionLink::finalizeRequest));
    co_await QCoro::sleepFor(wait);
    if (!self)
        co_return;
    // Resumed meanwhile: the new leg owns the connection now (it closes the
    // old one itself) and the session goes on, so there is nothing to finish.
    if (m_leg != leg)
        co_return;
    const bool save = m_pending.saveWhenClosed;
    if (m_parts.client)
        m_parts.client->close();
    if (save)
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

void SessionController::finishSession()
{
    setPhase(Phase::Idle);
    setStatus(watchingStatus);
    if (m_parts.detector)
        m_parts.detector->setSuppressed(false);
    if (m_parts.panel && !m_parts.panel->expanded())
        m_parts.panel->hide();
}

qint64 SessionController::legSeconds() const
{
    return m_legStartedAt ? wholeSecondsBetween(*m_legStartedAt, Clock::now()) : 0;
}

void SessionController::refreshElapsed()
{
    setElapsed(elapsedText(m_accumulatedSeconds + legSeconds()));
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
    if (!source || m_isListening || m_isPaused || !m_parts.prompt)
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
        setLastError(nothingToSaveText);
        co_return;
    }

    QPointer<SessionController> self(this);
    const quint64 session = m_session;
    setPhase(Phase::Uploading);
    setSaveState(SaveState::saving());

    ZarnoSettings settings = ZarnoSettings::load();
    if (m_recovered) {
        settings.languageA = m_recovered->languageA;
        settings.languageB = m_recovered->languageB;
        settings.transcriptOnly = m_recovered->transcriptOnly;
    }
    std::optional<QString> token;
    if (m_parts.auth)
        token = co_await m_parts.auth->validAccessToken();
    if (!self)
        co_return;
    if (!token || !settings.baseURL()) {
        uploadFailed(saveSignInText, false);
        co_return;
    }
    const std::optional<QUrl> url = settings.serviceURL(QStringLiteral("/api/sessions"));
    if (!url) {
        uploadFailed(badServerURLText, false);
        co_return;
    }

    const QJsonObject body = notesBody(saved, NotesSession{m_sessionStartedAt, m_sourceClientId}, settings);
    const UploadOutcome outcome = co_await uploadNotes(m_network, *url, *token,
                                                       QJsonDocument(body).toJson(QJsonDocument::Compact),
                                                       m_parts.timing.requestTimeout);
    if (!self || outcome.kind == UploadOutcome::Kind::Abandoned)
        co_return;
    if (outcome.kind == UploadOutcome::Kind::Failed) {
        uploadFailed(saveFailedText, true);
        co_return;
    }

    const bool startNext = m_pending.startAfterUpload;
    setPhase(Phase::Idle);
    setSavedSessionId(outcome.sessionId);
    if (session != m_session)
        co_return; // the notes are saved; the newer session keeps its own state
    if (m_parts.journal)
        m_parts.journal->discard();
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
    setIsListening(preview.isListening);
    setIsPaused(preview.isPaused);
    setStatus(preview.isListening ? listeningStatus : preview.isPaused ? pausedStatus : watchingStatus);
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
    setIsListening(phase == Phase::Listening);
    setIsPaused(phase == Phase::Closing || phase == Phase::Paused);
    Q_EMIT phaseChanged(phase);
}

void SessionController::setIsListening(bool value)
{
    if (m_isListening == value)
        return;
    m_isListening = value;
    Q_EMIT isListeningChanged(value);
}

void SessionController::setIsPaused(bool value)
{
    if (m_isPaused == value)
        return;
    m_isPaused = value;
    Q_EMIT isPausedChanged(value);
}

void SessionController::setStatus(const QString &value)
{
    if (m_status == value)
        return;
    m_status = value;
    Q_EMIT statusChanged(value);
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
    Q_EMIT lastErrorChanged();
}

void SessionController::setElapsed(const QString &value)
{
    if (m_elapsed == value)
        return;
    m_elapsed = value;
    Q_EMIT elapsedChanged(value);
}

void SessionController::setSaveState(const SaveState &value)
{
    if (m_saveState == value)
        return;
    m_saveState = value;
    if (m_saveState.kind() == SaveState::Kind::Failed && !m_saveState.message().isEmpty())
        qCWarning(lcSession).noquote() << "Saving the notes failed:" << m_saveState.message();
    Q_EMIT saveStateChanged();
}

void SessionController::setSavedSessionId(std::optional<QString> value)
{
    if (m_savedSessionId == value)
        return;
    m_savedSessionId = std::move(value);
    Q_EMIT savedSessionIdChanged();
}
