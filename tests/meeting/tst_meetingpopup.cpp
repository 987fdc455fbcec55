#include "meetingpopup.h"
#include "meetingpopupview.h"
#include "widgetfinders.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QTest>

namespace {

MeetingPopupView *shownView(const MeetingPopup &popup)
{
    return popup.panel() ? popup.panel()->findChild<MeetingPopupView *>() : nullptr;
}

QStringList labelTexts(const QWidget *view)
{
    QStringList texts;
    for (const QLabel *label : view->findChildren<QLabel *>()) {
        if (!label->text().isEmpty())
            texts.append(label->text());
    }
    return texts;
}

} // namespace

class TestMeetingPopup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void secondDetectionLeavesOnePromptWithTheSecondSource();
    void answerClosesThePromptBeforeItsActionRuns_data();
    void answerClosesThePromptBeforeItsActionRuns();
    void panelSitsInTheTopRightCorner_data();
    void panelSitsInTheTopRightCorner();
    void promptIsANonActivatingToolWindow();
    void closeOfTheControllerHidesIt();
};

void TestMeetingPopup::cleanup()
{
    MeetingPopup::shared().close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(inVisibleWindows<MeetingPopupView>().isEmpty());
}

void TestMeetingPopup::secondDetectionLeavesOnePromptWithTheSecondSource()
{
    MeetingPopup &popup = MeetingPopup::shared();
    int taken = 0;
    popup.show(QStringLiteral("Zoom"), [&] { taken = 1; }, {});
    popup.show(QStringLiteral("Microsoft Teams"), [&] { taken = 2; }, {});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    const QList<MeetingPopupView *> views = inVisibleWindows<MeetingPopupView>();
    QCOMPARE(views.size(), 1);
    QCOMPARE(views.first(), shownView(popup));
    QCOMPARE(views.first()->source(), QStringLiteral("Microsoft Teams"));
    QVERIFY(labelTexts(views.first()).contains(QStringLiteral("Microsoft Teams")));
    QVERIFY(labelTexts(views.first()).contains(QStringLiteral("Meeting detected")));

    // Only the second prompt's action is still reachable.
    views.first()->takeButton()->click();
    QCOMPARE(taken, 2);
}

void TestMeetingPopup::answerClosesThePromptBeforeItsActionRuns_data()
{
    QTest::addColumn<bool>("take");
    QTest::newRow("take notes") << true;
    QTest::newRow("dismiss") << false;
}

void TestMeetingPopup::answerClosesThePromptBeforeItsActionRuns()
{
    QFETCH(bool, take);

    MeetingPopup popup;
    QStringList ran;
    bool closedFirst = false;
    auto action = [&](const QString &name) {
        return [&, name] {
            ran.append(name);
            closedFirst = popup.panel() == nullptr && inVisibleWindows<MeetingPopupView>().isEmpty();
        };
    };
    popup.show(QStringLiteral("Zoom"), action(QStringLiteral("take")), action(QStringLiteral("dismiss")));
    MeetingPopupView *view = shownView(popup);
    QVERIFY(view);
    QCOMPARE(view->takeButton()->text(), QStringLiteral("Take notes"));
    QCOMPARE(view->dismissButton()->toolTip(), QStringLiteral("Dismiss"));

    QAbstractButton *button = take ? view->takeButton() : view->dismissButton();
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    QCOMPARE(ran, QStringList{take ? QStringLiteral("take") : QStringLiteral("dismiss")});
    QVERIFY(closedFirst);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!popup.panel());
}

void TestMeetingPopup::panelSitsInTheTopRightCorner_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QRect>("tray"); // the tray icon, relative to the area's top-right corner
    QTest::newRow("short name") << "Zoom" << QRect();
    QTest::newRow("long name") << "a call on this computer with a remarkably long name that needs a wide card"
                               << QRect();
    // A tray host that reserves no room puts its icon inside the area.
    QTest::newRow("tray icon in the corner") << "Zoom" << QRect(-24, 0, 24, 24);
    QTest::newRow("tray icon under the card") << "Zoom" << QRect(-120, 0, 24, 30);
    QTest::newRow("tray icon elsewhere") << "Zoom" << QRect(-24, 500, 24, 24);
}

