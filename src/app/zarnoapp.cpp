#include "zarnoapp.h"

#include "authsession.h"
#include "brand.h"
#include "livehud.h"
#include "lucide.h"
#include "meetingdetector.h"
#include "meetingpopup.h"
#include "menubarpopup.h"
#include "menubarview.h"
#include "miccapture.h"
#include "serviceclient.h"
#include "settings.h"
#include "signalwait.h"
#include "settingswindow.h"
#include "systemmicpermission.h"
#include "transcriptionclient.h"
#include "webviewholder.h"
#include "zarnowindow.h"

#include <QApplication>
#include <QCoroSignal>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QCoroTimer>
#include <QMenu>
#include <QPainter>
#include <QSvgRenderer>
#include <QTimer>
#include <QWindow>

Q_LOGGING_CATEGORY(lcStartup, "zarno.startup", QtWarningMsg)

void markStartup(const char *moment)
{
    if (lcStartup().isInfoEnabled()) {
        QElapsedTimer clock;
        clock.start();
        qCInfo(lcStartup, "%s at %lld", moment, static_cast<long long>(clock.msecsSinceReference()));
    }
}

namespace {

// Marks the main window's first appearance on screen.
class FirstExpose : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose) {
            markStartup("window");
            watched->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }
};

SessionParts realParts(UserSettings &settings)
{
    SessionParts parts;
    auto client = std::make_unique<TranscriptionClient>();
    auto mic = std::make_unique<MicCapture>(&UserSettings::chosenInput);
    mic->setSystemSound(&UserSettings::includesCallSound);
    // From the capture's thread; the settings outlive the session that owns the capture.
    mic->setOnNotice([settings = &settings](const QString &sentence) {
        QMetaObject::invokeMethod(
            settings, [settings, sentence] { settings->tellCallSoundMissing(sentence); }, Qt::QueuedConnection);
    });
    // Chunks are sent from the thread they arrive on.
    mic->setLoopContext(client->loopContext());
    parts.client = std::move(client);
    parts.mic = std::move(mic);
    parts.permission = std::make_unique<SystemMicPermission>();
    parts.detector = std::make_unique<MeetingDetector>();
    parts.journal = std::make_unique<SessionJournal>(SessionJournal::defaultPath());
    parts.auth = &AuthSession::shared();
    parts.notes = &AuthSession::shared().client();
    parts.panel = &LiveHUD::shared();
    parts.prompt = &MeetingPopup::shared();
    parts.harvest = &WebViewHolder::shared();
    return parts;
}

} // namespace

// The logo, or the letter "z" without it, with a recording dot while
// listening and a pause mark while paused (trays give a square, too small
// for the time).
QIcon ZarnoApp::trayIcon(TrayMark mark)
{
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (const std::shared_ptr<QSvgRenderer> logo = AppAssets::menuBarLogo()) {
        paintTemplate(painter, *logo, QRectF(6, 6, 52, 52), Brand::ink());
    } else {
        painter.setPen(Brand::ink());
        painter.setFont(Brand::font(40, Brand::Weight::Semibold));
        painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("z"));
    }
    if (mark == TrayMark::None)
        return QIcon(pixmap);
    const QRectF badge(38, 38, 24, 24);
    painter.setPen(QPen(Qt::white, 4));
    painter.setBrush(mark == TrayMark::Recording ? Brand::tomato() : Brand::marigold());
    painter.drawEllipse(badge);
    if (mark == TrayMark::Paused) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        const QPointF c = badge.center();
        painter.drawRoundedRect(QRectF(c.x() - 5.5, c.y() - 6, 4, 12), 1, 1);
        painter.drawRoundedRect(QRectF(c.x() + 1.5, c.y() - 6, 4, 12), 1, 1);
    }
    return QIcon(pixmap);
}

ZarnoApp::ZarnoApp(QObject *parent)
    : QObject(parent)
{
    SessionParts parts = realParts(m_settings);
    parts.window = this;
    m_state = std::make_unique<SessionController>(std::move(parts));
    LiveHUD::shared().attach(m_state.get());
    QObject::connect(&AuthSession::shared(), &AuthSession::renewed, &WebViewHolder::shared(), &WebViewHolder::handOver);
    QObject::connect(&WebViewHolder::shared(), &WebViewHolder::harvested, this, [](const WebSession &session) {
        AuthSession::shared().adoptFromPage(session.accessToken, session.refreshToken, session.expiresAt, session.email);
    });
    // The page and the application share one sign-in: a sign-out in the page
    // signs the application out, and a save shows in the page's list at once.
    QObject::connect(&WebViewHolder::shared(), &WebViewHolder::pageSignedOut, this, [] {
        if (AuthSession::shared().isSignedIn())
            AuthSession::shared().signOut();
    });
    QObject::connect(m_state.get(), &SessionController::changed, this, [this](SessionController::Changes what) {
        if ((what & SessionController::Change::Save) && m_state->saveState() == SaveState::saved())
            WebViewHolder::shared().refreshNotes();
    });
}

