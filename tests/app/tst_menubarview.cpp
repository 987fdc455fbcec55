#include "sessioncontroller.h"
#include "authsession.h"
#include "brand.h"
#include "livehud.h"
#include "menubarpopup.h"
#include "meetingdetector.h"
#include "menubarview.h"
#include "miccapture.h"
#include "serviceclient.h"
#include "sessionfakes.h"
#include "widgetfinders.h"
#include "settings.h"
#include "usersettings.h"
#include "wrappedtext.h"

#include <QApplication>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QFile>
#include <QTest>

#include <algorithm>

namespace {

QSettings store()
{
    return ZarnoSettings::standardStore();
}

// A session controller with a stand-in detector and nothing else: enough to
// show every state and to see a start begin.
struct Rig
{
    FakeDetector *detector = nullptr;
    std::unique_ptr<SessionController> state;
    AuthSession auth;
    FakeHarvest harvest;
    UserSettings settings;
    LiveHUD hud;
    int opens = 0;
    int quits = 0;
    int settingsOpened = 0;
    std::unique_ptr<MenuBarView> view;

    Rig()
    {
        SessionParts parts;
        auto watch = std::make_unique<FakeDetector>();
        detector = watch.get();
        parts.detector = std::move(watch);
        state = std::make_unique<SessionController>(std::move(parts));
        hud.setAnimationDuration(0);
        view = std::make_unique<MenuBarView>(*state, settings, auth, harvest,
                                             MenuBarActions{[this] { ++opens; }, [this] { ++quits; },
                                                            [this] { ++settingsOpened; }},
                                             &hud);
    }
};

// The buttons a user can see, in reading order.
QStringList visibleButtons(const QWidget &view)
{
    QStringList texts;
    for (const QAbstractButton *button : view.findChildren<QAbstractButton *>()) {
        if (button->isVisibleTo(&view))
            texts.append(button->text());
    }
    return texts;
}

WrappedText *text(const QWidget &view, const QString &name)
{
    return view.findChild<WrappedText *>(name);
}

const QStringList headerOf = {QStringLiteral("Translate"), QStringLiteral("Transcript"),
                              QStringLiteral("Auto-detect → English")};
const QStringList rowsSignedOut = {QStringLiteral("Open zarno"), QStringLiteral("Show live panel"),
                                   QStringLiteral("Sign in"), QStringLiteral("Include the call's sound  ✓"),
                                   QStringLiteral("Start at login"),
                                   QStringLiteral("Settings…"), QStringLiteral("Quit zarno")};

} // namespace

class TestMenuBarView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void controlsFollowTheSession_data();
    void controlsFollowTheSession();
    void meetingCardOnlyWhileNotListening_data();
    void meetingCardOnlyWhileNotListening();
    void takeNotesClearsTheMeetingAndStarts_data();
    void takeNotesClearsTheMeetingAndStarts();
    void notNowClearsOnlyTheDetection();
    void transcriptModeDisablesTheLanguageMenu();
    void languageLabelNamesTheStoredCode_data();
    void languageLabelNamesTheStoredCode();
    void choosingALanguageStoresItsCode();
    void targetsTheServerCannotServeAreMarked_data();
    void targetsTheServerCannotServeAreMarked();
    void signInRowOnlyWhileSignedOut();
    void startAtLoginIsTheDesktopsAutostartEntry();
    void callSoundIsTheStoredSwitch_data();
    void callSoundIsTheStoredSwitch();
    void rowsLeadOutOfThePanel_data();
    void rowsLeadOutOfThePanel();
    void longErrorWrapsWithinTheWidth();
    void aSeenSentenceGoesWithTheNextActionOrItsCause_data();
    void aSeenSentenceGoesWithTheNextActionOrItsCause();
    void everyAppearanceHarvestsOnce();
    void popupHangsUnderItsAnchorInsideTheScreen_data();
    void popupHangsUnderItsAnchorInsideTheScreen();
    void rendersOnPaper();
};

void TestMenuBarView::init()
{
    QSettings s = store();
    s.clear();
}

