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
    QTest::newRow("short name") << "Zoom";
    QTest::newRow("long name") << "a call on this computer with a remarkably long name that needs a wide card";
}

void TestMeetingPopup::panelSitsInTheTopRightCorner()
{
    QFETCH(QString, source);

    MeetingPopup popup;
    popup.show(QStringLiteral("Zoom"), {}, {});
    const int shortWidth = popup.panel()->width();
    popup.show(source, {}, {});
    QWidget *panel = popup.panel();
    QVERIFY(panel && panel->isVisible());

    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect frame = panel->frameGeometry();
    QCOMPARE(frame.x() + frame.width(), area.x() + area.width() - 4);
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
