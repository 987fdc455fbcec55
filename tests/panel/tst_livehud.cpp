#include "sessioncontroller.h"
#include "sessionfakes.h"
#include "hudcapsule.h"
#include "hudpanel.h"
#include "livehud.h"
#include "livehudview.h"
#include "recordingdot.h"
#include "screendrag.h"
#include "settings.h"

#include <QApplication>
#include <QScopeGuard>
#include <QScreen>
#include <QSettings>
#include <QTest>

using namespace HUDGeometry;

namespace {

QSettings store()
{
    return ZarnoSettings::standardStore();
}

QRectF available()
{
    return QRectF(QGuiApplication::primaryScreen()->availableGeometry());
}

SessionController::Preview session(bool listening, bool paused)
{
    SessionController::Preview p;
    p.phase = previewPhase(listening, paused);
    return p;
}

} // namespace

class TestLiveHUD : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void firstSessionShowsTheDefaultPanelNearTheRightEdge();
    void theWindowNeverTakesFocus();
    void storedSizeIsClampedOrReplaced_data();
    void storedSizeIsClampedOrReplaced();
    void storedAnchorPlacesTheCapsule_data();
    void storedAnchorPlacesTheCapsule();
    void formChangesKeepTheTopRightCorner();
    void expandingNearTheLeftEdgePushesRight();
    void releasingTheBottomHandle_data();
    void releasingTheBottomHandle();
    void sideHandleResizeStoresTheSize();
    void collapseHidesOnlyWithoutASession_data();
    void collapseHidesOnlyWithoutASession();
    void hideResetsToTheCapsuleAtTheSameAnchor();
    void showingWithoutExpandingKeepsTheForm();
    void withoutAStateNothingIsShown();
    void onlyTheDotInSightPulses_data();
    void onlyTheDotInSightPulses();
    void capsuleClickExpands();
    void capsuleDragMovesTheWindowAndStoresTheAnchor();
    void smallWobbleIsStillAClick();
    void aDragTheWindowSystemMovesIsRememberedWhereItSettles();

private:
    std::unique_ptr<LiveHUD> makeHUD();
    std::unique_ptr<SessionController> m_state;
};

void TestLiveHUD::init()
{
    QSettings s = store();
    s.clear();
    s.sync();
    m_state = std::make_unique<SessionController>();
    m_state->showPreview(session(true, false));
}

std::unique_ptr<LiveHUD> TestLiveHUD::makeHUD()
{
    auto hud = std::make_unique<LiveHUD>();
    hud->setAnimationDuration(0);
    return hud;
}

void TestLiveHUD::firstSessionShowsTheDefaultPanelNearTheRightEdge()
{
    auto hud = makeHUD();
    hud->show(m_state.get(), true);
    QVERIFY(hud->expanded());
    QVERIFY(hud->panel());
    QVERIFY(hud->panel()->isVisible());
    const QRectF frame = hud->frame();
    QCOMPARE(frame.size(), QSizeF(412, 372));
    const QRectF v = available();
    const QRectF expected = frameAnchoredAt(QPointF(v.right() - 8, v.center().y() - 180), QSizeF(412, 372), v);
    QCOMPARE(frame, expected);
    QVERIFY(v.contains(frame));
}

void TestLiveHUD::theWindowNeverTakesFocus()
{
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    QWidget *window = hud->panel();
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::Tool));
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    QVERIFY(window->testAttribute(Qt::WA_ShowWithoutActivating));
    QVERIFY(window->testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(!window->isActiveWindow());
}

void TestLiveHUD::storedSizeIsClampedOrReplaced_data()
{
    QTest::addColumn<QVariant>("width");
    QTest::addColumn<QVariant>("height");
    QTest::addColumn<QSizeF>("inner");

    QTest::newRow("too wide and too low") << QVariant(1000.0) << QVariant(100.0) << QSizeF(640, 148);
    QTest::newRow("height missing") << QVariant(500.0) << QVariant() << QSizeF(380, 340);
    QTest::newRow("garbage") << QVariant(QStringLiteral("wide")) << QVariant(300.0) << QSizeF(380, 340);
    QTest::newRow("stored as text") << QVariant(QStringLiteral("420")) << QVariant(QStringLiteral("260"))
                                    << QSizeF(420, 260);
}

