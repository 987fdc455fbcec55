#include "hudgeometry.h"

#include <algorithm>

namespace HUDGeometry {

QSizeF windowSize(QSizeF inner)
{
    return inner + QSizeF(2 * shadowInset, 2 * shadowInset);
}

QSizeF clampedInner(QSizeF inner)
{
    return QSizeF(std::min(std::max(inner.width(), minInner.width()), maxInner.width()),
                  std::min(std::max(inner.height(), minInner.height()), maxInner.height()));
}

QSizeF storedExpandedInner(double width, double height)
{
    // NaN fails both comparisons and so falls back too.
    if (width > 0 && height > 0)
        return clampedInner(QSizeF(width, height));
    return defaultInner;
}

QPointF defaultAnchor(std::optional<QRectF> available)
{
    const QRectF area = available.value_or(QRectF());
    return QPointF(area.right() - 8, area.center().y() - 180);
}

QRectF frameAnchoredAt(QPointF anchor, QSizeF size, std::optional<QRectF> available)
{
    qreal x = anchor.x() - size.width();
    qreal y = anchor.y();
    if (available && available->isValid()) {
        const QRectF &v = *available;
        x = std::min(std::max(x, v.left()), v.right() - size.width());
        y = std::max(std::min(y, v.bottom() - size.height()), v.top());
    }
    return QRectF(QPointF(x, y), size);
}

QPointF anchorOf(const QRectF &frame)
{
    return QPointF(frame.right(), frame.top());
}

ResizeResult resize(const QRectF &from, Corner corner, qreal dx, qreal dy, bool ended)
{
    const bool bottom = corner == Corner::BottomLeft || corner == Corner::BottomRight || corner == Corner::Bottom;
    const bool leftHand = corner == Corner::BottomLeft || corner == Corner::Left;
    const bool rightHand = corner == Corner::BottomRight || corner == Corner::Right;

    const qreal h = from.height() - 2 * shadowInset + (bottom ? dy : 0);
    if (ended && bottom && h < minInner.height() - collapseSlack)
        return ResizeResult{.collapse = true, .inner = {}, .frame = {}};

    qreal w = from.width() - 2 * shadowInset;
    if (rightHand)
        w += dx;
    else if (leftHand)
        w -= dx;

    ResizeResult result;
    result.inner = clampedInner(QSizeF(w, h));
    const QSizeF size = windowSize(result.inner);
    const qreal x = leftHand ? from.right() - size.width() : from.left();
    result.frame = QRectF(QPointF(x, from.top()), size);
    return result;
}

} // namespace HUDGeometry