void TestMenuBarView::controlsFollowTheSession_data()
{
    QTest::addColumn<SessionController::Phase>("phase");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("save");
    QTest::addColumn<QString>("saveMessage");
    QTest::addColumn<QStringList>("controls");
    QTest::addColumn<QString>("saveFailure");

    using Phase = SessionController::Phase;
    const auto idle = int(SaveState::Kind::Idle);
    QTest::newRow("idle") << Phase::Idle << QString() << idle << QString() << QStringList{"Take notes"}
                          << QString();
    QTest::newRow("listening") << Phase::Listening << QString() << idle << QString()
                               << QStringList{"Pause", "Stop & save · 12:34"} << QString();
    QTest::newRow("paused") << Phase::Paused << QString() << idle << QString()
                            << QStringList{"Resume · 12:34", "Save notes"} << QString();
    QTest::newRow("error while listening stays visible")
        << Phase::Listening << SessionController::notSignedInText << idle << QString()
        << QStringList{"Pause", "Stop & save · 12:34"} << QString();
    QTest::newRow("recovered session: information, not a failure")
        << Phase::Paused << SessionController::recoveredText << idle << QString()
        << QStringList{"Resume · 12:34", "Save notes"} << QString();
    QTest::newRow("saving shows no line") << Phase::Uploading << QString() << idle
                                          << QString() << QStringList{"Take notes"} << QString();
    QTest::newRow("saved") << Phase::Idle << QString() << int(SaveState::Kind::Saved) << QString()
                           << QStringList{"Take notes", "See notes"} << QString();
    QTest::newRow("failed save returns to paused")
        << Phase::Paused << QString() << int(SaveState::Kind::Failed) << SessionController::saveFailedText
        << QStringList{"Resume · 12:34", "Save notes"} << SessionController::saveFailedText;
}

void TestMenuBarView::controlsFollowTheSession()
{
    QFETCH(SessionController::Phase, phase);
    QFETCH(QString, error);
    QFETCH(int, save);
    QFETCH(QString, saveMessage);
    QFETCH(QStringList, controls);
    QFETCH(QString, saveFailure);

    Rig rig;
    rig.view->show();
    SessionController::Preview preview;
    preview.phase = phase;
    preview.elapsed = QStringLiteral("12:34");
    if (!error.isEmpty())
        preview.lastError = error;
    switch (SaveState::Kind(save)) {
    case SaveState::Kind::Idle:
        break;
    case SaveState::Kind::Saved:
        preview.saveState = SaveState::saved();
        break;
    case SaveState::Kind::Failed:
        preview.saveState = SaveState::failed(saveMessage);
        break;
    }
    rig.state->showPreview(preview);

    QCOMPARE(visibleButtons(*rig.view), headerOf + controls + rowsSignedOut);
    QCOMPARE(shownIn(text(*rig.view, QStringLiteral("errorText")), rig.view.get()), !error.isEmpty());
    if (!error.isEmpty()) {
        QCOMPARE(text(*rig.view, QStringLiteral("errorText"))->text(), error);
        QCOMPARE(text(*rig.view, QStringLiteral("errorText"))->color(),
                 SessionController::isNotice(error) ? Brand::inkSoft() : Brand::tomato());
    }
    WrappedText *failure = text(*rig.view, QStringLiteral("saveFailure"));
    QCOMPARE(shownIn(failure, rig.view.get()), !saveFailure.isEmpty());
    if (!saveFailure.isEmpty())
        QCOMPARE(failure->text(), saveFailure);
    const bool saved = SaveState::Kind(save) == SaveState::Kind::Saved;
    const QList<QLabel *> labels = rig.view->findChildren<QLabel *>();
    const bool savedLine = std::any_of(labels.begin(), labels.end(), [&](const QLabel *l) {
        return l->text() == QStringLiteral("✓ Notes saved") && l->isVisibleTo(rig.view.get());
    });
    QCOMPARE(savedLine, saved);
    QCOMPARE(rig.view->width(), MenuBarView::panelWidth);

    // The elapsed time follows the ticker without any other change.
    if (phase == SessionController::Phase::Listening) {
        preview.elapsed = QStringLiteral("12:35");
        rig.state->showPreview(preview);
        QVERIFY(visibleButton(*rig.view, QStringLiteral("Stop & save · 12:35")));
        // Out of sight only the time is kept; shown again, it reads the current one.
        rig.view->hide();
        preview.elapsed = QStringLiteral("12:36");
        rig.state->showPreview(preview);
        rig.view->show();
        QVERIFY(visibleButton(*rig.view, QStringLiteral("Stop & save · 12:36")));
    }
}

void TestMenuBarView::meetingCardOnlyWhileNotListening_data()
{
    QTest::addColumn<QString>("detected");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<bool>("paused");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("title");

    QTest::newRow("idle with a meeting") << "Zoom" << false << false << true << "Meeting detected in Zoom";
    QTest::newRow("listening hides it") << "Zoom" << true << false << false << QString();
    QTest::newRow("paused shows it") << "Microsoft Teams" << false << true << true
                                     << "Meeting detected in Microsoft Teams";
    QTest::newRow("no meeting") << QString() << false << false << false << QString();
    QTest::newRow("the microphone's finding") << MeetingDetector::genericSource() << false << false << true
                                              << "Meeting detected — " + MeetingDetector::genericSource();
}

