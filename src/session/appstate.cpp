#include "appstate.h"

#include "clock.h"
#include "settings.h"

#include <QCoroNetworkReply>
#include <QCoroTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimeZone>
#include <QCoreApplication>
#include <QScopeGuard>
#include <QUuid>

#include <algorithm>
#include <array>

namespace {

constexpr std::array<char16_t, 7> sentenceEndChars = {
    u'.', u'?', u'!', u'\u3002', u'\uFF1F', u'\uFF01', u'\u2026',
};

constexpr std::array<char16_t, 7> closerChars = {
    u'"', u'\u201D', u'\u2019', u'\'', u')', u'\u300D', u'\u300F',
};

bool endsWithOneOf(QStringView text, std::span<const char16_t> set)
{
    return std::any_of(set.begin(), set.end(), [text](char16_t c) { return endsWithCharacter(text, c); });
}

// Spaces and tabs only: a line break inside a saved line is kept.
QString trimmedHorizontally(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto horizontal = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && horizontal(text.at(begin)))
        ++begin;
    while (end > begin && horizontal(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin);
}

qint64 wholeSecondsBetween(const QDateTime &from, const QDateTime &to)
{
    return from.msecsTo(to) / 1000; // truncated toward zero
}

} // namespace

AppState::AppState(QObject *parent)
    : AppState(AppStateParts{}, parent)
{
}

AppState::AppState(AppStateParts parts, QObject *parent)
    : QObject(parent)
    , m_parts(std::move(parts))
    , m_network(new QNetworkAccessManager(this))
{
    m_ticker.setInterval(m_parts.timing.tick);
    QObject::connect(&m_ticker, &QTimer::timeout, this, &AppState::refreshElapsed);
    if (m_parts.detector)
        QObject::connect(m_parts.detector.get(), &MeetingWatch::detectedAppChanged, this, &AppState::onMeetingDetected);
}

AppState::~AppState()
{
    // Nothing must call back into a controller that is going away.
    if (m_parts.client) {
        m_parts.client->setOnMessage({});
        m_parts.client->setOnError({});
        m_parts.client->close();
    }
    if (m_parts.mic) {
        m_parts.mic->setOnChunk({});
        m_parts.mic->stop();
    }
}

// --- Session operations ----------------------------------------------------

void AppState::startListening()
{
    if (m_isListening || m_isPaused || m_starting)
        return;
    if (m_uploading) {
        // The last session's notes are not safe yet: starting now would
        // clear them. Start once they are saved; a failure keeps them here.
        m_startAfterUpload = true;
        return;
    }
    ++m_session;
    setLastError(std::nullopt);
    setSaveState(SaveState::idle());
    clearTranscript();
    m_accumulatedSeconds = 0;
    const QDateTime now = Clock::now();
    m_sessionStartedAt = now;
    m_sourceClientId = makeSourceClientId(now);
    setElapsed(elapsedText(0));
    startLeg();
}

void AppState::pauseListening()
{
    if (!m_isListening)
        return;
    endLeg();
    setStatus(pausedStatus);
    closeLegAfterFinalize(m_leg, m_parts.timing.pauseWait);
}

void AppState::resumeListening()
{
    if (!m_isPaused || m_isListening || m_starting)
        return;
    setLastError(std::nullopt);
    setIsPaused(false);
    // A pause or stop still waiting gives way to the new leg.
    m_closing = false;
    m_saveWhenClosed = false;
    startLeg();
}

void AppState::stopAndSave()
{
    if (m_isListening) {
        endLeg();
        m_saveWhenClosed = true;
        closeLegAfterFinalize(m_leg, m_parts.timing.stopWait);
    } else if (m_isPaused) {
        // A pause or stop still waiting for its final words saves them too;
        // a second press while it waits changes nothing.
        if (m_closing)
            m_saveWhenClosed = true;
        else if (!m_uploading)
            finishAndSave(m_session);
    } else if (m_saveState.kind() == SaveState::Kind::Failed && !m_starting && !m_uploading) {
        // "Save again" after a failure that left the transcript without a
        // session around it (no sign-in, unusable address).
        saveSession();
    }
}

