#pragma once

#include "micactivity.h"
#include "runningapps.h"
#include "sessionhooks.h"

#include <memory>

// Notices signs that a meeting starts — a meeting program launching (or
// already running at start), or the default microphone starting to record —
// and publishes where it came from in detectedApp. Lives on the GUI thread
// for the life of the process; there is no start or stop.
class MeetingDetector : public MeetingWatch
{
    Q_OBJECT

public:
    // What a detection says when nothing more specific is known.
    [[nodiscard]] static QString genericSource();
    // A browser is frontmost but gives no name.
    static inline const QString unnamedBrowserSource = QStringLiteral("your browser");

    // Watches this machine: /proc and the PulseAudio default source.
    explicit MeetingDetector(QObject *parent = nullptr);
    // Watches what it is given; a missing microphone watch means none.
    MeetingDetector(std::unique_ptr<RunningApps> apps, std::unique_ptr<MicActivity> mic, QObject *parent = nullptr);
    ~MeetingDetector() override;

    [[nodiscard]] std::optional<QString> detectedApp() const override { return m_detectedApp; }
    void setDetectedApp(std::optional<QString> app) override;
    [[nodiscard]] bool suppressed() const override { return m_suppressed; }
    void setSuppressed(bool suppressed) override;

    // Whether a microphone is being watched, and its state at the last look.
    [[nodiscard]] bool micWatched() const { return m_micWatched; }
    [[nodiscard]] bool micWasActive() const { return m_micWasActive; }

    // Who is most likely behind a microphone that just started: a running
    // meeting program, else the frontmost browser, else the generic text.
    [[nodiscard]] QString attributedSource() const;

    [[nodiscard]] RunningApps *runningApps() const { return m_apps.get(); }

private:
    void onLaunched(const RunningApp &app);
    void micActivityChanged(bool active);

    std::unique_ptr<RunningApps> m_apps;
    std::unique_ptr<MicActivity> m_mic;
    std::optional<QString> m_detectedApp;
    bool m_suppressed = false;
    bool m_micWatched = false;
    bool m_micWasActive = false;
};