void TestMenuBarView::meetingCardOnlyWhileNotListening()
{
    QFETCH(QString, detected);
    QFETCH(bool, listening);
    QFETCH(bool, paused);
    QFETCH(bool, shown);
    QFETCH(QString, title);

    Rig rig;
    if (!detected.isEmpty())
        rig.detector->setDetectedApp(detected);
    rig.view->show();
    SessionController::Preview preview;
    preview.phase = previewPhase(listening, paused);
    rig.state->showPreview(preview);

    const QWidget *card = rig.view->findChild<QWidget *>(QStringLiteral("meetingCard"));
    QCOMPARE(::shownIn(card, rig.view.get()), shown);
    if (shown)
        QCOMPARE(text(*rig.view, QStringLiteral("meetingText"))->text(), title);
    // One "Take notes" at a time: the card's, or the idle control.
    QVERIFY(visibleButtons(*rig.view).count(QStringLiteral("Take notes")) <= 1);

    // Once the session ends the card is back for a detection still standing.
    rig.state->showPreview(SessionController::Preview());
    QCOMPARE(::shownIn(card, rig.view.get()), !detected.isEmpty());
}

void TestMenuBarView::takeNotesClearsTheMeetingAndStarts_data()
{
    QTest::addColumn<bool>("fromCard");
    QTest::newRow("meeting card") << true;
    QTest::newRow("idle control") << false;
}

void TestMenuBarView::takeNotesClearsTheMeetingAndStarts()
{
    QFETCH(bool, fromCard);

    Rig rig;
    if (fromCard)
        rig.detector->setDetectedApp(QStringLiteral("Zoom"));
    rig.view->show();
    const QWidget *card = rig.view->findChild<QWidget *>(QStringLiteral("meetingCard"));
    QAbstractButton *take = nullptr;
    for (QAbstractButton *b : rig.view->findChildren<QAbstractButton *>()) {
        if (b->text() == QStringLiteral("Take notes") && card->isAncestorOf(b) == fromCard)
            take = b;
    }
    QVERIFY(take);
    QSignalSpy closing(rig.view.get(), &MenuBarView::closeRequested);
    QTest::mouseClick(take, Qt::LeftButton);

    // The menu steps aside for the live panel.
    QCOMPARE(closing.count(), 1);
    QCOMPARE(rig.detector->detectedApp(), std::nullopt);
    QVERIFY((rig.state->phase() == SessionController::Phase::Starting));
    QCOMPARE(rig.hud.state(), rig.state.get());
    QVERIFY(!shownIn(card, rig.view.get()));
}

void TestMenuBarView::notNowClearsOnlyTheDetection()
{
    Rig rig;
    {
        QSettings s = store();
        s.setValue(UserSettings::targetLanguageKey, QStringLiteral("de"));
    }
    rig.detector->setDetectedApp(QStringLiteral("Webex"));
    rig.detector->setSuppressed(false);
    rig.view->show();
    QSignalSpy changes(rig.state.get(), &SessionController::changed);

    QTest::mouseClick(visibleButton(*rig.view, QStringLiteral("Not now")), Qt::LeftButton);

    QCOMPARE(rig.detector->detectedApp(), std::nullopt);
    QVERIFY(!rig.detector->suppressed());
    QCOMPARE(rig.state->phase(), SessionController::Phase::Idle);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(rig.hud.state(), nullptr);
    QCOMPARE(store().value(UserSettings::targetLanguageKey).toString(), QStringLiteral("de"));
    QVERIFY(!shownIn(rig.view->findChild<QWidget *>(QStringLiteral("meetingCard")), rig.view.get()));
}

