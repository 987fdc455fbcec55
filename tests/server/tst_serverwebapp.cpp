#include "fakechatmodel.h"
#include "testservice.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineProfile>

using namespace Qt::StringLiterals;

class TestServerWebApp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void signInKeepsTheSessionWhereTheDesktopAppReadsIt();
    void wrongPasswordShowsASentence();
    void meetingQueryOpensThatNoteWithTranslationsBeside();
    void sideCollapseTogglesTheSidebar();
    void signOutForgetsThePageSession();
    void expiredAccessTokenIsRenewedWhenANoteIsOpened();
    void noteShowsItsSummaryAndKeepsTicks();
    void aNoteSavedWhileThePageIsOpenAppearsWithoutAReload();
    void notesAreRenamedSearchedAndDeletedThroughThePage();

private:
    QVariant run(const QString &script);
    bool load(const QString &pathAndQuery);
    void signInOnPage(const QString &email, const QString &password);
    // A successful sign-in, up to the page's fresh load.
    bool signInAndReload(const QString &email, const QString &password);
    QJsonObject storedSession();
    // Saves a note of one line (with a speaker and side when given) under the page's account.
    QString saveNote(qint64 startedAt, const QString &line, const QString &speaker = {});

    std::unique_ptr<TestService> m_server;
    qint64 m_serverAheadMs = 0; // how far the service's clock runs ahead of the page's
    std::unique_ptr<QWebEngineProfile> m_profile;
    std::unique_ptr<QWebEnginePage> m_page;
};

QVariant TestServerWebApp::run(const QString &script)
{
    QVariant result;
    QEventLoop loop;
    m_page->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return result;
}

bool TestServerWebApp::load(const QString &pathAndQuery)
{
    QSignalSpy finished(m_page.get(), &QWebEnginePage::loadFinished);
    m_page->load(m_server->url(pathAndQuery));
    return finished.wait(20000) && finished.first().first().toBool();
}

void TestServerWebApp::signInOnPage(const QString &email, const QString &password)
{
    run(u"document.getElementById('email').value = '%1';"
        "document.getElementById('password').value = '%2';"
        "document.getElementById('sign-in-form').requestSubmit();"_s.arg(email, password));
}

bool TestServerWebApp::signInAndReload(const QString &email, const QString &password)
{
    QSignalSpy loads(m_page.get(), &QWebEnginePage::loadFinished);
    signInOnPage(email, password);
    return loads.wait(20000) && loads.first().first().toBool();
}

QJsonObject TestServerWebApp::storedSession()
{
    return QJsonDocument::fromJson(run(u"localStorage.getItem('sb-local-auth-token')"_s).toString().toUtf8()).object();
}

QString TestServerWebApp::saveNote(qint64 startedAt, const QString &line, const QString &speaker)
{
    QJsonObject entry{{"t", startedAt + 1000}, {"text", line}, {"lang", "en"}, {"translated", false}};
    if (!speaker.isEmpty()) {
        entry.insert("speaker", speaker);
        entry.insert("source", "mic");
    }
    const QJsonObject body{{"sourceClientId", u"mac_%1_page"_s.arg(startedAt)}, {"startedAt", startedAt}, {"endedAt", startedAt + 120000},
                           {"sourceLanguage", "any"}, {"targetLanguage", "es"}, {"onlyTranscript", false},
                           {"timezone", "Europe/Madrid"},
                           {"entries", QJsonArray{entry, QJsonObject{{"t", startedAt + 2000}, {"text", "Traducción."}, {"lang", "es"}, {"translated", true}}}}};
    return m_server->withBearer("POST", u"/api/sessions"_s, storedSession().value("access_token").toString(), QJsonDocument(body).toJson())
        .json.value("session").toObject().value("id").toString();
}