ZarnoApp::~ZarnoApp()
{
    delete m_menuPopup;
    delete m_settingsWindow;
    delete m_window;
    WebViewHolder::shared().shutDown();
}

void ZarnoApp::start(bool openWindow)
{
    makeTray();
    m_state->recoverInterruptedSession();
    if (openWindow)
        QTimer::singleShot(openWindowDelayMs, this, [this] { open(); });
}

void ZarnoApp::makeTray()
{
    makeTrayMenu();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return; // the main window's session-controls button stands in
    m_tray = new QSystemTrayIcon(trayIcon(TrayMark::None), this);
    m_tray->setContextMenu(m_trayMenu.get());
    // The meeting prompt never lies over the icon that opens the menu panel.
    MeetingPopup::shared().setKeepClear([tray = QPointer<QSystemTrayIcon>(m_tray)] {
        return tray ? tray->geometry() : QRect();
    });
    // A click opens the menu panel; the other button brings the context menu.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            openMenuPanel();
    });
    connect(m_state.get(), &SessionController::changed, this, &ZarnoApp::refreshTray);
    refreshTray();
    m_tray->show();
    markStartup("tray");
}

void ZarnoApp::makeTrayMenu()
{
    m_trayMenu = std::make_unique<QMenu>();
    QAction *take = m_trayMenu->addAction(QStringLiteral("Take notes"), this, [this] { m_state->startListening(); });
    QAction *pause = m_trayMenu->addAction(QStringLiteral("Pause"), this, [this] { m_state->pauseListening(); });
    QAction *resume = m_trayMenu->addAction(QStringLiteral("Resume"), this, [this] { m_state->resumeListening(); });
    QAction *stop = m_trayMenu->addAction(QStringLiteral("Stop && save"), this, [this] { m_state->stopAndSave(); });
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(QStringLiteral("Open zarno"), this, [this] { open(); });
    m_trayMenu->addAction(QStringLiteral("Settings…"), this, [this] { openSettings(); });
    m_trayMenu->addAction(QStringLiteral("Quit zarno"), this, [] { QCoreApplication::quit(); });
    // Only what the session can do now is offered.
    const auto follow = [this, take, pause, resume, stop] {
        const bool listening = m_state->phase() == SessionController::Phase::Listening;
        const bool paused = SessionController::readsPaused(m_state->phase());
        take->setEnabled(!listening && !paused);
        pause->setEnabled(listening);
        resume->setEnabled(paused);
        stop->setEnabled(listening || paused);
    };
    connect(m_state.get(), &SessionController::changed, m_trayMenu.get(), [follow](SessionController::Changes what) {
        if (what & SessionController::Change::Phase)
            follow();
    });
    follow();
}

void ZarnoApp::refreshTray()
{
    if (!m_tray)
        return;
    const TrayMark mark = m_state->phase() == SessionController::Phase::Listening ? TrayMark::Recording
                          : SessionController::readsPaused(m_state->phase())  ? TrayMark::Paused
                                                 : TrayMark::None;
    if (m_tray->property("mark").toInt() != int(mark) || m_tray->icon().isNull()) {
        m_tray->setIcon(trayIcon(mark));
        m_tray->setProperty("mark", int(mark));
    }
    m_tray->setToolTip(QStringLiteral("zarno — ") + describe().section(u'\n', 0, 0));
}

void ZarnoApp::openMenuPanel()
{
    if (m_menuPopup && m_menuPopup->isVisible()) {
        m_menuPopup->close();
        return;
    }
    delete m_menuPopup;
    MenuBarActions actions;
    actions.openMainWindow = [this] { open(); };
    actions.quit = [] { QCoreApplication::quit(); };
    actions.openSettings = [this] { openSettings(); };
    auto *view = new MenuBarView(*m_state, m_settings, AuthSession::shared(), WebViewHolder::shared(), actions);
    auto *popup = new MenuBarPopup(view);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    m_menuPopup = popup;
    QRect anchor;
    if (m_tray && m_tray->geometry().isValid())
        anchor = m_tray->geometry();
    else if (m_window && m_window->isVisible())
        anchor = QRect(m_window->mapToGlobal(QPoint(0, 0)), QSize(260, 32));
    else
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    popup->showUnder(anchor);
}

void ZarnoApp::open()
{
    if (!m_window) {
        auto *window = new ZarnoWindowView(*m_state, AuthSession::shared(), WebViewHolder::shared());
        connect(window, &ZarnoWindowView::quitRequested, this, [] { QCoreApplication::quit(); });
        connect(window, &ZarnoWindowView::settingsRequested, this, &ZarnoApp::openSettings);
        connect(window, &ZarnoWindowView::sessionControlsRequested, this, [this](const QRect &anchor) {
            openMenuPanel();
            if (auto *popup = qobject_cast<MenuBarPopup *>(m_menuPopup.data()))
                popup->showUnder(anchor);
        });
        m_window = window;
    }
    const bool first = !m_window->windowHandle();
    m_window->show();
    if (first && lcStartup().isInfoEnabled())
        m_window->windowHandle()->installEventFilter(new FirstExpose(m_window));
    m_window->raise();
    m_window->activateWindow();
}