void TestMenuBarView::transcriptModeDisablesTheLanguageMenu()
{
    Rig rig;
    // A second panel (the main window's) must show the same mode.
    MenuBarView other(*rig.state, rig.settings, rig.auth, rig.harvest, {}, &rig.hud);
    rig.view->show();
    LanguageMenuButton *language = rig.view->languageButton();
    QVERIFY(language->isEnabled());

    QTest::mouseClick(rig.view->transcriptSegment(), Qt::LeftButton);
    QCOMPARE(store().value(UserSettings::transcriptOnlyKey).toBool(), true);
    QVERIFY(rig.view->transcriptSegment()->isSelected());
    QVERIFY(!rig.view->translateSegment()->isSelected());
    QCOMPARE(rig.view->transcriptSegment()->textColor(), QColor(Qt::white));
    QCOMPARE(rig.view->transcriptSegment()->backgroundColor(), Brand::action());
    QCOMPARE(rig.view->transcriptSegment()->labelFont().weight(), QFont::DemiBold);
    QCOMPARE(rig.view->translateSegment()->textColor(), Brand::inkSoft());
    QVERIFY(!language->isEnabled());
    QCOMPARE(language->drawnOpacity(), 0.55);
    QCOMPARE(language->textColor(), Brand::inkFaint());
    QCOMPARE(language->iconColor(), Brand::inkFaint());
    QVERIFY(other.transcriptSegment()->isSelected());
    QVERIFY(!other.languageButton()->isEnabled());
    // A disabled menu cannot be opened.
    QTest::mouseClick(language, Qt::LeftButton);
    QVERIFY(!rig.view->languageMenu()->isVisible());

    QTest::mouseClick(rig.view->translateSegment(), Qt::LeftButton);
    QCOMPARE(store().value(UserSettings::transcriptOnlyKey).toBool(), false);
    QVERIFY(language->isEnabled());
    QCOMPARE(language->drawnOpacity(), 1.0);
    QCOMPARE(language->textColor(), Brand::ink());
    QCOMPARE(language->iconColor(), Brand::action());
    QTest::mouseClick(language, Qt::LeftButton);
    QTRY_VERIFY(rig.view->languageMenu()->isVisible());
    rig.view->languageMenu()->hide();
}

void TestMenuBarView::languageLabelNamesTheStoredCode_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("label");

    QTest::newRow("nothing stored") << QVariant() << "Auto-detect → English";
    QTest::newRow("japanese") << QVariant(QStringLiteral("ja")) << "Auto-detect → Japanese";
    QTest::newRow("portuguese, the last entry") << QVariant(QStringLiteral("pt")) << "Auto-detect → Portuguese";
    QTest::newRow("spanish") << QVariant(QStringLiteral("es")) << "Auto-detect → Spanish";
    QTest::newRow("chinese") << QVariant(QStringLiteral("zh")) << "Auto-detect → Chinese";
    QTest::newRow("unknown code") << QVariant(QStringLiteral("xx")) << "Auto-detect → English";
    QTest::newRow("wrong case") << QVariant(QStringLiteral("JA")) << "Auto-detect → English";
    QTest::newRow("empty") << QVariant(QString()) << "Auto-detect → English";
}

void TestMenuBarView::languageLabelNamesTheStoredCode()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, label);
    if (stored.isValid()) {
        QSettings s = store();
        s.setValue(UserSettings::targetLanguageKey, stored);
    }
    Rig rig;
    rig.view->show();
    LanguageMenuButton *button = rig.view->languageButton();
    QCOMPARE(button->text(), label);
    // All of it is drawn, and it fits the width it is drawn in.
    QCOMPARE(button->shownText(), label);
    QVERIFY2(button->sizeHint().width() <= button->width(),
             qPrintable(QStringLiteral("%1 needs %2, has %3").arg(label).arg(button->sizeHint().width()).arg(button->width())));
    // The chosen language, and only it, carries the check mark.
    QStringList checked;
    for (QAction *item : rig.view->languageMenu()->actions()) {
        if (item->isChecked())
            checked.append(item->text());
    }
    QCOMPARE(checked, QStringList{label});
    // Showing a name never rewrites what is stored.
    QCOMPARE(store().value(UserSettings::targetLanguageKey), stored);
}

void TestMenuBarView::choosingALanguageStoresItsCode()
{
    {
        QSettings s = store();
        s.setValue(UserSettings::targetLanguageKey, QStringLiteral("xx"));
    }
    Rig rig;
    rig.view->show();
    QStringList titles;
    QAction *japanese = nullptr;
    for (QAction *item : rig.view->languageMenu()->actions()) {
        titles.append(item->text());
        if (item->text() == QStringLiteral("Auto-detect → Japanese"))
            japanese = item;
    }
    QCOMPARE(titles, (QStringList{"Auto-detect → English", "Auto-detect → Chinese", "Auto-detect → Spanish",
                                  "Auto-detect → Japanese", "Auto-detect → Korean", "Auto-detect → French",
                                  "Auto-detect → German", "Auto-detect → Portuguese"}));
    QVERIFY(japanese);
    japanese->trigger();
    QCOMPARE(store().value(UserSettings::targetLanguageKey).toString(), QStringLiteral("ja"));
    QCOMPARE(ZarnoSettings::load().languageB, QStringLiteral("ja"));
    QCOMPARE(rig.view->languageButton()->text(), QStringLiteral("Auto-detect → Japanese"));
}

