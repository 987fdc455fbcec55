#pragma once

#include "accesstokens.h"
#include "finalizewait.h"
#include "microphone.h"
#include "sessionhooks.h"
#include "sidetimeline.h"
#include "transcriptionlink.h"
#include "transcriptupdate.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <chrono>
#include <map>
#include <memory>

// What a leg works with; all of it belongs to whoever runs the session, and
// any of it may be missing.
struct LegParts
{
    TranscriptionLink *link = nullptr;
    Microphone *mic = nullptr;
    MicPermission *permission = nullptr;
    AccessTokenSource *auth = nullptr;
    SignInHarvestHook *harvest = nullptr;
    std::chrono::milliseconds harvestWait{300};
    std::chrono::milliseconds finalizeLimit{2000};
    std::chrono::milliseconds micTimeout{4000};
};

// One leg of a session at a time: the token and address, the link, the
// microphone, and the wait for the final words after a pause or stop. The
// session's phase and what is shown stay with its owner, which hears of the
// leg through the results and signals below.
class LegRunner : public QObject
{
    Q_OBJECT

public:
    static inline const QString notSignedInText =
        QStringLiteral("Not signed in yet — Open zarno, log in inside that window once, then try again.");
    static inline const QString badServerURLText = QStringLiteral("Server URL is not valid.");
    static inline const QString micPermissionText = QStringLiteral(
        "zarno can't hear you yet — allow the microphone in System Settings → Privacy & Security → Microphone.");
    static inline const QString micFailedPrefix = QStringLiteral("Microphone failed: ");

    // How a start ended: Ready with the link open and the microphone
    // running; Failed with the sentence that says why; Gone when the runner
    // went away meanwhile.
    struct Start
    {
        enum class Kind { Ready, Failed, Gone };
        Kind kind = Kind::Gone;
        QString sentence;
    };

    explicit LegRunner(LegParts parts, QObject *parent = nullptr);
    ~LegRunner() override;

    // A new session: words of an earlier session's connections are no longer its own.
    void beginSession() { m_sessionFirstLink = 0; }
    // Sets a new leg up; a pause or stop still waiting to close the previous
    // connection gives way to it.
    [[nodiscard]] QCoro::Task<Start> start();
    // Stops the microphone; the link stays for the final words.
    void stopMic();
    // Drops the leg at once: no final words are waited for.
    void drop();
    // Closes whatever connection is still open, this leg's or one a pause
    // left waiting: nobody will use it now.
    void closeLink();
    // After a pause or stop: asks for the final words, waits for them (at
    // most finalizeLimit) and closes the link. False when a newer leg took
    // the link over meanwhile, or the runner went away.
    [[nodiscard]] QCoro::Task<bool> finish();

Q_SIGNALS:
    // Words of any leg of this session, also those a closing leg still delivers.
    void updated(const TranscriptUpdate &update);
    // The current leg's link broke, with its sentence.
    void linkFailed(const QString &sentence);
    // The current leg's microphone stopped.
    void micFailed();

private:
    QCoro::Task<std::optional<QString>> openLink();
    QCoro::Task<std::optional<QString>> micAllowed();
    QCoro::Task<std::optional<QString>> startMic();
    void onLinkUpdate(quint64 link, const TranscriptUpdate &update);
    void onLinkFailed(quint64 link, const QString &text);

    LegParts m_parts;
    FinalizeWait m_finalWords;
    // Identities, so that a late step of an earlier leg never acts on a newer one.
    quint64 m_leg = 0;
    // The numbers of the link's connections: the current leg's, and the
    // first of this session (later ones belong to it too).
    quint64 m_legLink = 0;
    quint64 m_sessionFirstLink = 0;
    // How each side sounded on the connections whose words may still come:
    // this leg's and the one before it.
    struct Heard
    {
        std::shared_ptr<SideTimeline> timeline;
        HeardBefore last;
    };
    std::map<quint64, Heard> m_heard;
};
