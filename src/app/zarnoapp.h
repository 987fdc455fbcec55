#pragma once

#include "sessioncontroller.h"
#include "sessionhooks.h"
#include "singleinstance.h"
#include "usersettings.h"

#include <QCoroTask>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <QSystemTrayIcon>

// Moments of start-up (socket, tray, main window) in ms of the monotonic
// clock, logged at info level when QT_LOGGING_RULES enables it; for
// bench_startup.
Q_DECLARE_LOGGING_CATEGORY(lcStartup)
void markStartup(const char *moment);

class AuthSession;
class QMenu;
class QWidget;

// The running application: one session controller for the life of the
// process, wired to the real microphone, connection, sign-in, detector and
// panels; the tray icon with its menu panel; the main window; and the
// commands a second launch hands over.
class ZarnoApp : public QObject, public MainWindowHook
{
    Q_OBJECT

public:
    static constexpr int openWindowDelayMs = 400;

    // What the tray icon adds to the logo: nothing while idle.
    enum class TrayMark { None, Recording, Paused };
    [[nodiscard]] static QIcon trayIcon(TrayMark mark);

    explicit ZarnoApp(QObject *parent = nullptr);
    ~ZarnoApp() override;

    // Shows the tray icon and, shortly after, the main window (unless
    // started at login, when zarno waits in the tray).
    void start(bool openWindow = true);

    [[nodiscard]] SessionController &state() { return *m_state; }

    // What a second launch asks for: nothing (reopen), a "zarno:" address,
    // or one of the verbs start, pause, resume, stop, show and status.
    // Answers with a sentence about the session as it then stands.
    QCoro::Task<QString> handle(QStringList arguments);
    [[nodiscard]] QString describe() const;

    // The main window.
    void load(const QUrl &url) override;
    void open() override;
    void openMenuPanel();
    // The settings window, brought forward when already open.
    void openSettings();
    // The tray icon's context menu (made with the tray; absent before start()).
    [[nodiscard]] QMenu *trayMenu() const { return m_trayMenu.get(); }

private:
    void makeTray();
    void makeTrayMenu();
    void refreshTray();
    void openAppPage();
    QCoro::Task<> settle();

    // Outlives the session, whose microphone tells it when the call's sound is missing.
    UserSettings m_settings;
    std::unique_ptr<SessionController> m_state;
    QPointer<QWidget> m_window;
    QPointer<QWidget> m_menuPopup;
    QPointer<QWidget> m_settingsWindow;
    QSystemTrayIcon *m_tray = nullptr;
    std::unique_ptr<QMenu> m_trayMenu;
};
