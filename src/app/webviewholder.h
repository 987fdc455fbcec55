#pragma once

#include "sessionhooks.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QWebEngineView>

#include <optional>

class QWebEngineProfile;


// A sign-in read out of the web application's local storage.
struct WebSession
{
    QString accessToken;
    QString refreshToken;
    double expiresAt = 0; // seconds since 1970
    std::optional<QString> email;
};

// What the harvest script returned: the stored session when it is usable.
[[nodiscard]] std::optional<WebSession> parseWebSession(const QVariant &scriptResult, double now);

Q_DECLARE_METATYPE(WebSession)

// Owns the one web view of the main window for the whole process, so that
// the page survives the window being closed, and reads the page's sign-in.
class WebViewHolder : public QObject, public SignInHarvestHook
{
    Q_OBJECT

public:
    // Walks local storage by index and returns the first Supabase session.
    static const QString harvestScript;
    // Marks every page as shown inside the application, as early as possible.
    static const QString pageClassScript;
    static const QString userAgent;
    static constexpr int loadTimeoutMs = 60000;

    static WebViewHolder &shared();

    explicit WebViewHolder(QObject *parent = nullptr);
    ~WebViewHolder() override;

    // Created on first use; never destroyed before the holder.
    [[nodiscard]] QWebEngineView *webView();
    [[nodiscard]] bool hasWebView() const { return m_view != nullptr; }

    void harvest() override;
    // Whether the page is the configured zarno service's (scheme, host, port).
    [[nodiscard]] static bool showsTheService(const QUrl &page);
    // Lets the page and its profile go while the application still runs; the
    // application calls it on its way out.
    void shutDown();

    // Loads "/app" of the configured server unless something was loaded already.
    void loadAppIfEmpty();
    // Loads the address, giving up after a minute without an answer.
    void load(const QUrl &url);
    // Hands a renewal made by the application to the service's page, where
    // the page keeps a sign-in; nothing when it keeps none.
    void handOver(const QString &accessToken, const QString &refreshToken, double expiresAt);
    static const QString handOverScript;
    // Ends the page's sign-in after the application signed out: through the
    // page's own sign-out where it has one, which tells the service too.
    void signOutPage();
    // Asks the notes page for its list again, so a note just saved shows.
    void refreshNotes();
    // Whether the page's local storage holds a sign-in (true or false).
    static const QString pageSignedInScript;
    // A name in the folder that no file has yet: "notes.md", else "notes (1).md"…
    [[nodiscard]] static QString freeFileName(const QString &folder, const QString &name);

Q_SIGNALS:
    // A sign-in found on the service's page; the application adopts it.
    void harvested(const WebSession &session);
    // The service's page held a sign-in and, after a load, holds none: the
    // user signed out in the page.
    void pageSignedOut();

private:
    QPointer<QWebEngineProfile> m_profile;
    QPointer<QWebEngineView> m_view;
    QTimer m_loadTimeout;
    bool m_pageSignedIn = false;

    void watchPageSignIn();
};