void TestMeetingPopup::panelSitsInTheTopRightCorner()
{
    QFETCH(QString, source);
    QFETCH(QRect, tray);

    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect trayIcon = tray.isValid() ? tray.translated(area.x() + area.width(), area.y()) : QRect();
    MeetingPopup popup;
    popup.setKeepClear([trayIcon] { return trayIcon; });
    popup.show(QStringLiteral("Zoom"), {}, {});
    const int shortWidth = popup.panel()->width();
    popup.show(source, {}, {});
    QWidget *panel = popup.panel();
    QVERIFY(panel && panel->isVisible());

    const QRect frame = panel->frameGeometry();
    QCOMPARE(frame.x() + frame.width(), area.x() + area.width() - 4);
    // Clicks land only on the card and its dismiss button; the shadow
    // margin lets them through to whatever lies beneath.
    MeetingPopupView *shown = shownView(popup);
    const QRegion input = panel->mask();
    QVERIFY(!input.isEmpty());
    QVERIFY(input.contains(shown->cardGeometry().center()));
    QVERIFY(input.contains(shown->dismissButton()->geometry().center()));
    QVERIFY(!input.contains(QPoint(2, 2)));
    QVERIFY(!input.contains(QPoint(panel->width() - 3, panel->height() - 3)));
    QVERIFY(!input.contains(shown->cardGeometry().topRight() + QPoint(-1, 1))); // the rounded corner
    // The card stays clear of the tray icon: below it when they would meet.
    const QRect taken = input.boundingRect().translated(frame.topLeft());
    QVERIFY(!taken.intersects(trayIcon));
    const QRect atTheTop = input.boundingRect().translated(frame.x(), area.y() + 2);
    if (atTheTop.intersects(trayIcon))
        QCOMPARE(taken.top(), trayIcon.bottom() + 1 + 2);
    else
        QCOMPARE(frame.y(), area.y() + 2);
    if (source.size() > 20)
        QVERIFY2(frame.width() > shortWidth, "a long name widens the panel to the left");

    // The panel fits its content: the card with room for shadow and button.
    MeetingPopupView *view = shownView(popup);
    QCOMPARE(panel->size(), view->size());
    const QRect card = view->cardGeometry();
    QCOMPARE(card.topLeft(), QPoint(22, 18));
    QCOMPARE(view->width() - card.right() - 1, 22);
    QCOMPARE(view->height() - card.bottom() - 1, 24);
    QCOMPARE(view->dismissButton()->geometry(), QRect(card.topLeft() - QPoint(8, 8), QSize(20, 20)));
    // The whole name is shown.
    QLabel *sourceLabel = nullptr;
    for (QLabel *label : view->findChildren<QLabel *>()) {
        if (label->text() == source)
            sourceLabel = label;
    }
    QVERIFY(sourceLabel);
    QVERIFY(sourceLabel->width() >= sourceLabel->sizeHint().width());
}

void TestMeetingPopup::promptIsANonActivatingToolWindow()
{
    // Whether focus really stays put needs a window manager; tst_meetingpopup_x11
    // checks that under Xvfb. The offscreen platform focuses every window it shows.
    MeetingPopup popup;
    popup.show(QStringLiteral("Zoom"), {}, {});
    QWidget *panel = popup.panel();
    const Qt::WindowFlags flags = panel->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QCOMPARE(panel->windowType(), Qt::Tool);
    QVERIFY(panel->testAttribute(Qt::WA_ShowWithoutActivating));
    QVERIFY(panel->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(panel->focusPolicy(), Qt::NoFocus);
    for (const QWidget *child : panel->findChildren<QWidget *>())
        QCOMPARE(child->focusPolicy(), Qt::NoFocus);
}

void TestMeetingPopup::closeOfTheControllerHidesIt()
{
    MeetingPopup popup;
    bool answered = false;
    popup.show(QStringLiteral("Zoom"), [&] { answered = true; }, [&] { answered = true; });
    QPointer<QWidget> panel = popup.panel();
    popup.close();
    QVERIFY(!popup.panel());
    QVERIFY(!panel->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!panel);
    QVERIFY(!answered);
    popup.close();
}

QTEST_MAIN(TestMeetingPopup)
#include "tst_meetingpopup.moc"
