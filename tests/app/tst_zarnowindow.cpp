#include "sessioncontroller.h"
#include "authsession.h"
#include "iconbutton.h"
#include "pagescript.h"
#include "settings.h"
#include "tokenvault.h"
#include "webviewholder.h"
#include "zarnowindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace {

QSettings store()
{
    return ZarnoSettings::standardStore();
}

// A page with the web application's sidebar toggle, and one without it.
const QString appPage = QStringLiteral(
    "<!doctype html><html><body><button id='side-collapse' onclick='window.toggles=(window.toggles||0)+1'>"
    "</button><p id='main'>notes</p></body></html>");
const QString plainPage = QStringLiteral("<!doctype html><html><body><p id='main'>other</p></body></html>");

} // namespace

class TestZarnoWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void firstShowLoadsTheAppAndReopeningKeepsThePage();
    void cardAppearsOnceOnSigningIn_data();
    void cardAppearsOnceOnSigningIn();
    void cardButtons_data();
    void cardButtons();
    void sidebarButtonClicksTheToggleWhereThereIsOne_data();
    void sidebarButtonClicksTheToggleWhereThereIsOne();
    void sessionControlsButtonAsksForThePanel();
    void standardShortcuts_data();
    void standardShortcuts();
    void windowComesBackWhereItWas_data();
    void windowComesBackWhereItWas();
    void rendersTheCardOverThePage();

private:
    bool loadAndWait(const QString &path);

    QHttpServer m_http;
    QUrl m_base;
    int m_appRequests = 0;
    std::unique_ptr<WebViewHolder> m_holder;
};

void TestZarnoWindow::initTestCase()
{
    m_http.route("/app", [this] {
        ++m_appRequests;
        return appPage;
    });
    m_http.route("/plain", [] { return plainPage; });
    const quint16 port = m_http.listen(QHostAddress::LocalHost, 0);
    QVERIFY(port != 0);
    m_base = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
    m_holder = std::make_unique<WebViewHolder>();
}

void TestZarnoWindow::init()
{
    QSettings s = store();
    s.clear();
    s.setValue(QStringLiteral("serverURL"), m_base.toString());
}

bool TestZarnoWindow::loadAndWait(const QString &path)
{
    QSignalSpy loaded(m_holder->webView(), &QWebEngineView::loadFinished);
    m_holder->load(m_base.resolved(QUrl(path)));
    return loaded.wait(20000) && loaded.first().first().toBool();
}

void TestZarnoWindow::firstShowLoadsTheAppAndReopeningKeepsThePage()
{
    SessionController state;
    AuthSession auth;
    QWebEngineView *view = m_holder->webView();
    QVERIFY(view->url().isEmpty());
    auto window = std::make_unique<ZarnoWindowView>(state, auth, *m_holder);
    QCOMPARE(window->size(), QSize(1040, 740));
    QCOMPARE(window->windowTitle(), QStringLiteral("zarno"));
    QCOMPARE(window->objectName(), QStringLiteral("zarno-window"));

    QSignalSpy loaded(view, &QWebEngineView::loadFinished);
    window->show();
    QVERIFY(loaded.wait(20000));
    QCOMPARE(view->url().path(), QStringLiteral("/app"));
    QCOMPARE(view->parentWidget(), window.get());
    QCOMPARE(view->geometry(), window->rect());
    QCOMPARE(m_appRequests, 1);
    // Something the user did on the page.
    QCOMPARE(evaluate(view, QStringLiteral("window.mark = 7; window.mark")).toInt(), 7);

    window->close();
    window->show();
    QCOMPARE(evaluate(view, QStringLiteral("window.mark")).toInt(), 7);

    // Even a window that is gone leaves the page to the next one.
    window->close();
    window.reset();
    QVERIFY(m_holder->hasWebView());
    QCOMPARE(m_holder->webView(), view);
    ZarnoWindowView next(state, auth, *m_holder);
    next.show();
    QCOMPARE(view->parentWidget(), &next);
    QCOMPARE(evaluate(view, QStringLiteral("window.mark")).toInt(), 7);
    QCOMPARE(m_appRequests, 1);
    QCOMPARE(loaded.count(), 1);
}