void TestMenuBarView::targetsTheServerCannotServeAreMarked_data()
{
    QTest::addColumn<QByteArray>("config"); // empty: no server answers
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QString>("chosen"); // the target afterwards
    const QStringList all{"en", "zh", "es", "ja", "ko", "fr", "de", "pt"};
    const QByteArray keys = R"("supabaseUrl":"http://127.0.0.1:1","supabaseAnonKey":"k")";
    QTest::newRow("local engine") << QByteArray("{" + keys + R"(,"engine":{"name":"local","sourceLanguages":["en"],"translationTargets":["es"]}})")
                                  << QStringList{"es"} << "Spanish";
    QTest::newRow("every target") << QByteArray("{" + keys + R"(,"engine":{"name":"soniox","translationTargets":["en","zh","es","ja","ko","fr","de","pt","it"]}})")
                                  << all << "English";
    QTest::newRow("no targets at all") << QByteArray("{" + keys + R"(,"engine":{"name":"mute","translationTargets":[]}})")
                                       << QStringList{} << "English";
    QTest::newRow("server says nothing") << QByteArray("{" + keys + "}") << all << "English";
    QTest::newRow("unreadable targets") << QByteArray("{" + keys + R"(,"engine":{"translationTargets":["es",7]}})") << all << "English";
    QTest::newRow("targets not a list") << QByteArray("{" + keys + R"(,"engine":{"translationTargets":"es"}})") << all << "English";
    QTest::newRow("not JSON") << QByteArray("<html>") << all << "English";
    QTest::newRow("no server") << QByteArray() << all << "English";
}

void TestMenuBarView::targetsTheServerCannotServeAreMarked()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, offered);
    QFETCH(QString, chosen);
    QHttpServer server;
    server.route("/api/auth/config", [&config] { return QHttpServerResponse("application/json", config); });
    // Port 1 on loopback refuses: a server that cannot be reached.
    const quint16 port = config.isEmpty() ? 1 : server.listen(QHostAddress::LocalHost, 0);
    QVERIFY(port);
    {
        QSettings s = store();
        s.setValue(QStringLiteral("serverURL"), QStringLiteral("http://127.0.0.1:%1").arg(port));
    }
    Rig rig;
    rig.view->show();
    // The view asks the service client; it speaks no HTTP itself.
    QVERIFY(!rig.view->findChild<QNetworkAccessManager *>());
    auto *network = rig.auth.client().findChild<QNetworkAccessManager *>();
    QVERIFY(network);
    QSignalSpy answered(network, &QNetworkAccessManager::finished);
    QVERIFY(answered.wait(5000));
    for (QAction *item : rig.view->languageMenu()->actions()) {
        const bool isOffered = offered.contains(item->data().toString());
        QCOMPARE(item->isEnabled(), isOffered);
        QCOMPARE(item->toolTip() == MenuBarView::notOfferedTip, !isOffered);
    }
    // A stored target the server cannot serve gives way to the first it
    // serves, said once; with nothing served, the choice stays.
    QCOMPARE(rig.view->languageButton()->text(), QStringLiteral("Auto-detect → ") + chosen);
    const bool replaced = chosen != u"English";
    QCOMPARE(shownIn(text(*rig.view, QStringLiteral("noticeText")), rig.view.get()), replaced);
    if (replaced) {
        QCOMPARE(text(*rig.view, QStringLiteral("noticeText"))->text(),
                 QStringLiteral("English is not available on this server, so zarno translates into Spanish."));
        Rig again;
        again.view->show();
        auto *asking = again.auth.client().findChild<QNetworkAccessManager *>();
        QVERIFY(asking);
        QSignalSpy answeredAgain(asking, &QNetworkAccessManager::finished);
        QVERIFY(answeredAgain.wait(5000));
        QVERIFY(!shownIn(text(*again.view, QStringLiteral("noticeText")), again.view.get()));
        // Seen, it goes with the next action.
        QTest::mouseClick(rig.view->transcriptSegment(), Qt::LeftButton);
        QVERIFY(!shownIn(text(*rig.view, QStringLiteral("noticeText")), rig.view.get()));
    }
}

void TestMenuBarView::callSoundIsTheStoredSwitch_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("on");

    QTest::newRow("nothing stored: on") << QVariant() << true;
    QTest::newRow("turned off") << QVariant(QStringLiteral("false")) << false;
    QTest::newRow("turned on") << QVariant(QStringLiteral("true")) << true;
    QTest::newRow("written by hand in capitals") << QVariant(QStringLiteral("FALSE")) << false;
}

