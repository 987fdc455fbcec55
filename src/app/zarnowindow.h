#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

class SessionController;
class AuthSession;
class IconButton;
class QAbstractButton;
class QWebEngineView;
class WebViewHolder;
class WrappedText;

// The strip in the top-left corner of the main window: on macOS, where the
// page runs under the title bar, room for the window buttons and a sidebar
// button; everywhere the session-controls button. Pressing anywhere else on
// it drags the window.
class TitleStrip : public QWidget
{
    Q_OBJECT

public:
    static constexpr QSize stripSize{220, 32};
#ifdef Q_OS_MACOS
    static constexpr bool underTheTitleBar = true;
    static constexpr int windowButtonsRoom = 78;
#else
    // A native title bar holds the window buttons, and the page its own
    // sidebar toggle.
    static constexpr bool underTheTitleBar = false;
    static constexpr int windowButtonsRoom = 8;
#endif

    explicit TitleStrip(QWidget *parent = nullptr);

    // Null where the page's own toggle is the only one.
    [[nodiscard]] IconButton *sidebarButton() const { return m_sidebar; }
    [[nodiscard]] IconButton *sessionControlsButton() const { return m_sessionControls; }

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    IconButton *m_sidebar = nullptr;
    IconButton *m_sessionControls;
};

// The card over the page that confirms a fresh sign-in and offers to start.
class SignedInCard : public QWidget
{
    Q_OBJECT

public:
    static constexpr int cardWidth = 380;
#ifdef Q_OS_MACOS
    static inline const QString bodyText = QStringLiteral(
        "zarno lives in your menu bar — it watches for meetings and takes notes from there. This window is where "
        "your notes land.");
#else
    static inline const QString bodyText = QStringLiteral(
        "zarno lives in your system tray — it watches for meetings and takes notes from there. This window is "
        "where your notes land.");
#endif

    explicit SignedInCard(QWidget *parent = nullptr);

    // "You're signed in", and " as " with the address when there is one.
    void setEmail(const QString &email);
    [[nodiscard]] QString title() const;
    [[nodiscard]] QAbstractButton *takeNotesButton() const { return m_takeNotes; }
    [[nodiscard]] QAbstractButton *stayButton() const { return m_stay; }
    [[nodiscard]] bool hasLogo() const { return m_hasLogo; }

    [[nodiscard]] int naturalHeight();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    WrappedText *m_title;
    QAbstractButton *m_takeNotes;
    QAbstractButton *m_stay;
    bool m_hasLogo = false;
};

// The main window: the web application filling it, the title strip over
// its top-left corner, and the signed-in card when the user has just signed
// in on the page. The web view belongs to the holder, so closing and even
// deleting the window keeps the page.
class ZarnoWindowView : public QWidget
{
    Q_OBJECT

public:
    static inline const QString windowId = QStringLiteral("zarno-window");
    static constexpr QSize defaultSize{1040, 740};
    // Where the window was last, in the user's settings.
    static inline const QString geometryKey = QStringLiteral("mainWindowGeometry");
    static inline const QString sidebarScript = QStringLiteral("document.getElementById('side-collapse')?.click()");

    ZarnoWindowView(SessionController &state, AuthSession &auth, WebViewHolder &holder, QWidget *parent = nullptr);
    ~ZarnoWindowView() override;

    [[nodiscard]] bool isSignedInCardShown() const { return m_showHandoff; }
    [[nodiscard]] SignedInCard *signedInCard() const { return m_card; }
    [[nodiscard]] TitleStrip *titleStrip() const { return m_strip; }

    // Asked before Ctrl+Q ends a running session; true quits. A dialog
    // unless replaced.
    void setQuitQuestion(std::function<bool()> ask) { m_askQuit = std::move(ask); }

Q_SIGNALS:
    // Ctrl+Q, confirmed where a session would end with it.
    void quitRequested();
    // The session-controls button was pressed; `anchor` is the button in
    // global coordinates, for hanging the menu panel under it. Desktops
    // without a tray reach the session's controls this way.
    void sessionControlsRequested(const QRect &anchor);
    // Ctrl+, asks for the settings window.
    void settingsRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void onEmailChanged();
    void setShowHandoff(bool show);
    void takeNotesNow();
    void clickSidebar();
    void quitByKeyboard();
    void placeChildren();
    void rememberGeometry() const;

    SessionController &m_state;
    AuthSession &m_auth;
    WebViewHolder &m_holder;
    QPointer<QWebEngineView> m_view;
    TitleStrip *m_strip;
    SignedInCard *m_card;
    bool m_wasSignedIn = false;
    bool m_showHandoff = false;
    // The window was closed; its content starts again from the stored
    // sign-in when it is shown next.
    bool m_closed = false;
    std::function<bool()> m_askQuit;
};