void TestLiveHUD::storedSizeIsClampedOrReplaced()
{
    QFETCH(QVariant, width);
    QFETCH(QVariant, height);
    QFETCH(QSizeF, inner);
    {
        QSettings s = store();
        if (width.isValid())
            s.setValue(LiveHUD::widthKey, width);
        if (height.isValid())
            s.setValue(LiveHUD::heightKey, height);
    }
    auto hud = makeHUD();
    QCOMPARE(hud->lastExpandedInner(), inner);
    hud->show(m_state.get(), true);
    QCOMPARE(hud->frame().size(), inner + QSizeF(32, 32));
}

void TestLiveHUD::storedAnchorPlacesTheCapsule_data()
{
    QTest::addColumn<QVariant>("x");
    QTest::addColumn<QVariant>("y");
    QTest::addColumn<QPointF>("topRight"); // relative to the available area's top-left

    QTest::newRow("inside") << QVariant(300.0) << QVariant(200.0) << QPointF(300, 200);
    QTest::newRow("y missing reads as 0") << QVariant(300.0) << QVariant() << QPointF(300, 0);
    QTest::newRow("far off screen comes back") << QVariant(-5000.0) << QVariant(9000.0) << QPointF(124, -1);
    QTest::newRow("not a number reads as 0") << QVariant(QStringLiteral("nan")) << QVariant(200.0)
                                             << QPointF(124, 200);
}

void TestLiveHUD::storedAnchorPlacesTheCapsule()
{
    QFETCH(QVariant, x);
    QFETCH(QVariant, y);
    QFETCH(QPointF, topRight);
    const QRectF v = available();
    {
        QSettings s = store();
        s.setValue(LiveHUD::anchorXKey, x.typeId() == QMetaType::Double ? QVariant(v.left() + x.toDouble()) : x);
        if (y.isValid())
            s.setValue(LiveHUD::anchorYKey, v.top() + y.toDouble());
    }
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    QVERIFY(!hud->expanded());
    const QRectF frame = hud->frame();
    QCOMPARE(frame.size(), QSizeF(124, 72));
    // -1 stands for "on the bottom edge".
    const qreal expectedTop = topRight.y() < 0 ? v.bottom() - 72 : v.top() + topRight.y();
    QCOMPARE(anchorOf(frame), QPointF(v.left() + topRight.x(), expectedTop));
}

void TestLiveHUD::formChangesKeepTheTopRightCorner()
{
    const QRectF v = available();
    {
        QSettings s = store();
        s.setValue(LiveHUD::anchorXKey, v.right() - 40);
        s.setValue(LiveHUD::anchorYKey, v.top() + 60);
    }
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    const QPointF anchor = anchorOf(hud->frame());
    hud->expand();
    QCOMPARE(hud->frame().size(), QSizeF(412, 372));
    QCOMPARE(anchorOf(hud->frame()), anchor);
    hud->collapse();
    QCOMPARE(hud->frame().size(), QSizeF(124, 72));
    QCOMPARE(anchorOf(hud->frame()), anchor);
}

void TestLiveHUD::expandingNearTheLeftEdgePushesRight()
{
    const QRectF v = available();
    {
        QSettings s = store();
        s.setValue(LiveHUD::anchorXKey, v.left() + 150);
        s.setValue(LiveHUD::anchorYKey, v.top() + 60);
    }
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    QCOMPARE(hud->frame().left(), v.left() + 26);
    hud->expand();
    QCOMPARE(hud->frame(), QRectF(v.left(), v.top() + 60, 412, 372));
}

void TestLiveHUD::releasingTheBottomHandle_data()
{
    QTest::addColumn<qreal>("rawHeight");
    QTest::addColumn<bool>("expanded");

    QTest::newRow("119 collapses") << 119.0 << false;
    QTest::newRow("120 stays at 148") << 120.0 << true;
}

void TestLiveHUD::releasingTheBottomHandle()
{
    QFETCH(qreal, rawHeight);
    QFETCH(bool, expanded);

    auto hud = makeHUD();
    hud->show(m_state.get(), true);
    const QRectF from = hud->frame();
    hud->resize(from, Corner::Bottom, 0, rawHeight - 340, true);
    QCOMPARE(hud->expanded(), expanded);
    QSettings s = store();
    QCOMPARE(s.value(LiveHUD::anchorXKey).toDouble(), from.right());
    QCOMPARE(s.value(LiveHUD::anchorYKey).toDouble(), from.top());
    if (expanded) {
        QCOMPARE(hud->frame(), QRectF(from.topLeft(), QSizeF(412, 180)));
        QCOMPARE(s.value(LiveHUD::heightKey).toDouble(), 148.0);
        QCOMPARE(s.value(LiveHUD::widthKey).toDouble(), 380.0);
    } else {
        // Only the anchor is stored: the size the panel had is kept.
        QVERIFY(!s.contains(LiveHUD::heightKey));
        QVERIFY(!s.contains(LiveHUD::widthKey));
        QCOMPARE(hud->frame().size(), QSizeF(124, 72));
        QCOMPARE(hud->lastExpandedInner(), QSizeF(380, 340));
        QVERIFY(hud->panel()->isVisible()); // the session is still listening
    }
}