void TestServerWebApp::init()
{
    m_server = std::make_unique<TestService>();
    // The page compares expiry with the real time; the service may run ahead.
    m_serverAheadMs = 0;
    m_server->options().clock = [this] { return QDateTime::currentMSecsSinceEpoch() + m_serverAheadMs; };
    QVERIFY(m_server->start());
    m_profile = std::make_unique<QWebEngineProfile>(); // off the record: a fresh localStorage per test
    m_page = std::make_unique<QWebEnginePage>(m_profile.get());
    QVERIFY(load(u"/app"_s));
    // Shown, as in the app's window: a hidden page does not ask for the list.
    m_page->setVisible(true);
}

void TestServerWebApp::cleanup()
{
    m_page.reset();
    m_profile.reset();
    m_server.reset();
}

void TestServerWebApp::signInKeepsTheSessionWhereTheDesktopAppReadsIt()
{
    QTRY_VERIFY(run(u"!document.getElementById('sign-in').hidden"_s).toBool());
    // The page loads again, which is when the desktop application copies it.
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!storedSession().isEmpty());
    const QJsonObject session = storedSession();
    QVERIFY(!session.value("access_token").toString().isEmpty());
    QVERIFY(!session.value("refresh_token").toString().isEmpty());
    QVERIFY(session.value("expires_at").isDouble());
    QCOMPARE(session.value("user").toObject().value("email").toString(), u"ada@example.org"_s);
    // The stored tokens are live ones.
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, session.value("access_token").toString()).status, 200);
    QTRY_VERIFY(!run(u"document.getElementById('welcome').hidden"_s).toBool());
    QCOMPARE(run(u"document.getElementById('account-email').textContent"_s).toString(), u"ada@example.org"_s);
}

void TestServerWebApp::wrongPasswordShowsASentence()
{
    QCOMPARE(m_server->signIn(u"ada@example.org"_s, u"correct horse"_s).status, 200);
    signInOnPage(u"ada@example.org"_s, u"wrong horse"_s);
    QTRY_VERIFY(!run(u"document.getElementById('sign-in-error').hidden"_s).toBool());
    QVERIFY(run(u"document.getElementById('sign-in-error').textContent"_s).toString().endsWith(u'.'));
    QVERIFY(storedSession().isEmpty());
}

void TestServerWebApp::meetingQueryOpensThatNoteWithTranslationsBeside()
{
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!storedSession().isEmpty());
    const QString token = storedSession().value("access_token").toString();
    const auto save = [&](qint64 startedAt, const QJsonArray &entries) {
        const QJsonObject body{{"sourceClientId", u"mac_%1_abcde"_s.arg(startedAt / 1000)}, {"startedAt", startedAt}, {"endedAt", startedAt + 120000},
                               {"sourceLanguage", "any"}, {"targetLanguage", "es"}, {"onlyTranscript", false},
                               {"timezone", "Europe/Madrid"}, {"entries", entries}};
        return m_server->withBearer("POST", u"/api/sessions"_s, token, QJsonDocument(body).toJson())
            .json.value("session").toObject().value("id").toString();
    };
    const qint64 start = 1'760'000'000'000LL;
    const QString older = save(start - 86'400'000, {QJsonObject{{"t", start - 86'399'000}, {"text", "Yesterday."}, {"lang", "en"}, {"translated", false}}});
    const auto heard = [start](qint64 at, const QString &text, const QString &source, const QString &speaker) {
        QJsonObject entry{{"t", start + at}, {"text", text}, {"lang", "en"}, {"translated", false}, {"source", source}};
        if (!speaker.isEmpty())
            entry.insert("speaker", speaker);
        return entry;
    };
    const QString id = save(start, {
        heard(1000, u"Good morning."_s, u"mic"_s, u"1"_s),
        QJsonObject{{"t", start + 2000}, {"text", "Buenos días."}, {"lang", "es"}, {"translated", true}},
        heard(65000, u"<b>Not markup</b>"_s, u"system"_s, u"2"_s),
        heard(66000, u"Still me."_s, u"system"_s, u"2"_s),
        heard(67000, u"Who?"_s, u"system"_s, QString()),
    });

    QVERIFY(load(u"/app?meeting="_s + id));
    QTRY_VERIFY(!run(u"document.getElementById('note').hidden"_s).toBool());
    QCOMPARE(run(u"document.querySelectorAll('#note-lines .row').length"_s).toInt(), 4);
    // A label where the voice changes: the user's microphone, the call's speaker, the call's side.
    QCOMPARE(run(u"[...document.querySelectorAll('#note-lines .row .source')].map(s => s.querySelector('.who')?.textContent ?? '-').join(',')"_s)
                 .toString(),
             u"You,Speaker 2,-,Others"_s);
    run(u"document.querySelectorAll('#note-lines .who').forEach(w => w.remove())"_s);
    QCOMPARE(run(u"document.querySelector('#note-lines .row .source').textContent"_s).toString(), u"Good morning."_s);
    QCOMPARE(run(u"document.querySelector('#note-lines .row .translation').textContent"_s).toString(), u"Buenos días."_s);
    QCOMPARE(run(u"document.querySelectorAll('#note-lines .row')[1].querySelector('.time').textContent"_s).toString(), u"1:05"_s);
    // Text from the notes is shown as text, never interpreted.
    QCOMPARE(run(u"document.querySelectorAll('#note-lines b').length"_s).toInt(), 0);
    // Newest first, the open note marked.
    QCOMPARE(run(u"[...document.querySelectorAll('#note-list a')].map(a => a.dataset.id).join(',')"_s).toString(), id + u',' + older);
    QCOMPARE(run(u"document.querySelector('#note-list a.current').dataset.id"_s).toString(), id);

    QVERIFY(load(u"/app?meeting=unknown"_s));
    QTRY_VERIFY(!run(u"document.getElementById('status').hidden"_s).toBool());
    QVERIFY(run(u"document.getElementById('note').hidden"_s).toBool());
}

