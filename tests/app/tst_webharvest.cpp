#include "pagescript.h"
#include "settings.h"
#include "webviewholder.h"

#include <QDeadlineTimer>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QFile>
#include <QStandardPaths>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>

namespace {

QString session(const QString &access, const QString &refresh, const QString &extra = QString())
{
    return QStringLiteral(R"({"access_token":"%1","refresh_token":"%2"%3})").arg(access, refresh, extra);
}

} // namespace

class TestWebHarvest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void storedSessionIsReadByItsRules_data();
    void storedSessionIsReadByItsRules();
    void pageCarriesTheAppClassAndUserAgent();
    void harvestTakesTheFirstMatchingKey_data();
    void harvestTakesTheFirstMatchingKey();
    void everyFinishedLoadHarvests();
    void otherSitesAreNeverHarvested();
    void renewalsAreHandedToThePagesSignIn();
    void signOutTravelsBetweenPageAndApplication();
    void aSaveRefreshesThePagesList();
    void exportsLandInDownloadsUnderAFreeName();
    void pageMayWriteTheClipboard();

private:
    void loadPage();

    QHttpServer m_http;
    QUrl m_page;
    QByteArray m_userAgent;
    std::unique_ptr<WebViewHolder> m_holder;
};

void TestWebHarvest::initTestCase()
{
    m_http.route("/app", [this](const QHttpServerRequest &request) {
        m_userAgent = request.value("User-Agent");
        return QStringLiteral("<!doctype html><html><body><h1>zarno</h1></body></html>");
    });
    const quint16 port = m_http.listen(QHostAddress::LocalHost, 0);
    QVERIFY(port != 0);
    m_page = QUrl(QStringLiteral("http://127.0.0.1:%1/app").arg(port));
    ZarnoSettings::standardStore()
        .setValue("serverURL", QStringLiteral("http://127.0.0.1:%1").arg(port));
    m_holder = std::make_unique<WebViewHolder>();
    loadPage();
}

void TestWebHarvest::loadPage()
{
    QSignalSpy loaded(m_holder->webView(), &QWebEngineView::loadFinished);
    m_holder->load(m_page);
    QVERIFY(loaded.wait(20000));
    QVERIFY(loaded.first().first().toBool());
}

void TestWebHarvest::storedSessionIsReadByItsRules_data()
{
    QTest::addColumn<QVariant>("result");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<double>("expiresAt");
    QTest::addColumn<QString>("email"); // empty: none

    const double now = 1'800'000'000;
    QTest::newRow("full") << QVariant(session("a", "r", R"(,"expires_at":1800000500.5,"user":{"email":"ada@example.org"})"))
                          << true << 1800000500.5 << "ada@example.org";
    QTest::newRow("no expiry: an hour") << QVariant(session("a", "r")) << true << now + 3600 << "";
    QTest::newRow("expiry as text: an hour") << QVariant(session("a", "r", R"(,"expires_at":"1800000500")")) << true
                                             << now + 3600 << "";
    QTest::newRow("user without e-mail") << QVariant(session("a", "r", R"(,"user":{"id":"u1"})")) << true << now + 3600
                                         << "";
    QTest::newRow("e-mail not text") << QVariant(session("a", "r", R"(,"user":{"email":7})")) << true << now + 3600
                                     << "";
    QTest::newRow("null result") << QVariant() << false << 0.0 << "";
    QTest::newRow("not text") << QVariant(42) << false << 0.0 << "";
    QTest::newRow("not JSON") << QVariant(QStringLiteral("{oops")) << false << 0.0 << "";
    QTest::newRow("JSON array") << QVariant(QStringLiteral("[1,2]")) << false << 0.0 << "";
    QTest::newRow("no refresh token") << QVariant(QStringLiteral(R"({"access_token":"a"})")) << false << 0.0 << "";
    QTest::newRow("access token not text") << QVariant(QStringLiteral(R"({"access_token":1,"refresh_token":"r"})"))
                                           << false << 0.0 << "";
    QTest::newRow("empty tokens") << QVariant(session("", "")) << false << 0.0 << "";
}

