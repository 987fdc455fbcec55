#include "iconbutton.h"

#include "lucide.h"

#include <QPainter>
#include <QSvgRenderer>

IconButton::IconButton(const QString &icon, qreal iconSize, const QColor &iconColor, int side, QWidget *parent)
    : QAbstractButton(parent)
    , m_icon(icon)
    , m_iconSize(iconSize)
    , m_iconColor(iconColor)
    , m_side(side)
{
    setFixedSize(side, side);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
}

void IconButton::setCircle(const QColor &fill, const QColor &ring)
{
    m_fill = fill;
    m_ring = ring;
    update();
}

void IconButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect());
    if (isDown())
        painter.setOpacity(0.7);
    if (m_fill.alpha() > 0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_fill);
        painter.drawEllipse(area);
    }
    if (m_ring.alpha() > 0) {
        painter.setPen(QPen(m_ring, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(area.adjusted(0.5, 0.5, -0.5, -0.5));
    }
    const qreal dpr = pixelScale(painter);
    if (m_rendered.isNull() || m_renderedDpr != dpr) {
        const auto image = Lucide::image(m_icon);
        m_rendered = image ? templatePixmap(*image, QSizeF(m_iconSize, m_iconSize), m_iconColor, dpr) : QPixmap();
        m_renderedDpr = dpr;
    }
    if (!m_rendered.isNull())
        painter.drawPixmap(QPointF((area.width() - m_iconSize) / 2, (area.height() - m_iconSize) / 2), m_rendered);
}