void TestLiveHUD::sideHandleResizeStoresTheSize()
{
    auto hud = makeHUD();
    hud->show(m_state.get(), true);
    const QRectF from = hud->frame();
    hud->resize(from, Corner::Left, 100, 500, false);
    QCOMPARE(hud->frame(), QRectF(from.right() - 352, from.top(), 352, 372));
    QVERIFY(!store().contains(LiveHUD::widthKey)); // not stored while dragging
    hud->resize(from, Corner::Left, 100, 500, true);
    QCOMPARE(store().value(LiveHUD::widthKey).toDouble(), 320.0);
    QCOMPARE(store().value(LiveHUD::heightKey).toDouble(), 340.0);
    QCOMPARE(store().value(LiveHUD::anchorXKey).toDouble(), from.right());
}

void TestLiveHUD::collapseHidesOnlyWithoutASession_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<bool>("paused");
    QTest::addColumn<bool>("visible");

    QTest::newRow("listening keeps the capsule") << true << false << true;
    QTest::newRow("paused keeps the capsule") << false << true << true;
    QTest::newRow("stopped hides it") << false << false << false;
}

void TestLiveHUD::collapseHidesOnlyWithoutASession()
{
    QFETCH(bool, listening);
    QFETCH(bool, paused);
    QFETCH(bool, visible);

    auto hud = makeHUD();
    hud->show(m_state.get(), true);
    m_state->showPreview(session(listening, paused));
    hud->collapse();
    QVERIFY(!hud->expanded());
    QCOMPARE(hud->panel()->isVisible(), visible);
    QCOMPARE(hud->frame().size(), QSizeF(124, 72));
}

void TestLiveHUD::hideResetsToTheCapsuleAtTheSameAnchor()
{
    auto hud = makeHUD();
    hud->show(m_state.get(), true);
    const QPointF anchor = anchorOf(hud->frame());
    hud->hide();
    QVERIFY(!hud->panel()->isVisible());
    QVERIFY(!hud->expanded());
    QCOMPARE(hud->frame().size(), QSizeF(124, 72));
    QCOMPARE(anchorOf(hud->frame()), anchor);
    // The next session starts expanded again.
    hud->show(m_state.get(), true);
    QVERIFY(hud->panel()->isVisible());
    QCOMPARE(hud->frame().size(), QSizeF(412, 372));
}

void TestLiveHUD::showingWithoutExpandingKeepsTheForm()
{
    auto hud = makeHUD();
    hud->show(m_state.get(), true);
    hud->show(m_state.get(), false);
    QVERIFY(hud->expanded());
    hud->collapse();
    hud->show(m_state.get(), false);
    QVERIFY(!hud->expanded());
    QVERIFY(hud->panel()->isVisible());
}

void TestLiveHUD::withoutAStateNothingIsShown()
{
    auto hud = makeHUD();
    hud->show(nullptr, true);
    QVERIFY(!hud->panel());
    QVERIFY(hud->expanded());
    hud->collapse();
    QVERIFY(!hud->expanded());
    hud->remember();
    QVERIFY(!store().contains(LiveHUD::anchorXKey));
}

void TestLiveHUD::onlyTheDotInSightPulses_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("panelDot");
    QTest::addColumn<bool>("capsuleDot");

    QTest::newRow("expanded: the panel's") << "expanded" << true << false;
    QTest::newRow("collapsed: the capsule's") << "collapsed" << false << true;
    QTest::newRow("hidden: none") << "hidden" << false << false;
    QTest::newRow("paused: none") << "paused" << false << false;
}

void TestLiveHUD::onlyTheDotInSightPulses()
{
    QFETCH(QString, form);
    QFETCH(bool, panelDot);
    QFETCH(bool, capsuleDot);

    auto hud = makeHUD();
    hud->show(m_state.get(), true);
    if (form == QLatin1String("collapsed"))
        hud->collapse();
    else if (form == QLatin1String("hidden"))
        hud->hide();
    else if (form == QLatin1String("paused"))
        m_state->showPreview(session(false, true));
    auto *statusDot = hud->panel()->expandedPanel()->findChild<RecordingDot *>(QStringLiteral("statusDot"));
    QCOMPARE(statusDot->isAnimating(), panelDot);
    QCOMPARE(hud->panel()->capsule()->dot()->isAnimating(), capsuleDot);
}

