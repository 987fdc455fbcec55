#include "webviewholder.h"

#include "logging.h"

#include "clock.h"
#include "settings.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include <utility>

const QString WebViewHolder::harvestScript = QStringLiteral(
    "(function () {\n"
    "  for (var i = 0; i < localStorage.length; i++) {\n"
    "    var k = localStorage.key(i);\n"
    "    if (k.startsWith('sb-') && k.endsWith('-auth-token')) {\n"
    "      return localStorage.getItem(k);\n"
    "    }\n"
    "  }\n"
    "  return null;\n"
    "})();");

const QString WebViewHolder::pageSignedInScript = QStringLiteral(
    "Object.keys(localStorage).some(function (k) { return k.startsWith('sb-') && k.endsWith('-auth-token'); })");

const QString WebViewHolder::pageClassScript = QStringLiteral(
    "(function () {\n"
    "  var add = function () {\n"
    "    if (document.documentElement) document.documentElement.classList.add('in-mac-app');\n"
    "  };\n"
    "  add();\n"
    "  document.addEventListener('DOMContentLoaded', add);\n"
    "})();");

const QString WebViewHolder::userAgent = QStringLiteral(
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.6 "
    "Safari/605.1.15");

std::optional<WebSession> parseWebSession(const QVariant &scriptResult, double now)
{
    if (scriptResult.typeId() != QMetaType::QString)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(scriptResult.toString().toUtf8());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject session = document.object();
    const QJsonValue access = session.value(QLatin1StringView("access_token"));
    const QJsonValue refresh = session.value(QLatin1StringView("refresh_token"));
    // An empty token would sign the application in with nothing to show for it.
    if (!access.isString() || !refresh.isString() || access.toString().isEmpty() || refresh.toString().isEmpty())
        return std::nullopt;
    WebSession result;
    result.accessToken = access.toString();
    result.refreshToken = refresh.toString();
    const QJsonValue expiresAt = session.value(QLatin1StringView("expires_at"));
    result.expiresAt = expiresAt.isDouble() ? expiresAt.toDouble() : now + 3600;
    const QJsonValue email = session.value(QLatin1StringView("user")).toObject().value(QLatin1StringView("email"));
    if (email.isString())
        result.email = email.toString();
    return result;
}

WebViewHolder &WebViewHolder::shared()
{
    static WebViewHolder *holder = new WebViewHolder(QCoreApplication::instance());
    return *holder;
}

WebViewHolder::WebViewHolder(QObject *parent)
    : QObject(parent)
{
    // Pages must go before the web engine shuts down with the application.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &WebViewHolder::shutDown);
    m_loadTimeout.setSingleShot(true);
    m_loadTimeout.setInterval(loadTimeoutMs);
    connect(&m_loadTimeout, &QTimer::timeout, this, [this] {
        if (m_view) {
            qCWarning(lcWeb) << "The web application did not load within" << loadTimeoutMs / 1000 << "s; stopped.";
            m_view->stop();
        }
    });
}

WebViewHolder::~WebViewHolder()
{
    shutDown();
}

void WebViewHolder::shutDown()
{
    // The page must go before its profile, and both before the application.
    delete m_view;
    delete m_profile;
}

QWebEngineView *WebViewHolder::webView()
{
    if (m_view)
        return m_view;
    // A named profile keeps the page's local storage, and so the sign-in,
    // between runs.
    m_profile = new QWebEngineProfile(QStringLiteral("zarno"), this);
    m_profile->setHttpUserAgent(userAgent);
    QWebEngineScript script;
    script.setName(QStringLiteral("zarno-page-class"));
    script.setSourceCode(pageClassScript);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    m_profile->scripts()->insert(script);

    m_view = new QWebEngineView();
    // New-window requests are not honoured: the page offers no new window.
    auto *page = new QWebEnginePage(m_profile, m_view);
    m_view->setPage(page);
    // The notes page's "Copy as text" writes the clipboard.
    m_profile->settings()->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, true);
    // The notes page's exports land where the desktop keeps downloads.
    connect(m_profile, &QWebEngineProfile::downloadRequested, this, [](QWebEngineDownloadRequest *download) {
        QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        if (folder.isEmpty() || !QDir().mkpath(folder))
            folder = QDir::homePath();
        download->setDownloadDirectory(folder);
        download->setDownloadFileName(freeFileName(folder, download->downloadFileName()));
        download->accept();
        qCInfo(lcWeb) << "Saving a download as" << QDir(folder).filePath(download->downloadFileName());
    });
    connect(m_view, &QWebEngineView::loadFinished, this, [this] {
        m_loadTimeout.stop();
        harvest();
        watchPageSignIn();
    });
    return m_view;
}

bool WebViewHolder::showsTheService(const QUrl &page)
{
    const std::optional<QUrl> service = ZarnoSettings::load().baseURL();
    if (!service)
        return false;
    auto port = [](const QUrl &url) { return url.port(url.scheme() == QLatin1StringView("https") ? 443 : 80); };
    return page.scheme() == service->scheme() && page.host().compare(service->host(), Qt::CaseInsensitive) == 0
        && port(page) == port(*service);
}