namespace {

// The window's Test stores the address first, so the one service client
// asks the server it names.
QCoro::Task<SettingsWindow::ServerAnswer> askConfiguredServer(QUrl)
{
    const ServiceAnswer answer = co_await AuthSession::shared().client().configuration(std::chrono::seconds(10));
    co_return SettingsWindow::ServerAnswer{answer.reached, answer.status, answer.body};
}

} // namespace

void ZarnoApp::openSettings()
{
    if (!m_settingsWindow) {
        SettingsWindow::Parts parts;
        parts.signedInAs = [] { return AuthSession::shared().email(); };
        parts.signOut = [] {
            AuthSession::shared().signOut();
            WebViewHolder::shared().signOutPage();
        };
        parts.inputs = &SettingsWindow::soundServerInputs;
        parts.askServer = &askConfiguredServer;
        auto *window = new SettingsWindow(m_settings, std::move(parts));
        window->setAttribute(Qt::WA_DeleteOnClose);
        m_settingsWindow = window;
    }
    m_settingsWindow->show();
    m_settingsWindow->raise();
    m_settingsWindow->activateWindow();
}

void ZarnoApp::load(const QUrl &url)
{
    WebViewHolder::shared().load(url);
}

void ZarnoApp::openAppPage()
{
    if (const std::optional<QUrl> url = ZarnoSettings::load().serviceURL(QStringLiteral("/app")))
        load(*url);
    open();
}

QString ZarnoApp::describe() const
{
    QString text;
    const SessionController::Phase phase = m_state->phase();
    if (phase == SessionController::Phase::Listening)
        text = QStringLiteral("Listening · ") + m_state->elapsed();
    else if (SessionController::readsPaused(phase))
        text = QStringLiteral("Paused · ") + m_state->elapsed();
    else if (phase == SessionController::Phase::Starting)
        text = QStringLiteral("Starting…");
    else
        text = SessionController::watchingStatus;
    const SaveState save = m_state->saveState();
    if (phase == SessionController::Phase::Uploading)
        text += QStringLiteral("\nSaving notes…");
    else if (save == SaveState::saved())
        text += QStringLiteral("\n✓ Notes saved");
    else if (save.kind() == SaveState::Kind::Failed)
        text += u'\n' + save.message();
    if (const std::optional<QString> error = m_state->lastError())
        text += u'\n' + *error;
    return text;
}

QCoro::Task<> ZarnoApp::settle()
{
    // Wait for what a command set going: a leg being set up, a leg's final
    // words, an upload.
    QPointer<ZarnoApp> self(this);
    const QDeadlineTimer deadline(std::chrono::seconds(10));
    const auto busy = [this] {
        const SessionController::Phase phase = m_state->phase();
        return phase == SessionController::Phase::Starting || phase == SessionController::Phase::Closing
            || phase == SessionController::Phase::Uploading;
    };
    while (self && busy() && !deadline.hasExpired())
        co_await nextSignalOrTimeout(m_state.get(), &SessionController::changed,
                                     std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime())));
}

QCoro::Task<QString> ZarnoApp::handle(QStringList arguments)
{
    QPointer<ZarnoApp> self(this);
    const QString verb = arguments.isEmpty() ? QString() : arguments.first();
    if (verb.isEmpty()) {
        // Launched again: bring the window back.
        open();
        co_return describe();
    }
    if (verb.startsWith(QLatin1StringView("zarno:"), Qt::CaseInsensitive)) {
        openAppPage();
        co_return describe();
    }
    if (verb == QLatin1StringView("start")) {
        if (SessionController::readsPaused(m_state->phase()))
            m_state->resumeListening();
        else
            m_state->startListening();
    } else if (verb == QLatin1StringView("pause")) {
        m_state->pauseListening();
    } else if (verb == QLatin1StringView("resume")) {
        m_state->resumeListening();
    } else if (verb == QLatin1StringView("stop")) {
        // A running leg closes after its final words, then saves: settling
        // waits for both.
        m_state->stopAndSave();
    } else if (verb == QLatin1StringView("show")) {
        LiveHUD::shared().attach(m_state.get());
        LiveHUD::shared().expand();
    } else if (verb != QLatin1StringView("status")) {
        co_return QStringLiteral("zarno does not know \"%1\". Use start, pause, resume, stop, show or status.").arg(verb);
    }
    co_await QCoro::sleepFor(std::chrono::milliseconds(50));
    if (!self)
        co_return QString();
    co_await settle();
    if (!self)
        co_return QString();
    co_return describe();
}
