#include "hudparts.h"

#include "brand.h"
#include "livehud.h"
#include "screendrag.h"

#include <QPainter>
#include <QPointer>

ResizeHandle::ResizeHandle(HUDGeometry::Corner corner, LiveHUD *hud, QWidget *parent)
    : QWidget(parent)
    , m_corner(corner)
{
    using HUDGeometry::Corner;
    if (isGrip())
        setToolTip(gripToolTip);
    else
        setCursor(corner == Corner::Bottom ? Qt::SizeVerCursor : Qt::SizeHorCursor);
    switch (corner) {
    case Corner::Left:
        setAccessibleName(QStringLiteral("Resize from the left edge"));
        break;
    case Corner::Right:
        setAccessibleName(QStringLiteral("Resize from the right edge"));
        break;
    case Corner::Bottom:
        setAccessibleName(QStringLiteral("Resize from the bottom edge"));
        break;
    case Corner::BottomLeft:
        setAccessibleName(QStringLiteral("Resize from the bottom-left corner"));
        break;
    case Corner::BottomRight:
        setAccessibleName(QStringLiteral("Resize from the bottom-right corner"));
        break;
    }
    if (!isGrip())
        setToolTip(accessibleName());

    QPointer<LiveHUD> weak(hud);
    auto step = [weak, corner](bool ended) {
        return [weak, corner, ended](const QRectF &start, qreal dx, qreal dy) {
            if (weak)
                weak->resize(start, corner, dx, dy, ended);
        };
    };
    m_drag = new ScreenDrag(
        this, [weak] { return weak ? weak->frame() : QRectF(); }, step(false), step(true));
}

bool ResizeHandle::isGrip() const
{
    return m_corner == HUDGeometry::Corner::BottomLeft || m_corner == HUDGeometry::Corner::BottomRight;
}

void ResizeHandle::place(const QRect &panel)
{
    using HUDGeometry::Corner;
    const int grip = gripBox + 2 * gripPadding;
    switch (m_corner) {
    case Corner::Left:
        setGeometry(panel.left(), panel.top() + edgeEndGap, edgeThickness, panel.height() - 2 * edgeEndGap);
        break;
    case Corner::Right:
        setGeometry(panel.right() + 1 - edgeThickness, panel.top() + edgeEndGap, edgeThickness,
                    panel.height() - 2 * edgeEndGap);
        break;
    case Corner::Bottom:
        setGeometry(panel.left() + edgeEndGap, panel.bottom() + 1 - edgeThickness, panel.width() - 2 * edgeEndGap,
                    edgeThickness);
        break;
    case Corner::BottomLeft:
        setGeometry(panel.left(), panel.bottom() + 1 - grip, grip, grip);
        break;
    case Corner::BottomRight:
        setGeometry(panel.right() + 1 - grip, panel.bottom() + 1 - grip, grip, grip);
        break;
    }
}

void ResizeHandle::paintEvent(QPaintEvent *)
{
    if (!isGrip())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(gripPadding, gripPadding);
    if (m_corner == HUDGeometry::Corner::BottomLeft) {
        // Mirrored left-to-right about the box's centre.
        painter.translate(gripBox, 0);
        painter.scale(-1, 1);
    }
    QPen pen(Brand::inkFaint(), 1.2);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawLine(QPointF(11, 3), QPointF(3, 11));
    painter.drawLine(QPointF(11, 7), QPointF(7, 11));
}