void AppState::openSavedNotes()
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

QCoro::Task<> AppState::startLeg()
{
    QPointer<AppState> self(this);
    const quint64 session = m_session;
    const quint64 leg = ++m_leg;
    m_starting = true;
    m_connectionFailedDuringSetup = false;

    if (m_parts.harvest)
        m_parts.harvest->harvest();
    co_await QCoro::sleepFor(m_parts.timing.harvestWait);
    if (!self)
        co_return;

    const ZarnoSettings settings = ZarnoSettings::load();
    std::optional<QString> token;
    if (m_parts.auth)
        token = co_await m_parts.auth->validAccessToken();
    if (!self)
        co_return;
    if (!token) {
        setLastError(notSignedInText);
        abandonSetup();
        co_return;
    }
    const std::optional<QUrl> url = settings.transcribeURL(*token);
    if (!url) {
        setLastError(badServerURLText);
        abandonSetup();
        co_return;
    }

    if (m_parts.client) {
        // A pause or stop may still be waiting to close the previous
        // connection; the new leg's connection must never be the one it closes.
        if (m_parts.client->hasTask())
            m_parts.client->close();
        installClientHandlers(session, leg);
        m_parts.client->connect(*url);
    }

    if (m_parts.permission) {
        switch (m_parts.permission->status()) {
        case MicPermission::Status::Authorized:
            break;
        case MicPermission::Status::NotDetermined: {
            const bool granted = co_await m_parts.permission->request();
            if (!self)
                co_return;
            if (!granted) {
                failMicPermission();
                co_return;
            }
            break;
        }
        case MicPermission::Status::Restricted:
        case MicPermission::Status::Denied:
            failMicPermission();
            co_return;
        }
    }

    if (!m_parts.mic) {
        setLastError(micFailedPrefix + QStringLiteral("No audio input device available"));
        abandonSetup();
        co_return;
    }
    TranscriptionLink *client = m_parts.client.get();
    m_parts.mic->setOnChunk([client](const QByteArray &chunk) {
        // The client lives as long as the controller, which clears this
        // handler before either goes away.
        if (client)
            client->send(chunk);
    });
    const std::optional<MicError> failure = co_await m_parts.mic->start(m_parts.timing.micTimeout);
    if (!self)
        co_return;
    if (!failure && m_connectionFailedDuringSetup) {
        // The server already refused this leg (its sentence is shown): a
        // running microphone would only pretend to listen.
        m_parts.mic->stop();
        if (m_parts.client)
            m_parts.client->close();
        abandonSetup();
        co_return;
    }
    if (failure) {
        setLastError(micFailedPrefix + failure->description);
        if (m_parts.client)
            m_parts.client->close();
        abandonSetup();
        co_return;
    }

    m_starting = false;
    setIsListening(true);
    setIsPaused(false);
    setStatus(listeningStatus);
    m_legStartedAt = Clock::now();
    if (m_parts.detector)
        m_parts.detector->setSuppressed(true);
    if (m_parts.prompt)
        m_parts.prompt->close();
    if (m_parts.panel)
        m_parts.panel->show(this, m_accumulatedSeconds == 0);
    m_ticker.start();
}

void AppState::abandonSetup()
{
    m_starting = false;
    // Whatever connection is still open, this leg's or one a pause left
    // waiting, nobody will use it now.
    if (m_parts.client && m_parts.client->hasTask())
        m_parts.client->close();
    // A session with a transcript stays open so that it can be resumed or
    // saved; a first leg that never ran leaves nothing to keep.
    setIsPaused(!m_lines.isEmpty());
}

void AppState::failMicPermission()
{
    if (m_parts.client)
        m_parts.client->close();
    setLastError(micPermissionText);
    abandonSetup();
}