// The row shows the stored switch, a click stores the other way, a change
// made in the settings window shows here, and a capture that could not hear
// the computer's sound is said in the panel.
void TestMenuBarView::callSoundIsTheStoredSwitch()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, on);
    if (stored.isValid())
        store().setValue(UserSettings::includeCallSoundKey, stored);
    Rig rig;
    rig.view->show();
    auto *row = rig.view->findChild<QAbstractButton *>(QStringLiteral("includeCallSound"));
    QVERIFY(row);
    QCOMPARE(row->isChecked(), on);
    QCOMPARE(UserSettings::includesCallSound(), on);

    row->click();
    QCOMPARE(row->isChecked(), !on);
    QCOMPARE(UserSettings::includesCallSound(), !on);
    QCOMPARE(store().value(UserSettings::includeCallSoundKey).toBool(), !on);
    rig.settings.setIncludeCallSound(on);
    QCOMPARE(row->isChecked(), on);
    QCOMPARE(row->text(), on ? QStringLiteral("Include the call's sound  ✓") : QStringLiteral("Include the call's sound"));

    QVERIFY(!shownIn(text(*rig.view, QStringLiteral("noticeText")), rig.view.get()));
    rig.settings.tellCallSoundMissing(MicCapture::noSystemSoundNotice());
    QVERIFY(shownIn(text(*rig.view, QStringLiteral("noticeText")), rig.view.get()));
    QCOMPARE(text(*rig.view, QStringLiteral("noticeText"))->text(), MicCapture::noSystemSoundNotice());
}

void TestMenuBarView::startAtLoginIsTheDesktopsAutostartEntry()
{
    QFile::remove(UserSettings::autostartEntryPath());
    Rig rig;
    rig.view->show();
    auto *row = rig.view->findChild<QAbstractButton *>(QStringLiteral("startAtLogin"));
    QVERIFY(row);
    QVERIFY(!row->isChecked()); // off until the user turns it on

    row->click();
    QVERIFY(row->isChecked());
    QFile entry(UserSettings::autostartEntryPath());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QByteArray text = entry.readAll();
    QVERIFY2(text.contains("Exec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\" --hidden\n"), text);
    QVERIFY(text.startsWith("[Desktop Entry]\nType=Application\n"));

    row->click();
    QVERIFY(!row->isChecked());
    QVERIFY(!QFile::exists(UserSettings::autostartEntryPath()));

    // Turned off elsewhere (the desktop's settings): the panel shows it when it next looks.
    rig.settings.setStartAtLogin(true);
    QVERIFY(row->isChecked());
    QFile::remove(UserSettings::autostartEntryPath());
    rig.view->hide();
    rig.view->show();
    QVERIFY(!row->isChecked());
}

void TestMenuBarView::signInRowOnlyWhileSignedOut()
{
    Rig rig;
    rig.view->show();
    QVERIFY(visibleButton(*rig.view, QStringLiteral("Sign in")));
    const int signedOutHeight = rig.view->height();

    rig.auth.adopt(QStringLiteral("access"), QStringLiteral("refresh"), 4e9, QStringLiteral("ada@example.org"));
    QVERIFY(!visibleButton(*rig.view, QStringLiteral("Sign in")));
    QVERIFY(rig.view->height() < signedOutHeight);

    rig.auth.signOut();
    QVERIFY(visibleButton(*rig.view, QStringLiteral("Sign in")));
    QCOMPARE(rig.view->height(), signedOutHeight);
}

void TestMenuBarView::rowsLeadOutOfThePanel_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("opens");
    QTest::addColumn<int>("quits");
    QTest::addColumn<bool>("expandsPanel");
    QTest::addColumn<int>("settings");

    QTest::newRow("open zarno") << "Open zarno" << 1 << 0 << false << 0;
    QTest::newRow("sign in") << "Sign in" << 1 << 0 << false << 0;
    QTest::newRow("show live panel") << "Show live panel" << 0 << 0 << true << 0;
    QTest::newRow("settings") << "Settings…" << 0 << 0 << false << 1;
    QTest::newRow("quit") << "Quit zarno" << 0 << 1 << false << 0;
}

void TestMenuBarView::rowsLeadOutOfThePanel()
{
    QFETCH(QString, row);
    QFETCH(int, opens);
    QFETCH(int, quits);
    QFETCH(bool, expandsPanel);
    QFETCH(int, settings);

    Rig rig;
    auto *view = rig.view.release();
    MenuBarPopup popup(view);
    popup.showUnder(QPoint(100, 0));
    QVERIFY(popup.isVisible());

    QTest::mouseClick(visibleButton(*view, row), Qt::LeftButton);
    QCOMPARE(rig.opens, opens);
    QCOMPARE(rig.quits, quits);
    QCOMPARE(rig.settingsOpened, settings);
    QCOMPARE(rig.hud.expanded(), expandsPanel);
    QCOMPARE(rig.hud.state(), expandsPanel ? rig.state.get() : nullptr);
    QVERIFY(!popup.isVisible());
    QVERIFY(!(rig.state->phase() == SessionController::Phase::Starting));
    if (expandsPanel)
        rig.hud.hide();
}

