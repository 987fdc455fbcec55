#include "meetingpopup.h"

#include "meetingpopupview.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

MeetingPopup::MeetingPopup(QObject *parent)
    : QObject(parent)
{
}

MeetingPopup::~MeetingPopup()
{
    delete m_panel.data();
}

MeetingPopup &MeetingPopup::shared()
{
    static QPointer<MeetingPopup> popup;
    if (!popup)
        popup = new MeetingPopup(qApp);
    return *popup;
}

void MeetingPopup::show(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss)
{
    close();

    QPointer<MeetingPopup> self(this);
    auto wrap = [self](std::function<void()> action) {
        return [self, action = std::move(action)] {
            if (self)
                self->close();
            if (action)
                action();
        };
    };

    auto *panel = new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                                           | Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint);
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    // Qt shows tooltips only over the active window, and this one never is.
    panel->setAttribute(Qt::WA_AlwaysShowToolTips);
    panel->setAttribute(Qt::WA_TranslucentBackground);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFocusPolicy(Qt::NoFocus);
    panel->setWindowTitle(MeetingPopupView::title);
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    auto *view = new MeetingPopupView(source, wrap(std::move(onTake)), wrap(std::move(onDismiss)), panel);
    layout->addWidget(view);
    // The content decides the size: a long name widens the panel to the left.
    panel->adjustSize();
    // The card's place is known before the first show, for the input region.
    layout->activate();
    view->layout()->activate();
    const QRegion input = inputRegion(*view);
    panel->setMask(input);

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        QPoint at(area.x() + area.width() - panel->width() - rightMargin, area.y() + topMargin);
        // A tray host that reserves no room sits inside the available area:
        // the card goes below the tray icon rather than over it.
        const QRect keep = m_keepClear ? m_keepClear() : QRect();
        const QRect taken = input.boundingRect().translated(at);
        if (keep.isValid() && taken.intersects(keep))
            at.ry() += keep.bottom() + 1 + topMargin - taken.top();
        panel->move(at);
    }
    m_panel = panel;
    panel->show();
}

QRegion MeetingPopup::inputRegion(const MeetingPopupView &view)
{
    QPainterPath card;
    card.addRoundedRect(QRectF(view.cardGeometry()), MeetingPopupView::cardRadius, MeetingPopupView::cardRadius);
    const QRect dismiss = view.dismissGeometry();
    return QRegion(card.toFillPolygon().toPolygon()) | QRegion(dismiss, QRegion::Ellipse);
}

void MeetingPopup::close()
{
    if (!m_panel)
        return;
    QWidget *panel = m_panel;
    m_panel = nullptr;
    panel->hide();
    // Later: an answer closes the prompt from inside one of its own buttons.
    panel->deleteLater();
}