void TestWebHarvest::storedSessionIsReadByItsRules()
{
    QFETCH(QVariant, result);
    QFETCH(bool, usable);
    QFETCH(double, expiresAt);
    QFETCH(QString, email);
    const std::optional<WebSession> parsed = parseWebSession(result, 1'800'000'000);
    QCOMPARE(parsed.has_value(), usable);
    if (!usable)
        return;
    QCOMPARE(parsed->accessToken, QStringLiteral("a"));
    QCOMPARE(parsed->refreshToken, QStringLiteral("r"));
    QCOMPARE(parsed->expiresAt, expiresAt);
    QCOMPARE(parsed->email.value_or(QString()), email);
    QCOMPARE(parsed->email.has_value(), !email.isEmpty());
}

void TestWebHarvest::pageCarriesTheAppClassAndUserAgent()
{
    QCOMPARE(evaluate(m_holder->webView(), "document.documentElement.classList.contains('in-mac-app')").toBool(), true);
    QCOMPARE(QString::fromUtf8(m_userAgent), WebViewHolder::userAgent);
    QCOMPARE(WebViewHolder::harvestScript.size(), 226);
    QCOMPARE(WebViewHolder::harvestScript.count(u'\n'), 8);
}

void TestWebHarvest::harvestTakesTheFirstMatchingKey_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("harvestedFrom"); // empty: nothing adopted

    QTest::newRow("the session key") << QStringList{"theme", "sb-abc-auth-token"} << "sb-abc-auth-token";
    QTest::newRow("code verifier is not a session") << QStringList{"sb-abc-auth-token-code"} << "";
    QTest::newRow("no sb- prefix") << QStringList{"auth-token"} << "";
    QTest::newRow("signed out page") << QStringList{} << "";
    QTest::newRow("two sessions: the first by index") << QStringList{"sb-b-auth-token", "sb-a-auth-token"} << "first";
}

void TestWebHarvest::harvestTakesTheFirstMatchingKey()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, harvestedFrom);
    QWebEngineView *view = m_holder->webView();
    evaluate(view, "localStorage.clear(); true");
    for (const QString &key : keys)
        evaluate(view, QStringLiteral("localStorage.setItem('%1', JSON.stringify({access_token: 'at-%1', "
                                      "refresh_token: 'rt-%1'})); true")
                           .arg(key));
    if (harvestedFrom == "first") {
        // Whatever order the storage keeps its keys in, index 0 wins.
        harvestedFrom = evaluate(view, "localStorage.key(0)").toString();
        QVERIFY(harvestedFrom.startsWith("sb-"));
    }

    QSignalSpy adopted(m_holder.get(), &WebViewHolder::harvested);
    m_holder->harvest();
    if (harvestedFrom.isEmpty()) {
        // The harvest reports nothing either way; give it time to have been wrong.
        QTest::qWait(300);
        QVERIFY(adopted.isEmpty());
    } else {
        QTRY_COMPARE(adopted.size(), 1);
        const WebSession session = adopted.first().first().value<WebSession>();
        QCOMPARE(session.accessToken, "at-" + harvestedFrom);
        QCOMPARE(session.refreshToken, "rt-" + harvestedFrom);
    }
}

void TestWebHarvest::everyFinishedLoadHarvests()
{
    evaluate(m_holder->webView(), "localStorage.clear(); localStorage.setItem('sb-local-auth-token', "
                                  "JSON.stringify({access_token: 'x', refresh_token: 'y', user: {email: 'e@x.org'}})); true");
    QSignalSpy harvested(m_holder.get(), &WebViewHolder::harvested);
    loadPage();
    QTRY_COMPARE(harvested.size(), 1);
    QCOMPARE(harvested.first().first().value<WebSession>().email, QStringLiteral("e@x.org"));
}

void TestWebHarvest::otherSitesAreNeverHarvested()
{
    // Another site shown in the window, with a Supabase session of its own.
    QHttpServer other;
    other.route("/", [] { return QStringLiteral("<!doctype html><p>elsewhere</p>"); });
    const quint16 port = other.listen(QHostAddress::LocalHost, 0);
    QVERIFY(port != 0);
    QSignalSpy loaded(m_holder->webView(), &QWebEngineView::loadFinished);
    m_holder->load(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)));
    QVERIFY(loaded.wait(20000));
    evaluate(m_holder->webView(), "localStorage.setItem('sb-other-auth-token', "
                                  "JSON.stringify({access_token: 'theirs', refresh_token: 'theirs'})); true");
    QSignalSpy harvested(m_holder.get(), &WebViewHolder::harvested);
    m_holder->harvest();
    QTest::qWait(300);
    QCOMPARE(harvested.size(), 0);
    loadPage();
}

