#include "meetingdetector.h"

#include "pulsemicactivity.h"

#include <QTimer>

QString MeetingDetector::genericSource()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("a call on this Mac");
#else
    return QStringLiteral("A program is using the microphone");
#endif
}

MeetingDetector::MeetingDetector(QObject *parent)
    : MeetingDetector(std::make_unique<RunningApps>(), std::make_unique<PulseMicActivity>(), parent)
{
}

MeetingDetector::MeetingDetector(std::unique_ptr<RunningApps> apps, std::unique_ptr<MicActivity> mic, QObject *parent)
    : MeetingWatch(parent)
    , m_apps(std::move(apps))
    , m_mic(std::move(mic))
{
    if (m_apps)
        QObject::connect(m_apps.get(), &RunningApps::launched, this, &MeetingDetector::onLaunched);

    if (m_apps) {
        for (const RunningApp &app : m_apps->running()) {
            if (const auto name = MeetingApps::meetingAppName(app.bundleIdentifier)) {
                m_detectedApp = *name;
                break;
            }
        }
    }
    // Whoever subscribes right after construction still hears of a meeting
    // program that was already running.
    if (m_detectedApp) {
        QTimer::singleShot(0, this, [this] {
            if (m_detectedApp)
                Q_EMIT detectedAppChanged();
        });
    }

    if (m_mic) {
        QObject::connect(m_mic.get(), &MicActivity::started, this, [this](bool active) {
            m_micWatched = true;
            m_micWasActive = active;
        });
        QObject::connect(m_mic.get(), &MicActivity::looked, this, &MeetingDetector::micActivityChanged);
        QObject::connect(m_mic.get(), &MicActivity::unavailable, this, [this] {
            m_micWatched = false;
            m_micWasActive = false;
        });
    }
}

MeetingDetector::~MeetingDetector() = default;

void MeetingDetector::setDetectedApp(std::optional<QString> app)
{
    m_detectedApp = std::move(app);
    Q_EMIT detectedAppChanged();
}

void MeetingDetector::setSuppressed(bool suppressed)
{
    m_suppressed = suppressed;
    // Launches are ignored meanwhile, so the proc file system needs no looks.
    if (m_apps)
        m_apps->setPaused(suppressed);
}

void MeetingDetector::onLaunched(const RunningApp &app)
{
    const auto name = MeetingApps::meetingAppName(app.bundleIdentifier);
    if (!name || m_suppressed)
        return;
    // Published even when a name is pending: the same or another program
    // launching is worth a new prompt.
    setDetectedApp(*name);
}

void MeetingDetector::micActivityChanged(bool active)
{
    if (!m_micWatched)
        return;
    if (active && !m_micWasActive && !m_suppressed && !m_detectedApp) {
        m_micWasActive = true;
        setDetectedApp(attributedSource());
        return;
    }
    m_micWasActive = active;
}

QString MeetingDetector::attributedSource() const
{
    if (m_apps) {
        for (const RunningApp &app : m_apps->running()) {
            if (const auto name = MeetingApps::meetingAppName(app.bundleIdentifier))
                return *name;
        }
    }
    // The sound server knows who records: better than guessing from the
    // window in front.
    if (m_mic && !m_mic->recorder().isEmpty())
        return m_mic->recorder();
    if (!m_apps)
        return genericSource();
    if (const auto front = m_apps->frontmost(); front && MeetingApps::isBrowser(front->bundleIdentifier))
        return front->localizedName.isEmpty() ? unnamedBrowserSource : front->localizedName;
    return genericSource();
}
