#include "hudpanel.h"
#include "livehud.h"
#include "livehudview.h"
#include "privatedisplay.h"
#include "sessioncontroller.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>
#include <QToolTip>

// The live panel on a real X server with a window manager: the panel never
// takes the focus, and Qt shows tooltips only over the active window unless
// told otherwise.
class TestLiveHUDX11 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hoverOverAButtonShowsItsTooltip_data();
    void hoverOverAButtonShowsItsTooltip();
};

void TestLiveHUDX11::hoverOverAButtonShowsItsTooltip_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("tooltip");
    QTest::newRow("collapse") << "collapseButton" << "Collapse";
    QTest::newRow("pause") << "pauseButton" << "Pause";
}

void TestLiveHUDX11::hoverOverAButtonShowsItsTooltip()
{
    QFETCH(QString, button);
    QFETCH(QString, tooltip);

    // Another window has the focus, as the user's call would.
    QWidget other;
    other.resize(300, 200);
    other.move(40, 40);
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));

    SessionController state;
    SessionController::Preview listening;
    listening.phase = SessionController::Phase::Listening;
    state.showPreview(listening);
    LiveHUD hud;
    hud.setAnimationDuration(0);
    hud.show(&state, true);
    QWidget *panel = hud.panel();
    QVERIFY(QTest::qWaitForWindowExposed(panel));
    QVERIFY(!panel->isActiveWindow());

    auto *target = panel->findChild<QAbstractButton *>(button);
    QVERIFY(target);
    QVERIFY(target->isVisible());
    QCOMPARE(target->toolTip(), tooltip);
    QToolTip::hideText();
    // The pointer moves onto the button and rests there.
    QTest::mouseMove(target, QPoint(2, 2));
    QTest::mouseMove(target, target->rect().center());
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), tooltip);
    QVERIFY(!panel->isActiveWindow());
    QToolTip::hideText();
}

int main(int argc, char *argv[])
{
    return runOnPrivateDisplay<TestLiveHUDX11>(argc, argv);
}

#include "tst_livehud_x11.moc"
