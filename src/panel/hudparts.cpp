#include "hudparts.h"

#include "brand.h"
#include "livehud.h"
#include "lucide.h"
#include "screendrag.h"

#include <QPainter>
#include <QSvgRenderer>
#include <QTextLayout>

#include <cmath>

namespace {

// Lays out up to `maxLines` lines and returns their height.
qreal clampedHeight(QTextLayout &layout, int width, int maxLines, int *visibleLines)
{
    layout.beginLayout();
    qreal y = 0;
    int count = 0;
    while (count < maxLines) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
        ++count;
    }
    layout.endLayout();
    if (visibleLines)
        *visibleLines = count;
    return y;
}

} // namespace

ClampedText::ClampedText(const QFont &font, const QColor &color, int maxLines, QWidget *parent)
    : QWidget(parent)
    , m_font(font)
    , m_color(color)
    , m_maxLines(maxLines)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setFont(font);
}

void ClampedText::setText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

int ClampedText::heightForWidth(int width) const
{
    if (m_text.isEmpty())
        return 0;
    QTextLayout layout(m_text, m_font);
    return int(std::ceil(clampedHeight(layout, qMax(1, width), m_maxLines, nullptr)));
}

QSize ClampedText::sizeHint() const
{
    const QFontMetricsF metrics(m_font);
    return QSize(int(std::ceil(metrics.horizontalAdvance(m_text))), heightForWidth(qMax(1, width())));
}

QSize ClampedText::minimumSizeHint() const
{
    return QSize(0, heightForWidth(qMax(1, width())));
}

void ClampedText::paintEvent(QPaintEvent *)
{
    if (m_text.isEmpty())
        return;
    QPainter painter(this);
    painter.setPen(m_color);
    painter.setFont(m_font);
    QTextLayout layout(m_text, m_font);
    int visible = 0;
    clampedHeight(layout, width(), m_maxLines, &visible);
    for (int i = 0; i < visible; ++i) {
        const QTextLine line = layout.lineAt(i);
        const bool last = i == visible - 1;
        const int end = line.textStart() + line.textLength();
        if (last && end < m_text.size()) {
            // More text than lines: the last line ends in an ellipsis.
            const QString rest = m_text.mid(line.textStart()).simplified();
            const QString elided = QFontMetricsF(m_font).elidedText(rest, Qt::ElideRight, width());
            painter.drawText(QPointF(0, line.y() + line.ascent()), elided);
        } else {
            line.draw(&painter, QPointF(0, 0));
        }
    }
}

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

ResizeHandle::ResizeHandle(HUDGeometry::Corner corner, LiveHUD *hud, QWidget *parent)
    : QWidget(parent)
    , m_corner(corner)
{
    using HUDGeometry::Corner;
    if (isGrip())
        setToolTip(gripToolTip);
    else
        setCursor(corner == Corner::Bottom ? Qt::SizeVerCursor : Qt::SizeHorCursor);

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