void AppState::installClientHandlers(quint64 session, quint64 leg)
{
    QPointer<AppState> self(this);
    // The handlers run on the client's thread: hop to the GUI thread, in
    // arrival order, before touching anything.
    m_parts.client->setOnMessage([self, session](const SonioxMessage &message) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, session, message] {
                if (self && self->m_session == session)
                    self->apply(message);
            },
            Qt::QueuedConnection);
    });
    m_parts.client->setOnError([self, leg](const QString &text) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, leg, text] {
                if (self)
                    self->handleClientError(leg, text);
            },
            Qt::QueuedConnection);
    });
}

void AppState::handleClientError(quint64 leg, const QString &text)
{
    // A late report of an earlier leg's connection says nothing about this one.
    if (leg != m_leg)
        return;
    setLastError(text);
    if (m_starting)
        m_connectionFailedDuringSetup = true;
    if (!m_isListening)
        return;
    endLeg();
    setStatus(pausedStatus);
    if (m_parts.mic)
        m_parts.mic->stop();
    if (m_parts.client)
        m_parts.client->close();
}

void AppState::endLeg()
{
    setIsListening(false);
    setIsPaused(true);
    m_ticker.stop();
    if (m_legStartedAt)
        m_accumulatedSeconds += wholeSecondsBetween(*m_legStartedAt, Clock::now());
    m_legStartedAt.reset();
    refreshElapsed();
    if (m_parts.mic)
        m_parts.mic->stop();
}

QCoro::Task<> AppState::closeLegAfterFinalize(quint64 leg, std::chrono::milliseconds wait)
{
    QPointer<AppState> self(this);
    const quint64 session = m_session;
    m_closing = true;
    if (m_parts.client && m_parts.client->hasTask())
        m_parts.client->sendText(QString::fromLatin1(TranscriptionLink::finalizeRequest));
    co_await QCoro::sleepFor(wait);
    if (!self)
        co_return;
    // Resumed meanwhile: the new leg owns the connection now (it closes the
    // old one itself) and the session goes on, so there is nothing to finish.
    if (m_leg != leg)
        co_return;
    m_closing = false;
    if (m_parts.client)
        m_parts.client->close();
    if (std::exchange(m_saveWhenClosed, false))
        co_await finishAndSave(session);
}

QCoro::Task<> AppState::finishAndSave(quint64 session)
{
    if (session != m_session || m_uploading)
        co_return;
    finishSession();
    co_await saveSession();
}

void AppState::finishSession()
{
    setIsPaused(false);
    setStatus(watchingStatus);
    if (m_parts.detector)
        m_parts.detector->setSuppressed(false);
    if (m_parts.panel && !m_parts.panel->expanded())
        m_parts.panel->hide();
}

qint64 AppState::legSeconds() const
{
    return m_legStartedAt ? wholeSecondsBetween(*m_legStartedAt, Clock::now()) : 0;
}

void AppState::refreshElapsed()
{
    setElapsed(elapsedText(m_accumulatedSeconds + legSeconds()));
}

QString AppState::elapsedText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    return QString::number(seconds / 60) + u':' + QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString AppState::makeSourceClientId(const QDateTime &now)
{
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return QStringLiteral("mac_") + QString::number(now.toSecsSinceEpoch()) + u'_' + uuid.left(5);
}

// --- Meeting detection --------------------------------------------------------

