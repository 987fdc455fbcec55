#pragma once

#include <QPainterPath>

class QPainter;

// The translucent glass behind both forms of the live panel: a soft shadow,
// a frosted layer, the white card tint at `fill` opacity, a sheen on the
// upper half and a thin border lighter at the top than at the bottom.
namespace HUDGlass {

inline constexpr qreal capsuleFill = 0.6;
inline constexpr qreal panelFill = 0.93;
inline constexpr qreal panelRadius = 18;

// `rect` is the visible panel; the shadow spills around it.
void paint(QPainter &painter, const QRectF &rect, qreal cornerRadius, qreal fill);

} // namespace HUDGlass