void TestMenuBarView::longErrorWrapsWithinTheWidth()
{
    Rig rig;
    rig.view->show();
    const int height = rig.view->height();
    SessionController::Preview preview;
    preview.lastError = SessionController::micPermissionText + QStringLiteral(" ") + QString(120, u'x');
    rig.state->showPreview(preview);

    WrappedText *error = text(*rig.view, QStringLiteral("errorText"));
    QVERIFY(shownIn(error, rig.view.get()));
    QCOMPARE(rig.view->width(), MenuBarView::panelWidth);
    QVERIFY(error->width() <= MenuBarView::panelWidth - 32);
    QVERIFY2(error->lineCount() >= 3, qPrintable(QString::number(error->lineCount())));
    QVERIFY(rig.view->height() >= height + error->height());
}

void TestMenuBarView::aSeenSentenceGoesWithTheNextActionOrItsCause_data()
{
    // `sentence` shows as the session's error, with "save:" as a failed
    // save, with "notice:" as the capture's notice; `press` is the button the user then presses (none when empty),
    // and `then` what happens next.
    QTest::addColumn<QString>("sentence");
    QTest::addColumn<QString>("press");
    QTest::addColumn<QString>("then");
    QTest::addColumn<QString>("shown"); // the sentence on show at the end, if any

    const QString mic = SessionController::micStoppedText;
    const QString save = QStringLiteral("save:") + SessionController::saveFailedText;
    QTest::newRow("untouched, it stays") << mic << QString() << QString() << mic;
    QTest::newRow("an error goes with the next action") << mic << "Open zarno" << QString() << QString();
    QTest::newRow("a failed save goes with the next action") << save << "Transcript" << QString() << QString();
    QTest::newRow("closed, it stays closed on the next look") << mic << "Translate" << "reopened" << QString();
    QTest::newRow("a sentence the action brings stays")
        << mic << "Save notes" << QString() << SessionController::nothingToSaveText;
    QTest::newRow("gone and back, it is news again") << mic << "Open zarno" << "cleared, then again" << mic;
    QTest::newRow("another sentence shows") << mic << "Open zarno" << "another" << SessionController::badServerURLText;
    QTest::newRow("signed in since: the request to sign in goes")
        << SessionController::notSignedInText << QString() << "signed in" << QString();
    QTest::newRow("a save that later succeeded takes its failure away") << save << QString() << "saved" << QString();
    QTest::newRow("a microphone error goes once a leg runs") << mic << QString() << "listening" << QString();
    const QString unheard = QStringLiteral("notice:") + MicCapture::noSystemSoundNotice();
    QTest::newRow("the call's sound notice goes with the next action") << unheard << "Open zarno" << QString()
                                                                       << QString();
    QTest::newRow("the call's sound notice goes with the switch") << unheard << QString() << "switched off"
                                                                  << QString();
}

void TestMenuBarView::aSeenSentenceGoesWithTheNextActionOrItsCause()
{
    QFETCH(QString, sentence);
    QFETCH(QString, press);
    QFETCH(QString, then);
    QFETCH(QString, shown);

    Rig rig;
    rig.view->show();
    SessionController::Preview preview;
    preview.phase = SessionController::Phase::Paused;
    if (sentence.startsWith(u"save:"))
        preview.saveState = SaveState::failed(sentence.mid(5));
    else if (!sentence.startsWith(u"notice:"))
        preview.lastError = sentence;
    rig.state->showPreview(preview);
    if (sentence.startsWith(u"notice:"))
        rig.settings.tellCallSoundMissing(sentence.mid(7));
    auto onShow = [&] {
        QStringList texts;
        for (const QString &name : {QStringLiteral("errorText"), QStringLiteral("saveFailure"), QStringLiteral("noticeText")}) {
            if (shownIn(text(*rig.view, name), rig.view.get()))
                texts.append(text(*rig.view, name)->text());
        }
        return texts.join(u'|');
    };
    const qsizetype kind = sentence.startsWith(u"save:") ? 5 : sentence.startsWith(u"notice:") ? 7 : 0;
    QCOMPARE(onShow(), sentence.mid(kind));
    const int height = rig.view->height();

    if (!press.isEmpty())
        QTest::mouseClick(visibleButton(*rig.view, press), Qt::LeftButton);
    if (then == u"reopened") {
        rig.view->hide();
        rig.view->show();
    } else if (then == u"cleared, then again") {
        rig.state->showPreview({});
        rig.state->showPreview(preview);
    } else if (then == u"another") {
        preview.lastError = SessionController::badServerURLText;
        rig.state->showPreview(preview);
    } else if (then == u"signed in") {
        rig.auth.adopt(QStringLiteral("access"), QStringLiteral("refresh"), 4e9, QStringLiteral("ada@example.org"));
    } else if (then == u"saved") {
        preview.phase = SessionController::Phase::Idle;
        preview.saveState = SaveState::saved();
        rig.state->showPreview(preview);
    } else if (then == u"switched off") {
        rig.settings.setIncludeCallSound(false);
    } else if (then == u"listening") {
        preview.phase = SessionController::Phase::Listening;
        preview.lastError.reset();
        rig.state->showPreview(preview);
    }
    QCOMPARE(onShow(), shown);
    // The panel keeps its width and gives back the sentence's room.
    QCOMPARE(rig.view->width(), MenuBarView::panelWidth);
    if (shown.isEmpty() && !press.isEmpty())
        QVERIFY(rig.view->height() < height);
}