void AppState::onMeetingDetected()
{
    MeetingWatch *detector = m_parts.detector.get();
    const std::optional<QString> source = detector->detectedApp();
    if (!source || m_isListening || m_isPaused || !m_parts.prompt)
        return;
    QPointer<AppState> self(this);
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

QCoro::Task<> AppState::saveSession()
{
    QList<TranscriptLine> saved;
    for (const TranscriptLine &line : std::as_const(m_lines)) {
        if (!trimmedHorizontally(line.text).isEmpty())
            saved.append(line);
    }
    if (saved.isEmpty())
        co_return;

    QPointer<AppState> self(this);
    const quint64 session = m_session;
    m_uploading = true;
    setSaveState(SaveState::saving());

    const ZarnoSettings settings = ZarnoSettings::load();
    std::optional<QString> token;
    if (m_parts.auth)
        token = co_await m_parts.auth->validAccessToken();
    if (!self)
        co_return;
    // A session started meanwhile owns the save state now.
    auto fail = [&](const QString &text, bool pause) {
        m_uploading = false;
        m_startAfterUpload = false; // the transcript stays until it is saved
        setSaveState(SaveState::failed(text));
        if (pause && !m_isListening && !m_starting)
            setIsPaused(true);
    };
    if (!token || !settings.baseURL()) {
        fail(saveSignInText, false);
        co_return;
    }
    const std::optional<QUrl> url = settings.serviceURL(QStringLiteral("/api/sessions"));
    if (!url) {
        fail(badServerURLText, false);
        co_return;
    }

    QJsonArray entries;
    for (const TranscriptLine &line : std::as_const(saved)) {
        entries.append(QJsonObject{
            {QStringLiteral("t"), line.t.toMSecsSinceEpoch()},
            {QStringLiteral("text"), trimmedHorizontally(line.text)},
            {QStringLiteral("lang"), line.lang.value_or(settings.languageB)},
            {QStringLiteral("translated"), line.isTranslation},
        });
    }
    const QDateTime startedAt = m_sessionStartedAt.value_or(saved.first().t);
    const QJsonObject body{
        {QStringLiteral("sourceClientId"),
         m_sourceClientId.value_or(QStringLiteral("mac_") + QString::number(Clock::now().toSecsSinceEpoch()))},
        {QStringLiteral("startedAt"), startedAt.toMSecsSinceEpoch()},
        {QStringLiteral("endedAt"), saved.last().t.toMSecsSinceEpoch()},
        {QStringLiteral("sourceLanguage"), settings.languageA},
        {QStringLiteral("targetLanguage"), settings.languageB},
        {QStringLiteral("onlyTranscript"), settings.transcriptOnly},
        {QStringLiteral("timezone"), QString::fromUtf8(QTimeZone::systemTimeZoneId())},
        {QStringLiteral("entries"), entries},
    };

    QNetworkRequest request(*url);
    request.setTransferTimeout(int(m_parts.timing.requestTimeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + token->toUtf8());
    // The manager owns the reply and may delete it first, when the
    // controller goes away mid-upload.
    QPointer<QNetworkReply> reply = m_network->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    const auto release = qScopeGuard([reply] {
        if (reply)
            reply->deleteLater();
    });
    co_await reply.data();
    if (!self || !reply)
        co_return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        fail(saveFailedText, true);
        co_return;
    }

    m_uploading = false;
    const QJsonDocument answer = QJsonDocument::fromJson(reply->readAll());
    const QJsonValue id = answer.object().value(QStringLiteral("session")).toObject().value(QStringLiteral("id"));
    setSavedSessionId(id.isString() ? std::optional<QString>(id.toString()) : std::nullopt);
    if (session != m_session)
        co_return; // the notes are saved; the newer session keeps its own state
    clearTranscript();
    setSaveState(SaveState::saved());
    if (std::exchange(m_startAfterUpload, false))
        startListening();
    else
        hidePanelLater();
}

QCoro::Task<> AppState::hidePanelLater()
{
    QPointer<AppState> self(this);
    co_await QCoro::sleepFor(m_parts.timing.hideAfterSave);
    if (self && self->m_saveState == SaveState::saved() && !self->m_isListening && !self->m_isPaused
        && !self->m_starting && self->m_parts.panel)
        self->m_parts.panel->hide();
}

// --- Transcript assembly ------------------------------------------------------

std::span<const char16_t> AppState::sentenceEnds()
{
    return sentenceEndChars;
}

std::span<const char16_t> AppState::closers()
{
    return closerChars;
}

bool AppState::endsSentence(QStringView text)
{
    // Read from the end only, so the cost does not grow with the line.
    qsizetype end = text.size();
    while (end > 0 && text[end - 1].isSpace())
        --end;
    while (end > 0 && endsWithOneOf(text.first(end), closerChars))
        --end;
    return end > 0 && endsWithOneOf(text.first(end), sentenceEndChars);
}

void AppState::apply(const SonioxMessage &message)
{
    if (!message.tokens || message.tokens->isEmpty())
        return;
    QString provisional;
    for (const SonioxToken &token : *message.tokens) {
        if (token.isFinal())
            applyFinal(token);
        else
            provisional += token.text;
    }
    setPartial(provisional);
}

void AppState::applyFinal(const SonioxToken &token)
{
    const bool kind = token.isTranslation();
    if (!m_lines.isEmpty()) {
        TranscriptLine &last = m_lines.last();
        const bool breaksHere = m_lastLineLength.count() > lineBreakLength && token.text.startsWith(u' ');
        if (last.isTranslation == kind && !last.complete && !breaksHere) {
            last.text += token.text;
            m_lastLineLength.measure(last.text);
            if (endsSentence(last.text))
                last.complete = true;
            Q_EMIT lastLineChanged(m_lines.size() - 1);
            return;
        }
    }
    m_lines.append(TranscriptLine{
        .id = QUuid::createUuid(),
        .text = token.text,
        .isTranslation = kind,
        .lang = token.language,
        .t = Clock::now(),
        .complete = endsSentence(token.text),
    });
    m_lastLineLength.reset();
    m_lastLineLength.measure(token.text);
    Q_EMIT lineAppended(m_lines.size() - 1);
}

void AppState::clearTranscript()
{
    m_lines.clear();
    m_lastLineLength.reset();
    Q_EMIT linesReset();
    setPartial(QString());
}

void AppState::showPreview(const Preview &preview)
{
    setIsListening(preview.isListening);
    setIsPaused(preview.isPaused);
    setStatus(preview.isListening ? listeningStatus : preview.isPaused ? pausedStatus : watchingStatus);
    m_lines = preview.lines;
    m_lastLineLength.reset();
    if (!m_lines.isEmpty())
        m_lastLineLength.measure(m_lines.last().text);
    Q_EMIT linesReset();
    setPartial(preview.partial);
    setLastError(preview.lastError);
    setElapsed(preview.elapsed);
    setSaveState(preview.saveState);
    setSavedSessionId(preview.savedSessionId);
}

// --- Published state ------------------------------------------------------------

void AppState::setIsListening(bool value)
{
    if (m_isListening == value)
        return;
    m_isListening = value;
    Q_EMIT isListeningChanged(value);
}

void AppState::setIsPaused(bool value)
{
    if (m_isPaused == value)
        return;
    m_isPaused = value;
    Q_EMIT isPausedChanged(value);
}

void AppState::setStatus(const QString &value)
{
    if (m_status == value)
        return;
    m_status = value;
    Q_EMIT statusChanged(value);
}

void AppState::setPartial(const QString &value)
{
    if (m_partial == value)
        return;
    m_partial = value;
    Q_EMIT partialChanged(m_partial);
}

void AppState::setLastError(std::optional<QString> value)
{
    if (m_lastError == value)
        return;
    m_lastError = std::move(value);
    Q_EMIT lastErrorChanged();
}

void AppState::setElapsed(const QString &value)
{
    if (m_elapsed == value)
        return;
    m_elapsed = value;
    Q_EMIT elapsedChanged(value);
}

void AppState::setSaveState(const SaveState &value)
{
    if (m_saveState == value)
        return;
    m_saveState = value;
    Q_EMIT saveStateChanged();
}

void AppState::setSavedSessionId(std::optional<QString> value)
{
    if (m_savedSessionId == value)
        return;
    m_savedSessionId = std::move(value);
    Q_EMIT savedSessionIdChanged();
}