void TestLiveHUD::capsuleClickExpands()
{
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    HUDCapsule *capsule = hud->panel()->capsule();
    QVERIFY(capsule->isVisible());
    QCOMPARE(capsule->toolTip(), HUDCapsule::listeningToolTip);
    const QRectF before = hud->frame();
    QTest::mouseClick(capsule, Qt::LeftButton, {}, QPoint(30, 20));
    QVERIFY(hud->expanded());
    QVERIFY(hud->panel()->expandedPanel()->isVisible());
    QCOMPARE(anchorOf(hud->frame()), anchorOf(before));
}

void TestLiveHUD::capsuleDragMovesTheWindowAndStoresTheAnchor()
{
    const QRectF v = available();
    {
        QSettings s = store();
        s.setValue(LiveHUD::anchorXKey, v.left() + 300);
        s.setValue(LiveHUD::anchorYKey, v.top() + 100);
    }
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    HUDCapsule *capsule = hud->panel()->capsule();
    const QRectF before = hud->frame();
    const QPoint press(30, 20);
    const QPoint globalStart = capsule->mapToGlobal(press);
    QTest::mousePress(capsule, Qt::LeftButton, {}, press);
    QTest::mouseMove(capsule, press + QPoint(200, 50));
    QCOMPARE(hud->frame().topLeft(), before.topLeft() + QPointF(200, 50));
    QVERIFY(!store().contains(LiveHUD::anchorXKey) || store().value(LiveHUD::anchorXKey).toDouble() == v.left() + 300);
    // The pointer is where the drag left it; the window has moved under it.
    QTest::mouseRelease(capsule, Qt::LeftButton, {}, capsule->mapFromGlobal(globalStart + QPoint(200, 50)));
    QVERIFY(!hud->expanded());
    QCOMPARE(hud->frame().topLeft(), before.topLeft() + QPointF(200, 50));
    QCOMPARE(store().value(LiveHUD::anchorXKey).toDouble(), hud->frame().right());
    QCOMPARE(store().value(LiveHUD::anchorYKey).toDouble(), hud->frame().top());
    QVERIFY(!store().contains(LiveHUD::widthKey));
}

void TestLiveHUD::aDragTheWindowSystemMovesIsRememberedWhereItSettles()
{
    // Stands in for the window system's own move, which offscreen has not.
    int handedOver = 0;
    const auto restore = qScopeGuard([original = ScreenDrag::startSystemMove] { ScreenDrag::startSystemMove = original; });
    ScreenDrag::startSystemMove = [&handedOver](QWindow *window) {
        ++handedOver;
        return window != nullptr;
    };
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    HUDCapsule *capsule = hud->panel()->capsule();
    const QRectF before = hud->frame();
    const QPoint press(30, 20);
    QTest::mousePress(capsule, Qt::LeftButton, {}, press);
    QTest::mouseMove(capsule, press + QPoint(200, 50));
    QCOMPARE(handedOver, 1);
    QCOMPARE(hud->frame(), before); // the window system moves it, not we
    QTest::mouseMove(capsule, press + QPoint(250, 60));
    QCOMPARE(handedOver, 1);

    hud->panel()->move(hud->panel()->pos() + QPoint(120, 40)); // where the window system put it
    QTRY_COMPARE(store().value(LiveHUD::anchorXKey).toDouble(), hud->frame().right());
    QCOMPARE(store().value(LiveHUD::anchorYKey).toDouble(), hud->frame().top());
    QVERIFY(!hud->expanded());
}

void TestLiveHUD::smallWobbleIsStillAClick()
{
    auto hud = makeHUD();
    hud->show(m_state.get(), false);
    HUDCapsule *capsule = hud->panel()->capsule();
    const QRectF before = hud->frame();
    QTest::mousePress(capsule, Qt::LeftButton, {}, QPoint(30, 20));
    QTest::mouseMove(capsule, QPoint(32, 21));
    QTest::mouseRelease(capsule, Qt::LeftButton, {}, QPoint(32, 21));
    QVERIFY(hud->expanded());
    QCOMPARE(anchorOf(hud->frame()), anchorOf(before));
}

QTEST_MAIN(TestLiveHUD)
#include "tst_livehud.moc"