void TestZarnoWindow::cardAppearsOnceOnSigningIn_data()
{
    // Steps: an address signs in with it, "~" signs in without one, "-"
    // signs out. `seen` says after which steps the card is up. `kept` is
    // where the sign-in lives: this program runs once with the settings
    // file and once more (tst_zarnowindow_keyring) with a private keyring.
    QTest::addColumn<QString>("kept");
    QTest::addColumn<QString>("restored");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("seen");

    const QString file = QStringLiteral("file");
    const QString keyring = QStringLiteral("keyring");
    QTest::newRow("fresh sign-in") << file << QString() << QStringList{"ada@example.org"} << "1";
    QTest::newRow("token refresh keeps the address")
        << file << QString() << QStringList{"ada@example.org", "ada@example.org"} << "10";
    QTest::newRow("another account while signed in")
        << file << QString() << QStringList{"ada@example.org", "bob@example.org"} << "10";
    QTest::newRow("sign-in without an address") << file << QString() << QStringList{"~"} << "0";
    QTest::newRow("signed out and in again")
        << file << QString() << QStringList{"ada@example.org", "-", "bob@example.org"} << "101";
    QTest::newRow("restored sign-in") << file << "ada@example.org" << QStringList{"bob@example.org"} << "0";
    QTest::newRow("restored, then out and in")
        << file << "ada@example.org" << QStringList{"-", "ada@example.org"} << "01";
    QTest::newRow("keyring: fresh sign-in") << keyring << QString() << QStringList{"ada@example.org"} << "1";
    QTest::newRow("keyring: restored sign-in")
        << keyring << "ada@example.org" << QStringList{"ada@example.org", "bob@example.org"} << "00";
    QTest::newRow("keyring: restored, then out and in")
        << keyring << "ada@example.org" << QStringList{"-", "ada@example.org"} << "01";
}

void TestZarnoWindow::cardAppearsOnceOnSigningIn()
{
    QFETCH(QString, kept);
    QFETCH(QString, restored);
    QFETCH(QStringList, steps);
    QFETCH(QString, seen);

    TokenVault &vault = TokenVault::shared();
    const TokenVault::Place place = kept == u"keyring" ? TokenVault::Place::Keyring : TokenVault::Place::SettingsFile;
    if (vault.place() != place)
        QSKIP("The sign-in is kept elsewhere in this run.");
    // An earlier row's sign-in is gone, wherever it was kept.
    vault.forget();
    if (!restored.isEmpty()) {
        vault.store({QStringLiteral("access"), QStringLiteral("refresh")});
        QSettings s = store();
        s.setValue(QStringLiteral("authExpiresAt"), 4e9);
        s.setValue(QStringLiteral("authEmail"), restored);
    }
    vault.flush();
    // In the keyring, nothing of the sign-in is left in the file to read.
    if (place == TokenVault::Place::Keyring)
        QVERIFY(!store().contains(QStringLiteral("authRefreshToken")));
    SessionController state;
    AuthSession auth;
    ZarnoWindowView window(state, auth, *m_holder);
    window.show();
    QVERIFY(!window.isSignedInCardShown());

    QString observed;
    for (const QString &step : steps) {
        if (step == QStringLiteral("-"))
            auth.signOut();
        else if (step == QStringLiteral("~"))
            auth.adopt(QStringLiteral("a"), QStringLiteral("r"), 4e9, std::nullopt);
        else
            auth.adopt(QStringLiteral("a"), QStringLiteral("r"), 4e9, step);
        const bool up = window.isSignedInCardShown();
        QCOMPARE(window.signedInCard()->isVisible(), up);
        observed += up ? u'1' : u'0';
        if (up) {
            QCOMPARE(window.signedInCard()->title(), QStringLiteral("You're signed in as ") + step);
            QTest::mouseClick(window.signedInCard()->stayButton(), Qt::LeftButton);
        }
    }
    QCOMPARE(observed, seen);
    QVERIFY(!(state.phase() == SessionController::Phase::Starting));
}