void WebViewHolder::harvest()
{
    QWebEngineView *view = webView();
    // Links open inside the window, and other sites keep their own Supabase
    // sessions under the same kind of key: only the zarno page's is ours.
    if (!showsTheService(view->url()))
        return;
    QPointer<WebViewHolder> self(this);
    QPointer<QWebEnginePage> page(view->page());
    view->page()->runJavaScript(harvestScript, [self, page](const QVariant &result) {
        // A page going away answers its pending scripts with nothing, from
        // inside its destructor: look at the result before at the page.
        const std::optional<WebSession> session = parseWebSession(result, Clock::secondsSinceEpoch());
        if (!session || !self || !page || !showsTheService(page->url()))
            return;
        Q_EMIT self->harvested(*session);
    });
}

// Replaces the tokens of the page's stored session, keeping the rest of it.
// Called with the new access token, refresh token and expiry.
const QString WebViewHolder::handOverScript = QStringLiteral(
    "(function (access, refresh, expiresAt) {\n"
    "  for (var i = 0; i < localStorage.length; i++) {\n"
    "    var k = localStorage.key(i);\n"
    "    if (k.startsWith('sb-') && k.endsWith('-auth-token')) {\n"
    "      var session = JSON.parse(localStorage.getItem(k));\n"
    "      if (!session) return false;\n"
    "      session.access_token = access;\n"
    "      session.refresh_token = refresh;\n"
    "      session.expires_at = expiresAt;\n"
    "      localStorage.setItem(k, JSON.stringify(session));\n"
    "      return true;\n"
    "    }\n"
    "  }\n"
    "  return false;\n"
    "})");

void WebViewHolder::handOver(const QString &accessToken, const QString &refreshToken, double expiresAt)
{
    if (!m_view || !showsTheService(m_view->url()))
        return;
    // The values go in as JSON, so no token can break out of the script.
    const QByteArray arguments =
        QJsonDocument(QJsonArray{accessToken, refreshToken, expiresAt}).toJson(QJsonDocument::Compact);
    const QString call = handOverScript + u'(' + QString::fromUtf8(arguments.mid(1, arguments.size() - 2)) + u')';
    m_view->page()->runJavaScript(call);
}

void WebViewHolder::loadAppIfEmpty()
{
    QWebEngineView *view = webView();
    // A load under way has no page address yet, only the one it asked for.
    if (!view->url().isEmpty() || !view->page()->requestedUrl().isEmpty())
        return;
    if (const std::optional<QUrl> url = ZarnoSettings::load().serviceURL(QStringLiteral("/app")))
        load(*url);
}

void WebViewHolder::load(const QUrl &url)
{
    webView()->load(url);
    m_loadTimeout.start();
}

void WebViewHolder::watchPageSignIn()
{
    QWebEngineView *view = webView();
    if (!showsTheService(view->url()))
        return;
    QPointer<WebViewHolder> self(this);
    QPointer<QWebEnginePage> page(view->page());
    view->page()->runJavaScript(pageSignedInScript, [self, page](const QVariant &result) {
        // A page going away answers with nothing: only a real answer counts.
        if (result.typeId() != QMetaType::Bool || !self || !page || !showsTheService(page->url()))
            return;
        const bool wasSignedIn = std::exchange(self->m_pageSignedIn, result.toBool());
        if (wasSignedIn && !self->m_pageSignedIn)
            Q_EMIT self->pageSignedOut();
    });
}

void WebViewHolder::signOutPage()
{
    // The load that follows finds no sign-in, as the application asked.
    m_pageSignedIn = false;
    if (!m_view || !showsTheService(m_view->url()))
        return;
    m_view->page()->runJavaScript(QStringLiteral(
        "(function () {\n"
        "  if (window.zarnoPage && window.zarnoPage.signOut) { window.zarnoPage.signOut(); return; }\n"
        "  Object.keys(localStorage).forEach(function (k) {\n"
        "    if (k.startsWith('sb-') && k.endsWith('-auth-token')) localStorage.removeItem(k);\n"
        "  });\n"
        "})();"));
}

void WebViewHolder::refreshNotes()
{
    if (m_view && showsTheService(m_view->url()))
        m_view->page()->runJavaScript(QStringLiteral("window.zarnoNotes && window.zarnoNotes.refresh()"));
}

QString WebViewHolder::freeFileName(const QString &folder, const QString &name)
{
    const QDir dir(folder);
    const QString base = name.isEmpty() ? QStringLiteral("download") : name;
    if (!QFileInfo::exists(dir.filePath(base)))
        return base;
    const QFileInfo info(base);
    const QString stem = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : u'.' + info.suffix();
    for (int n = 1;; ++n) {
        const QString candidate = stem + QStringLiteral(" (%1)").arg(n) + suffix;
        if (!QFileInfo::exists(dir.filePath(candidate)))
            return candidate;
    }
}