void TestMenuBarView::everyAppearanceHarvestsOnce()
{
    Rig rig;
    QCOMPARE(rig.harvest.harvests, 0);

    auto *view = rig.view.release();
    MenuBarPopup popup(view);
    for (int i = 1; i <= 3; ++i) {
        popup.showUnder(QPoint(200, 0));
        QCOMPARE(rig.harvest.harvests, i);
        popup.hide();
    }
    QCOMPARE(rig.harvest.harvests, 3);

    // Embedded in a window of its own, on a desktop without a tray.
    MenuBarView standalone(*rig.state, rig.settings, rig.auth, rig.harvest, {}, &rig.hud);
    standalone.show();
    QCOMPARE(rig.harvest.harvests, 4);
    QCOMPARE(standalone.width(), MenuBarView::panelWidth);
}

void TestMenuBarView::popupHangsUnderItsAnchorInsideTheScreen_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("anchor");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QPoint>("at");

    const QRect screen(0, 0, 1280, 800);
    QTest::newRow("centred under the icon") << QSize(320, 400) << QRect(1000, 0, 24, 24) << screen << QPoint(852, 24);
    QTest::newRow("kept off the right edge") << QSize(320, 400) << QRect(1250, 0, 24, 24) << screen << QPoint(960, 24);
    QTest::newRow("kept off the left edge") << QSize(320, 400) << QRect(0, 0, 24, 24) << screen << QPoint(0, 24);
    QTest::newRow("tray at the bottom opens upwards")
        << QSize(320, 400) << QRect(1000, 776, 24, 24) << screen << QPoint(852, 376);
    QTest::newRow("taller than the screen starts at its top")
        << QSize(320, 900) << QRect(1000, 0, 24, 24) << screen << QPoint(852, 0);
    QTest::newRow("second screen to the right")
        << QSize(320, 400) << QRect(1282, 0, 24, 24) << QRect(1280, 0, 1920, 1080) << QPoint(1280, 24);
    QTest::newRow("under a point") << QSize(320, 400) << QRect(500, 300, 1, 1) << screen << QPoint(340, 301);
}

void TestMenuBarView::popupHangsUnderItsAnchorInsideTheScreen()
{
    QFETCH(QSize, size);
    QFETCH(QRect, anchor);
    QFETCH(QRect, screen);
    QFETCH(QPoint, at);
    QCOMPARE(MenuBarPopup::placement(size, anchor, screen), at);
}

void TestMenuBarView::rendersOnPaper()
{
    Rig rig;
    rig.detector->setDetectedApp(QStringLiteral("Zoom"));
    SessionController::Preview preview;
    preview.phase = SessionController::Phase::Paused;
    preview.elapsed = QStringLiteral("12:34");
    preview.lastError = SessionController::notSignedInText;
    preview.saveState = SaveState::failed(SessionController::saveFailedText);
    rig.state->showPreview(preview);
    rig.view->show();

    QImage image(rig.view->size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    image.fill(Qt::transparent);
    rig.view->render(&image, {}, {}, QWidget::DrawChildren);
    QCOMPARE(image.width(), MenuBarView::panelWidth * 2);
    QCOMPARE(image.pixelColor(2, 2).rgb(), Brand::paper().rgb());
    QCOMPARE(image.pixelColor(image.width() - 3, image.height() - 3).rgb(), Brand::paper().rgb());
    // Kept beside the test binary for a look at the whole panel.
    QVERIFY(image.save(QStringLiteral("menubarview.png")));
}

QTEST_MAIN(TestMenuBarView)
#include "tst_menubarview.moc"
