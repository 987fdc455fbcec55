// A session's legs: connecting, starting the microphone, and ending a leg
// when it is paused, stopped or fails.
#include "sessioncontroller.h"

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
        // A sign-in kept through a failed renewal says why; a settings file
        // that cannot be read is named; otherwise there is no sign-in.
        std::optional<QString> problem = m_parts.auth ? m_parts.auth->renewalProblem() : std::nullopt;
        if (!problem)
            problem = ZarnoSettings::storeProblem();
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
        if (m_parts.detector)
            m_parts.detector->setSuppressed(false);
    }
    // A start asked for from the tray or the command line has no window of
    // its own: the panel carries the sentence to where the user looks.
    if (m_parts.panel && m_lastError && !m_lastError->isEmpty())
        m_parts.panel->show(this, true);
}

void SessionController::onLinkUpdate(quint64 link, const TranscriptUpdate &update)
{
    // Words of any leg of this session count, also those a closing leg
    // still delivers; an earlier session's never do.
    if (m_sessionFirstLink != 0 && link >= m_sessionFirstLink)
        m_transcript.apply(update);
    if (update.finalizeDone || update.finished)
        m_finalWords.answered(link);
    // Words that come after the time turned bring its tick forward.
    if (m_ticker.isActive() && elapsedText(m_accumulatedSeconds + legSeconds()) != m_elapsed)
        tick();
}

void SessionController::onLinkFailed(quint64 link, const QString &text)
{
    // A broken connection has said all it will: a leg waiting for its
    // final words ends now.
    m_finalWords.answered(link);
    // A late report of an earlier leg's connection says nothing about this one.
    if (link == 0 || link != m_legLink)
        return;
    setLastError(text);
    if (m_phase == Phase::Starting)
        m_pending.connectionFailed = true;
    if (m_phase != Phase::Listening)
        return;
    endLeg(Phase::Paused);
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
    m_ticker.stop();
    if (m_phase == Phase::Listening) {
        const QDateTime now = Clock::now();
        m_accumulatedSeconds += wholeSecondsBetween(m_legStartedAt, now);
        if (m_parts.journal)
            m_parts.journal->endLeg(now, m_accumulatedSeconds);
    }
    setPhase(next);
    refreshElapsed();
    if (m_parts.mic)
        m_parts.mic->stop();
}

QCoro::Task<> SessionController::closeLegAfterFinalize(quint64 leg)
{
    QPointer<SessionController> self(this);
    const quint64 session = m_session;
    if (m_parts.client && m_parts.client->hasTask()) {
        // Words said until the microphone stopped are still on their way:
        // the server says when the last of them has come.
        m_parts.client->finalize();
        co_await m_finalWords.wait(m_legLink, m_parts.timing.finalizeLimit);
        if (!self)
            co_return;
    }
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