void TestZarnoWindow::cardButtons_data()
{
    QTest::addColumn<bool>("takeNotes");
    QTest::newRow("take notes now") << true;
    QTest::newRow("stay here") << false;
}

void TestZarnoWindow::cardButtons()
{
    QFETCH(bool, takeNotes);

    SessionController state;
    AuthSession auth;
    ZarnoWindowView window(state, auth, *m_holder);
    window.show();
    auth.adopt(QStringLiteral("a"), QStringLiteral("r"), 4e9, QStringLiteral("ada@example.org"));
    SignedInCard *card = window.signedInCard();
    QVERIFY(card->isVisible());
    QCOMPARE(card->width(), 380);
    QVERIFY(qAbs(card->geometry().center().x() - window.rect().center().x()) <= 1);
    QVERIFY(qAbs(card->geometry().center().y() - window.rect().center().y()) <= 1);
    QVERIFY(card->hasLogo());

    QTest::mouseClick(takeNotes ? card->takeNotesButton() : card->stayButton(), Qt::LeftButton);
    QVERIFY(!card->isVisible());
    QVERIFY(!window.isSignedInCardShown());
    QCOMPARE((state.phase() == SessionController::Phase::Starting), takeNotes);
    // The page is still there to use.
    QVERIFY(m_holder->webView()->isVisible());
}

void TestZarnoWindow::sidebarButtonClicksTheToggleWhereThereIsOne_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("toggles");
    QTest::newRow("page with the toggle") << "/app" << 1;
    QTest::newRow("page without it") << "/plain" << 0;
}

void TestZarnoWindow::sidebarButtonClicksTheToggleWhereThereIsOne()
{
    QFETCH(QString, path);
    QFETCH(int, toggles);

    SessionController state;
    AuthSession auth;
    ZarnoWindowView window(state, auth, *m_holder);
    window.show();
    QVERIFY(loadAndWait(path));
    QWebEngineView *view = m_holder->webView();

    IconButton *sidebar = window.titleStrip()->sidebarButton();
    if (!TitleStrip::underTheTitleBar) {
        // Under a native title bar the page's own toggle is the only one,
        // and no room is kept for window buttons.
        QVERIFY(!sidebar);
        QVERIFY(window.titleStrip()->sessionControlsButton()->x() <= 8);
        return;
    }
    QCOMPARE(sidebar->toolTip(), QStringLiteral("Show or hide the sidebar"));
    QTest::mouseClick(sidebar, Qt::LeftButton);
    // The click's script runs before anything evaluated after it.
    QCOMPARE(evaluate(view, QStringLiteral("window.toggles || 0")).toInt(), toggles);
    QTest::mouseClick(sidebar, Qt::LeftButton);
    QCOMPARE(evaluate(view, QStringLiteral("window.toggles || 0")).toInt(), toggles * 2);
    // Nothing on the page broke.
    QCOMPARE(evaluate(view, QStringLiteral("document.getElementById('main') !== null")).toBool(), true);
    QCOMPARE(view->url().path(), path);
}

void TestZarnoWindow::sessionControlsButtonAsksForThePanel()
{
    SessionController state;
    AuthSession auth;
    ZarnoWindowView window(state, auth, *m_holder);
    window.show();
    QSignalSpy asked(&window, &ZarnoWindowView::sessionControlsRequested);
    IconButton *button = window.titleStrip()->sessionControlsButton();
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(asked.count(), 1);
    const QRect anchor = asked.first().first().toRect();
    QCOMPARE(anchor, QRect(button->mapToGlobal(QPoint(0, 0)), button->size()));
    // The strip keeps to its corner over the page.
    QCOMPARE(window.titleStrip()->geometry(), QRect(0, 0, 220, 32));
    QVERIFY(window.titleStrip()->geometry().contains(button->geometry().translated(window.titleStrip()->pos())));
}