void TestServerWebApp::sideCollapseTogglesTheSidebar()
{
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!storedSession().isEmpty());
    QVERIFY(!run(u"document.getElementById('shell').classList.contains('collapsed')"_s).toBool());
    run(u"document.getElementById('side-collapse').click()"_s);
    QVERIFY(run(u"document.getElementById('shell').classList.contains('collapsed')"_s).toBool());
    run(u"document.getElementById('side-collapse').click()"_s);
    QVERIFY(!run(u"document.getElementById('shell').classList.contains('collapsed')"_s).toBool());
}

void TestServerWebApp::signOutForgetsThePageSession()
{
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!storedSession().isEmpty());
    const QString refresh = storedSession().value("refresh_token").toString();
    const QString access = storedSession().value("access_token").toString();
    // The page finishes signing in (it loads the notes list) before the click.
    QTRY_VERIFY(!run(u"document.getElementById('welcome').hidden"_s).toBool());
    // The page loads itself afresh once the service is told: look after that.
    QSignalSpy reloaded(m_page.get(), &QWebEnginePage::loadFinished);
    run(u"document.getElementById('sign-out').click()"_s);
    QVERIFY(storedSession().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!reloaded.isEmpty(), 20000);
    QTRY_VERIFY(!run(u"document.getElementById('sign-in').hidden"_s).toBool());
    QVERIFY(run(u"document.getElementById('welcome').hidden"_s).toBool());
    // The service ends the sign-in too (the desktop application's copy with it).
    QTRY_COMPARE(m_server->withBearer("GET", u"/api/sessions"_s, access).status, 401);
    QCOMPARE(m_server->refresh(refresh).status, 400);
}