// The page shares the sign-in: a renewal made by the application replaces
// the page's tokens (its next renewal would spend a used one otherwise), and
// keeps the rest of its session; a page that keeps none is left alone.
void TestWebHarvest::renewalsAreHandedToThePagesSignIn()
{
    QWebEngineView *view = m_holder->webView();
    evaluate(view, "localStorage.clear(); localStorage.setItem('sb-local-auth-token', "
                   "JSON.stringify({access_token: 'old-a', refresh_token: 'old-r', expires_at: 1, "
                   "user: {email: 'e@x.org'}})); true");
    const QString awkward = QStringLiteral("new-r'\"); alert(1); //");
    m_holder->handOver(QStringLiteral("new-a"), awkward, 4e9);
    QTRY_COMPARE(evaluate(view, "JSON.parse(localStorage.getItem('sb-local-auth-token')).refresh_token").toString(),
                 awkward);
    QCOMPARE(evaluate(view, "JSON.parse(localStorage.getItem('sb-local-auth-token')).access_token").toString(),
             QStringLiteral("new-a"));
    QCOMPARE(evaluate(view, "JSON.parse(localStorage.getItem('sb-local-auth-token')).expires_at").toDouble(), 4e9);
    QCOMPARE(evaluate(view, "JSON.parse(localStorage.getItem('sb-local-auth-token')).user.email").toString(),
             QStringLiteral("e@x.org"));

    evaluate(view, "localStorage.clear(); true");
    m_holder->handOver(QStringLiteral("a"), QStringLiteral("r"), 4e9);
    QTest::qWait(200);
    QCOMPARE(evaluate(view, "localStorage.length").toInt(), 0);
}

// The page and the application share one sign-in. A page that signed out
// is noticed at its next load, once; a page that never had a sign-in says
// nothing; the application's own sign-out clears the page and is not taken
// for the page's.
void TestWebHarvest::signOutTravelsBetweenPageAndApplication()
{
    QWebEngineView *view = m_holder->webView();
    const QString signIn = QStringLiteral(
        "localStorage.setItem('sb-local-auth-token', JSON.stringify({access_token: 'a', refresh_token: 'r'})); true");
    // Each load's look at the sign-in has answered once a later script has.
    const auto loadAndSettle = [&] {
        loadPage();
        evaluate(view, QStringLiteral("true"));
    };
    evaluate(view, QStringLiteral("localStorage.clear(); true"));
    loadAndSettle();
    QSignalSpy signedOut(m_holder.get(), &WebViewHolder::pageSignedOut);
    loadAndSettle();
    QCOMPARE(signedOut.size(), 0);

    evaluate(view, signIn);
    loadAndSettle();
    evaluate(view, QStringLiteral("localStorage.clear(); true")); // the page's Sign out
    loadAndSettle();
    QTRY_COMPARE(signedOut.size(), 1);
    loadAndSettle();
    QCOMPARE(signedOut.size(), 1);

    evaluate(view, signIn);
    loadAndSettle();
    m_holder->signOutPage();
    QTRY_VERIFY(!evaluate(view, WebViewHolder::pageSignedInScript).toBool());
    loadAndSettle();
    QCOMPARE(signedOut.size(), 1);
}

void TestWebHarvest::aSaveRefreshesThePagesList()
{
    QWebEngineView *view = m_holder->webView();
    evaluate(view, QStringLiteral(
                       "window.zarnoNotes = {refresh: function () { window.refreshed = (window.refreshed || 0) + 1; }}; true"));
    m_holder->refreshNotes();
    QTRY_COMPARE(evaluate(view, QStringLiteral("window.refreshed || 0")).toInt(), 1);
}

// An export of the notes page is a blob the page offers as a download: it
// lands in the desktop's downloads folder, never over an earlier one.
void TestWebHarvest::exportsLandInDownloadsUnderAFreeName()
{
    const QDir downloads(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    QFile::remove(downloads.filePath(QStringLiteral("Q3 review.md")));
    QFile::remove(downloads.filePath(QStringLiteral("Q3 review (1).md")));
    const QString download = QStringLiteral(
        "(function () { var a = document.createElement('a');"
        " a.href = URL.createObjectURL(new Blob(['# Q3 review\\n'], {type: 'text/markdown'}));"
        " a.download = 'Q3 review.md'; document.body.appendChild(a); a.click(); a.remove(); return true; })()");
    QWebEngineView *view = m_holder->webView();
    for (const QString &name : {QStringLiteral("Q3 review.md"), QStringLiteral("Q3 review (1).md")}) {
        evaluate(view, download);
        QFile saved(downloads.filePath(name));
        QTRY_VERIFY_WITH_TIMEOUT(saved.exists() && saved.size() == 12, 20000);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("# Q3 review\n"));
    }
}

// "Copy as text" on the notes page reaches the desktop's clipboard.
void TestWebHarvest::pageMayWriteTheClipboard()
{
    QGuiApplication::clipboard()->clear();
    const QVariant copied = evaluate(m_holder->webView(), QStringLiteral(
        "(function () { var area = document.createElement('textarea'); area.value = 'Go forward ten meters.';"
        " document.body.append(area); area.select(); var ok = document.execCommand('copy'); area.remove();"
        " return ok; })()"));
    QVERIFY(copied.toBool());
    QTRY_COMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Go forward ten meters."));
}

QTEST_MAIN(TestWebHarvest)
#include "tst_webharvest.moc"
