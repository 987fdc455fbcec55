#include "legrunner.h"

#include "settings.h"

#include <QCoroTimer>
#include <QPointer>

LegRunner::LegRunner(LegParts parts, QObject *parent)
    : QObject(parent)
    , m_parts(parts)
{
    // The link reports from its own thread; these connections bring its
    // results to this one, in the order they came.
    if (m_parts.link) {
        QObject::connect(m_parts.link, &TranscriptionLink::updateReceived, this, &LegRunner::onLinkUpdate);
        QObject::connect(m_parts.link, &TranscriptionLink::failed, this, &LegRunner::onLinkFailed);
    }
}

LegRunner::~LegRunner()
{
    // Nothing must call back into a runner that is going away.
    if (m_parts.link) {
        m_parts.link->disconnect(this);
        m_parts.link->close();
    }
    if (m_parts.mic) {
        m_parts.mic->setOnChunk({});
        m_parts.mic->setOnFailure({});
        m_parts.mic->setOnSides({});
        m_parts.mic->stop();
    }
}

QCoro::Task<LegRunner::Start> LegRunner::start()
{
    QPointer<LegRunner> self(this);
    ++m_leg;
    m_legLink = 0;
    if (m_parts.harvest)
        m_parts.harvest->harvest();
    co_await QCoro::sleepFor(m_parts.harvestWait);
    if (!self)
        co_return Start{};
    std::optional<QString> problem = co_await openLink();
    if (!self)
        co_return Start{};
    if (!problem)
        problem = co_await micAllowed();
    if (!self)
        co_return Start{};
    if (!problem)
        problem = co_await startMic();
    if (!self)
        co_return Start{};
    if (problem)
        co_return Start{Start::Kind::Failed, *problem};
    co_return Start{Start::Kind::Ready, QString()};
}

QCoro::Task<std::optional<QString>> LegRunner::openLink()
{
    QPointer<LegRunner> self(this);
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
        co_return problem.value_or(notSignedInText);
    }
    const std::optional<QUrl> url = settings.transcribeURL(*token);
    if (!url)
        co_return badServerURLText;
    if (m_parts.link) {
        // A pause or stop may still be waiting to close the previous
        // connection; the new leg's connection must never be the one it closes.
        if (m_parts.link->hasTask())
            m_parts.link->close();
        m_legLink = m_parts.link->open(*url);
        if (m_sessionFirstLink == 0)
            m_sessionFirstLink = m_legLink;
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> LegRunner::micAllowed()
{
    if (!m_parts.permission)
        co_return std::nullopt;
    QPointer<LegRunner> self(this);
    bool granted = false;
    switch (m_parts.permission->status()) {
    case MicPermission::Status::Authorized:
        co_return std::nullopt;
    case MicPermission::Status::NotDetermined:
        granted = co_await m_parts.permission->request();
        if (!self)
            co_return std::nullopt;
        break;
    case MicPermission::Status::Restricted:
    case MicPermission::Status::Denied:
        break;
    }
    if (granted)
        co_return std::nullopt;
    if (m_parts.link)
        m_parts.link->close();
    co_return micPermissionText;
}

QCoro::Task<std::optional<QString>> LegRunner::startMic()
{
    if (!m_parts.mic)
        co_return micFailedPrefix + QStringLiteral("No audio input device available");
    QPointer<LegRunner> self(this);
    TranscriptionLink *link = m_parts.link;
    m_parts.mic->setOnChunk([link](const QByteArray &chunk) {
        // The link outlives the runner, which clears this handler before it goes.
        if (link)
            link->send(chunk);
    });
    // The connection's audio starts with the first chunk sent on it, and so
    // does its timeline of sides.
    auto timeline = std::make_shared<SideTimeline>();
    if (m_legLink != 0) {
        while (m_heard.size() > 1)
            m_heard.erase(m_heard.begin());
        m_heard[m_legLink] = Heard{timeline, {}};
    }
    m_parts.mic->setOnSides([timeline](const ChunkSides &sides) { timeline->add(sides); });
    // From the microphone's thread; the microphone calls nothing once the
    // runner has cleared this handler.
    m_parts.mic->setOnFailure([this, leg = m_leg](const MicError &) {
        QMetaObject::invokeMethod(
            this,
            [this, leg] {
                // A device that stopped under an earlier leg says nothing about this one.
                if (leg == m_leg)
                    Q_EMIT micFailed();
            },
            Qt::QueuedConnection);
    });
    const std::optional<MicError> failure = co_await m_parts.mic->start(m_parts.micTimeout);
    if (!self || !failure)
        co_return std::nullopt;
    if (m_parts.link)
        m_parts.link->close();
    co_return micFailedPrefix + failure->description;
}

void LegRunner::stopMic()
{
    if (m_parts.mic)
        m_parts.mic->stop();
}

void LegRunner::drop()
{
    stopMic();
    if (m_parts.link)
        m_parts.link->close();
}

void LegRunner::closeLink()
{
    if (m_parts.link && m_parts.link->hasTask())
        m_parts.link->close();
}

QCoro::Task<bool> LegRunner::finish()
{
    QPointer<LegRunner> self(this);
    const quint64 leg = m_leg;
    if (m_parts.link && m_parts.link->hasTask()) {
        // Words said until the microphone stopped are still on their way:
        // the server says when the last of them has come.
        m_parts.link->finalize();
        co_await m_finalWords.wait(m_legLink, m_parts.finalizeLimit);
        if (!self)
            co_return false;
    }
    // Resumed meanwhile: the new leg owns the link now (it closes the old
    // connection itself) and the session goes on.
    if (m_leg != leg)
        co_return false;
    if (m_parts.link)
        m_parts.link->close();
    co_return true;
}

void LegRunner::onLinkUpdate(quint64 link, const TranscriptUpdate &update)
{
    // An earlier session's words never count.
    if (m_sessionFirstLink != 0 && link >= m_sessionFirstLink) {
        TranscriptUpdate marked = update;
        const auto heard = m_heard.find(link);
        HeardBefore unknown;
        markSides(marked.pieces, heard == m_heard.end() ? nullptr : heard->second.timeline.get(),
                  heard == m_heard.end() ? unknown : heard->second.last);
        Q_EMIT updated(marked);
    }
    if (update.finalizeDone || update.finished)
        m_finalWords.answered(link);
}

void LegRunner::onLinkFailed(quint64 link, const QString &text)
{
    // A broken connection has said all it will: a leg waiting for its
    // final words ends now.
    m_finalWords.answered(link);
    // A late report of an earlier leg's connection says nothing about this one.
    if (link != 0 && link == m_legLink)
        Q_EMIT linkFailed(text);
}
