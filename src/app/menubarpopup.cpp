#include "menubarpopup.h"

#include "menubarview.h"
#include "shellparts.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

MenuBarPopup::MenuBarPopup(MenuBarView *view, QWidget *parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint)
    , m_view(view)
{
    setWindowTitle(QStringLiteral("zarno"));
    setPalette(lightPalette());
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    view->setParent(this);
    layout->addWidget(view);
    connect(view, &MenuBarView::closeRequested, this, &QWidget::hide);
}

QPoint MenuBarPopup::placement(const QSize &size, const QRect &anchor, const QRect &screen)
{
    int x = anchor.x() + anchor.width() / 2 - size.width() / 2;
    int y = anchor.bottom() + 1;
    if (screen.isValid()) {
        const bool roomBelow = y + size.height() <= screen.bottom() + 1;
        const bool roomAbove = anchor.top() - size.height() >= screen.top();
        if (!roomBelow && roomAbove)
            y = anchor.top() - size.height();
        x = qBound(screen.left(), x, qMax(screen.left(), screen.right() + 1 - size.width()));
        y = qBound(screen.top(), y, qMax(screen.top(), screen.bottom() + 1 - size.height()));
    }
    return {x, y};
}

void MenuBarPopup::showUnder(const QRect &anchor)
{
    m_view->refresh();
    adjustSize();
    QScreen *screen = QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    move(placement(size(), anchor, screen ? screen->availableGeometry() : QRect()));
    show();
    raise();
    activateWindow();
}