void TestServerWebApp::expiredAccessTokenIsRenewedWhenANoteIsOpened()
{
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!storedSession().isEmpty());
    const QJsonObject before = storedSession();
    const QJsonObject body{{"sourceClientId", "mac_1_abcde"}, {"startedAt", 1'760'000'000'000LL}, {"endedAt", 1'760'000'060'000LL},
                           {"sourceLanguage", "any"}, {"targetLanguage", "es"}, {"onlyTranscript", true},
                           {"timezone", "Etc/UTC"},
                           {"entries", QJsonArray{QJsonObject{{"t", 1'760'000'001'000LL}, {"text", "Go forward ten meters."},
                                                              {"lang", "en"}, {"translated", false}}}}};
    const QString id = m_server->withBearer("POST", u"/api/sessions"_s, before.value("access_token").toString(),
                                            QJsonDocument(body).toJson())
                           .json.value("session").toObject().value("id").toString();
    QVERIFY(!id.isEmpty());
    QVERIFY(load(u"/app"_s));
    QTRY_COMPARE(run(u"document.querySelectorAll('#note-list a').length"_s).toInt(), 1);

    // The page stays open while its access token runs out at the service.
    m_serverAheadMs = 3601 * 1000;
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, before.value("access_token").toString()).status, 401);
    run(u"document.querySelector('#note-list a').click()"_s);
    QTRY_VERIFY(!run(u"document.getElementById('note').hidden"_s).toBool());
    QVERIFY(run(u"document.getElementById('sign-in').hidden"_s).toBool());
    QCOMPARE(run(u"document.querySelector('#note-lines .row .source').textContent"_s).toString(), u"Go forward ten meters."_s);
    const QJsonObject after = storedSession();
    QVERIFY(after.value("refresh_token").toString() != before.value("refresh_token").toString());
    QVERIFY(after.value("access_token").toString() != before.value("access_token").toString());
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + id, after.value("access_token").toString()).status, 200);
}

void TestServerWebApp::noteShowsItsSummaryAndKeepsTicks()
{
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!storedSession().isEmpty());
    const QString token = storedSession().value("access_token").toString();
    const QJsonObject body{{"sourceClientId", "mac_1_sum"}, {"startedAt", 1'760'000'000'000LL}, {"endedAt", 1'760'000'060'000LL},
                           {"sourceLanguage", "en"}, {"targetLanguage", "es"}, {"onlyTranscript", true},
                           {"timezone", "Europe/Madrid"},
                           {"entries", QJsonArray{QJsonObject{{"t", 1'760'000'001'000LL}, {"text", "Ana books the room by Friday."},
                                                              {"lang", "en"}, {"translated", false}}}}};
    const QString id = m_server->withBearer("POST", u"/api/sessions"_s, token, QJsonDocument(body).toJson())
                           .json.value("session").toObject().value("id").toString();

    // No model: one sentence on how to turn summaries on, and nothing to press.
    QVERIFY(load(u"/app?meeting="_s + id));
    QTRY_COMPARE(run(u"document.getElementById('summary').dataset.status"_s).toString(), u"off"_s);
    QVERIFY(run(u"document.getElementById('summary-quiet').textContent"_s).toString().contains(u"--llm-url"_s));
    QVERIFY(run(u"document.getElementById('summary-again').hidden"_s).toBool());

    // The same note under a service with a model: opened, it is summarised.
    FakeChatModel model;
    model.replies = {FakeChatModel::completion(
        uR"({"overview":"Rooms for the <b>launch</b>.","decisions":["Use room 4"],)"
        uR"("actionItems":[{"task":"Book the room","owner":"Ana","due":"Friday"},{"task":"Tell Bo","owner":null,"due":null}]})"_s)};
    m_server->stop();
    m_server->options().summaries = {model.baseUrl(), u"tiny"_s, {}, 120000};
    QVERIFY(m_server->start());
    QVERIFY(load(u"/app?meeting="_s + id)); // a new port is a new origin: signed out
    QTRY_VERIFY(!run(u"document.getElementById('sign-in').hidden"_s).toBool());
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    // Pending first, then the page asks again until the model has answered.
    QTRY_COMPARE_WITH_TIMEOUT(run(u"document.getElementById('summary').dataset.status"_s).toString(), u"ready"_s, 20000);
    QCOMPARE(run(u"document.getElementById('summary-overview').textContent"_s).toString(), u"Rooms for the <b>launch</b>."_s);
    QCOMPARE(run(u"[...document.querySelectorAll('#summary-decisions li')].map(li => li.textContent).join('|')"_s).toString(),
             u"Use room 4"_s);
    QCOMPARE(run(u"[...document.querySelectorAll('#summary-todos li')].map(li => li.textContent).join('|')"_s).toString(),
             u"Book the roomAna · due Friday|Tell Bo"_s);
    QVERIFY(!run(u"document.getElementById('summary-again').hidden"_s).toBool());

    // A tick is kept with the note and is there when the page comes back.
    run(u"document.querySelector('#summary-todos input').click()"_s);
    QTRY_VERIFY(m_server->withBearer("GET", u"/api/sessions/"_s + id, token).json[u"session"_s][u"summary"_s][u"actionItems"_s][0][u"done"_s].toBool());
    QVERIFY(load(u"/app?meeting="_s + id));
    QTRY_COMPARE(run(u"document.getElementById('summary').dataset.status"_s).toString(), u"ready"_s);
    QVERIFY(run(u"document.querySelector('#summary-todos input').checked"_s).toBool());
    QVERIFY(!run(u"document.querySelectorAll('#summary-todos input')[1].checked"_s).toBool());

    // "Summarise again" with a model that fails: a quiet line while it works, then the reason.
    model.replies = {FakeChatModel::error(500, u"out of memory"_s)};
    run(u"document.getElementById('summary-again').click()"_s);
    QTRY_COMPARE_WITH_TIMEOUT(run(u"document.getElementById('summary').dataset.status"_s).toString(), u"failed"_s, 20000);
    QCOMPARE(run(u"document.getElementById('summary-quiet').textContent"_s).toString(),
             u"No summary this time: The model server failed (HTTP 500): out of memory."_s);
    QVERIFY(!run(u"document.getElementById('summary-again').hidden"_s).toBool());
}

