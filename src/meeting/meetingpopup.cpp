#include "meetingpopup.h"

#include "meetingpopupview.h"

#include <QGuiApplication>
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
    panel->setAttribute(Qt::WA_TranslucentBackground);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFocusPolicy(Qt::NoFocus);
    panel->setWindowTitle(MeetingPopupView::title);
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(new MeetingPopupView(source, wrap(std::move(onTake)), wrap(std::move(onDismiss)), panel));
    // The content decides the size: a long name widens the panel to the left.
    panel->adjustSize();

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        panel->move(area.x() + area.width() - panel->width() - rightMargin, area.y() + topMargin);
    }
    m_panel = panel;
    panel->show();
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
