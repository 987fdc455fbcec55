#include "breathclock.h"
#include "clock.h"
#include "heartbeat.h"
#include "hudpanel.h"
#include "livehud.h"
#include "livehudview.h"
#include "privatedisplay.h"
#include "recordingdot.h"
#include "sessioncontroller.h"
#include "widgetfinders.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>
#include <QThread>
#include <QToolTip>

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

// The live panel shown while listening, expanded or as the capsule.
struct ListeningHUD
{
    SessionController state;
    LiveHUD hud;
    explicit ListeningHUD(bool expanded)
    {
        SessionController::Preview listening;
        listening.phase = SessionController::Phase::Listening;
        state.showPreview(listening);
        hud.setAnimationDuration(0);
        hud.show(&state, expanded);
    }
};

// The live panel on a real X server with a window manager: the panel never
// takes the focus, and Qt shows tooltips only over the active window unless
// told otherwise.
class TestLiveHUDX11 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hoverOverAButtonShowsItsTooltip_data();
    void hoverOverAButtonShowsItsTooltip();
    void aBreathStepIsWhatARepaintWouldDraw_data();
    void aBreathStepIsWhatARepaintWouldDraw();
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

    ListeningHUD listening(true);
    QWidget *panel = listening.hud.panel();
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

namespace {

// What the X server holds of `widget`'s square in its window.
QByteArray onScreen(QWidget *widget)
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    const QPoint at = widget->mapTo(widget->window(), QPoint());
    const xcb_get_image_cookie_t cookie =
        xcb_get_image(x11->connection(), XCB_IMAGE_FORMAT_Z_PIXMAP, xcb_window_t(widget->window()->winId()),
                      qint16(at.x()), qint16(at.y()), quint16(widget->width()), quint16(widget->height()), ~0u);
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(
        xcb_get_image_reply(x11->connection(), cookie, nullptr), &std::free);
    if (!reply)
        return {};
    return QByteArray(reinterpret_cast<const char *>(xcb_get_image_data(reply.get())),
                      xcb_get_image_data_length(reply.get()));
}

} // namespace

void TestLiveHUDX11::aBreathStepIsWhatARepaintWouldDraw_data()
{
    QTest::addColumn<bool>("expanded");
    QTest::addColumn<bool>("heartbeat"); // a thread beats as the microphone's does
    QTest::newRow("expanded panel") << true << false;
    QTest::newRow("capsule") << false << false;
    QTest::newRow("on the heartbeat, the GUI thread busy") << true << true;
}

void TestLiveHUDX11::aBreathStepIsWhatARepaintWouldDraw()
{
    QFETCH(bool, expanded);
    QFETCH(bool, heartbeat);

    // Just before a step down from the top of the breath.
    stopClockAt(0.63);
    ListeningHUD listening(expanded);
    QWidget *panel = listening.hud.panel();
    QVERIFY(QTest::qWaitForWindowExposed(panel));
    RecordingDot *dot = nullptr;
    for (RecordingDot *candidate : panel->findChildren<RecordingDot *>())
        dot = candidate->isVisible() ? candidate : dot;
    QVERIFY(dot && dot->isAnimating());
    // Shown and drawn: nothing repaints any more.
    EventCount paints(QEvent::Paint);
    dot->installEventFilter(&paints);
    panel->installEventFilter(&paints);
    for (int settle = 0; settle < 20 && (settle == 0 || paints.count > 0); ++settle) {
        paints.count = 0;
        QTest::qWait(100);
    }
    QCOMPARE(paints.count, 0);
    const QByteArray full = onScreen(dot);
    QVERIFY(!full.isEmpty());

    // The next step reaches the screen without repainting anything.
    QByteArray stepped;
    if (heartbeat) {
        // The GUI thread's clock stands still; the beats' runs on.
        std::atomic<bool> beating = true;
        std::thread microphone([&beating] {
            while (beating) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                Heartbeat::beat();
            }
        });
        QThread::msleep(300); // no event of the GUI thread is handled meanwhile
        stepped = onScreen(dot);
        beating = false;
        microphone.join();
    } else {
        stopClockAt(0.64);
        QTRY_VERIFY(onScreen(dot) != full);
        stepped = onScreen(dot);
        QCOMPARE(dot->currentOpacity(), 0.89);
    }
    QVERIFY(stepped != full);
    QCOMPARE(paints.count, 0);

    // And it is what a repaint draws at one of the levels, the panel beneath
    // included.
    QList<QByteArray> repainted;
    for (double at = 0.64; at < 1.35; at += 0.05) {
        stopClockAt(at);
        dot->repaint();
        QTest::qWait(20);
        repainted.append(onScreen(dot));
    }
    QVERIFY(paints.count > 0);
    QVERIFY(repainted.contains(stepped));
    if (!heartbeat)
        QCOMPARE(repainted.first(), stepped);
    Clock::setSource({});
}

int main(int argc, char *argv[])
{
    return runOnPrivateDisplay<TestLiveHUDX11>(argc, argv);
}

#include "tst_livehud_x11.moc"