void TestZarnoWindow::standardShortcuts_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("sessionRuns");
    QTest::addColumn<bool>("answer"); // to the quit question
    QTest::addColumn<int>("questions");
    QTest::addColumn<int>("quits");
    QTest::addColumn<bool>("windowStays");
    QTest::addColumn<int>("settings");

    QTest::newRow("Ctrl+W puts the window away") << int(Qt::Key_W) << true << true << 0 << 0 << false << 0;
    QTest::newRow("Ctrl+Q with nothing running quits") << int(Qt::Key_Q) << false << false << 0 << 1 << true << 0;
    QTest::newRow("Ctrl+Q while listening, kept") << int(Qt::Key_Q) << true << false << 1 << 0 << true << 0;
    QTest::newRow("Ctrl+Q while listening, confirmed") << int(Qt::Key_Q) << true << true << 1 << 1 << true << 0;
    QTest::newRow("Ctrl+, asks for the settings") << int(Qt::Key_Comma) << true << true << 0 << 0 << true << 1;
}

void TestZarnoWindow::standardShortcuts()
{
    QFETCH(int, key);
    QFETCH(bool, sessionRuns);
    QFETCH(bool, answer);
    QFETCH(int, questions);
    QFETCH(int, quits);
    QFETCH(bool, windowStays);
    QFETCH(int, settings);

    SessionController state;
    if (sessionRuns) {
        SessionController::Preview listening;
        listening.phase = SessionController::Phase::Listening;
        state.showPreview(listening);
    }
    AuthSession auth;
    ZarnoWindowView window(state, auth, *m_holder);
    int asked = 0;
    window.setQuitQuestion([&] {
        ++asked;
        return answer;
    });
    QSignalSpy quit(&window, &ZarnoWindowView::quitRequested);
    QSignalSpy settingsAsked(&window, &ZarnoWindowView::settingsRequested);
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key(key), Qt::ControlModifier);
    QCOMPARE(asked, questions);
    QCOMPARE(quit.count(), quits);
    QCOMPARE(window.isVisible(), windowStays);
    QCOMPARE(settingsAsked.count(), settings);
}

void TestZarnoWindow::windowComesBackWhereItWas_data()
{
    QTest::addColumn<bool>("closed"); // or still open when zarno quits
    QTest::newRow("closed") << true;
    QTest::newRow("open at quit") << false;
}

void TestZarnoWindow::windowComesBackWhereItWas()
{
    QFETCH(bool, closed);
    SessionController state;
    AuthSession auth;
    const QRect placed(QPoint(120, 90), QSize(900, 640));
    {
        ZarnoWindowView window(state, auth, *m_holder);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), ZarnoWindowView::defaultSize);
        window.setGeometry(placed);
        if (closed)
            window.close();
    }
    ZarnoWindowView again(state, auth, *m_holder);
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.geometry(), placed);
}

void TestZarnoWindow::rendersTheCardOverThePage()
{
    SessionController state;
    AuthSession auth;
    ZarnoWindowView window(state, auth, *m_holder);
    window.show();
    QVERIFY(loadAndWait(QStringLiteral("/app")));
    auth.adopt(QStringLiteral("a"), QStringLiteral("r"), 4e9, QStringLiteral("ada@example.org"));
    QVERIFY(window.isSignedInCardShown());
    const QImage image = window.grab().toImage();
    QCOMPARE(image.size(), window.size());
    // The card's white ground at its centre line, left of the text.
    const QRect card = window.signedInCard()->geometry();
    QCOMPARE(image.pixelColor(card.left() + 6, card.center().y()).rgb(), QColor(Qt::white).rgb());
    // Kept beside the test binary for a look at the whole window.
    QVERIFY(image.save(QStringLiteral("zarnowindow.png")));
}

QTEST_MAIN(TestZarnoWindow)
#include "tst_zarnowindow.moc"