void TestServerWebApp::aNoteSavedWhileThePageIsOpenAppearsWithoutAReload()
{
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!run(u"document.getElementById('welcome').hidden"_s).toBool());
    QCOMPARE(run(u"document.querySelectorAll('#note-list a').length"_s).toInt(), 0);
    run(u"window.stillThisPage = true"_s);
    QVERIFY(!saveNote(1'760'000'000'000LL, u"We reviewed the budget for the café. Then lunch."_s).isEmpty());
    // The page asks for the list on its own while it is visible.
    QTRY_COMPARE_WITH_TIMEOUT(run(u"document.querySelectorAll('#note-list a').length"_s).toInt(), 1, 20000);
    QCOMPARE(run(u"document.querySelector('#note-list a .title').textContent"_s).toString(), u"We reviewed the budget for the café"_s);
    QVERIFY(run(u"window.stillThisPage === true"_s).toBool());
}

void TestServerWebApp::notesAreRenamedSearchedAndDeletedThroughThePage()
{
    QVERIFY(signInAndReload(u"ada@example.org"_s, u"correct horse"_s));
    QTRY_VERIFY(!storedSession().isEmpty());
    const QString budget = saveNote(1'760'000'000'000LL, u"We reviewed the budget."_s, u"Ana"_s);
    const QString lunch = saveNote(1'760'000'600'000LL, u"Lunch plans for Friday."_s);
    QVERIFY(load(u"/app?meeting="_s + budget));
    QTRY_VERIFY(!run(u"document.getElementById('note').hidden"_s).toBool());
    QVERIFY2(run(u"document.getElementById('note-meta').textContent"_s).toString().startsWith(u"2 min · English → Spanish · "_s),
             qPrintable(run(u"document.getElementById('note-meta').textContent"_s).toString()));
    // One voice alone needs no name.
    QCOMPARE(run(u"document.querySelectorAll('#note-lines .row .who').length"_s).toInt(), 0);

    // Rename in place: Enter keeps the trimmed title, in the note, the list and the service.
    run(u"document.getElementById('note-rename').click()"_s);
    QVERIFY(!run(u"document.getElementById('note-title-edit').hidden"_s).toBool());
    run(u"{ const e = document.getElementById('note-title-edit'); e.value = '  Budget 2026 ';"
        "e.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter', bubbles: true})) }"_s);
    QTRY_COMPARE(run(u"document.querySelector('#note-list a.current .title').textContent"_s).toString(), u"Budget 2026"_s);
    QCOMPARE(run(u"document.getElementById('note-title').textContent"_s).toString(), u"Budget 2026"_s);
    const QString token = storedSession().value("access_token").toString();
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + budget, token).json[u"session"_s][u"title"_s].toString(), u"Budget 2026"_s);

    // Ctrl+F goes to the search box; results come as one types, the match marked.
    run(u"document.body.dispatchEvent(new KeyboardEvent('keydown', {key: 'f', ctrlKey: true, bubbles: true}))"_s);
    QCOMPARE(run(u"document.activeElement.id"_s).toString(), u"search"_s);
    run(u"{ const s = document.getElementById('search'); s.value = 'LUNCH'; s.dispatchEvent(new Event('input')) }"_s);
    QTRY_COMPARE(run(u"[...document.querySelectorAll('#note-list a')].map(a => a.dataset.id).join(',')"_s).toString(), lunch);
    QCOMPARE(run(u"document.querySelector('#note-list mark').textContent"_s).toString(), u"Lunch"_s);
    run(u"{ const s = document.getElementById('search'); s.value = 'nothing-like-it'; s.dispatchEvent(new Event('input')) }"_s);
    QTRY_VERIFY(!run(u"document.getElementById('search-empty').hidden"_s).toBool());
    run(u"{ const s = document.getElementById('search'); s.value = ''; s.dispatchEvent(new Event('input')); s.blur() }"_s);
    QTRY_COMPARE(run(u"document.querySelectorAll('#note-list a').length"_s).toInt(), 2);

    // The page's own menu on a note, not the browser's.
    QVERIFY(run(u"{ const a = document.querySelector('#note-list a');"
                "const e = new MouseEvent('contextmenu', {bubbles: true, cancelable: true, clientX: 40, clientY: 60});"
                "a.dispatchEvent(e); e.defaultPrevented }"_s).toBool());
    QCOMPARE(run(u"[...document.querySelectorAll('#context-menu:not([hidden]) button')].map(b => b.textContent).join('|')"_s).toString(),
             u"Rename|Export…|Copy as text|Delete"_s);
    run(u"document.body.dispatchEvent(new KeyboardEvent('keydown', {key: 'Escape', bubbles: true}))"_s);
    QVERIFY(run(u"document.getElementById('context-menu').hidden"_s).toBool());

    // Delete asks first; cancelled, nothing goes.
    run(u"document.body.dispatchEvent(new KeyboardEvent('keydown', {key: 'Delete', bubbles: true}))"_s);
    QVERIFY(!run(u"document.getElementById('confirm').hidden"_s).toBool());
    QVERIFY(run(u"document.getElementById('confirm-text').textContent"_s).toString().contains(u"Budget 2026"_s));
    run(u"document.getElementById('confirm-cancel').click()"_s);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + budget, token).status, 200);
    run(u"document.getElementById('note-delete').click()"_s);
    run(u"document.getElementById('confirm-delete').click()"_s);
    QTRY_COMPARE(run(u"[...document.querySelectorAll('#note-list a')].map(a => a.dataset.id).join(',')"_s).toString(), lunch);
    QTRY_VERIFY(!run(u"document.getElementById('welcome').hidden"_s).toBool());
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + budget, token).status, 404);

    // Arrows move through the list and open the note.
    run(u"document.body.dispatchEvent(new KeyboardEvent('keydown', {key: 'ArrowDown', bubbles: true}))"_s);
    QTRY_VERIFY(!run(u"document.getElementById('note').hidden"_s).toBool());
    QCOMPARE(run(u"new URLSearchParams(location.search).get('meeting')"_s).toString(), lunch);
}

int main(int argc, char *argv[])
{
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    qputenv("QT_LOGGING_RULES", "qt.webenginecontext.info=false");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QGuiApplication app(argc, argv);
    TestServerWebApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serverwebapp.moc"
