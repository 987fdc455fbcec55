#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <optional>

// The live panel's sizes and placement rules, free of windows so that they
// can be checked directly. Coordinates are the desktop's: origin top-left,
// y growing downwards. A frame is the whole window, margin included.
namespace HUDGeometry {

inline constexpr qreal shadowInset = 16;
inline constexpr QSizeF capsuleInner{92, 40};
inline constexpr QSizeF minInner{320, 148};
inline constexpr QSizeF maxInner{640, 840};
inline constexpr QSizeF defaultInner{380, 340};
inline constexpr qreal fullTranscriptHeight = 230;
// Releasing a bottom handle this far below the smallest height collapses.
inline constexpr qreal collapseSlack = 28;

// The handle being dragged in a resize: two corner grips, three edge strips.
enum class Corner { BottomLeft, BottomRight, Left, Right, Bottom };

[[nodiscard]] QSizeF windowSize(QSizeF inner);
[[nodiscard]] QSizeF clampedInner(QSizeF inner);

// The expanded size from the stored width and height (a missing key reads
// as 0): both positive gives them clamped into range, anything else the default.
[[nodiscard]] QSizeF storedExpandedInner(double width, double height);

// Where a window first appears when no anchor is stored: its top-right
// corner 8 left of the available area's right edge and 180 above its middle.
[[nodiscard]] QPointF defaultAnchor(std::optional<QRectF> available);

// The frame of `size` whose top-right corner is `anchor`, pushed inside the
// available area. A window larger than the area keeps its right and top
// edges on the area's.
[[nodiscard]] QRectF frameAnchoredAt(QPointF anchor, QSizeF size, std::optional<QRectF> available);

// The top-right corner of a frame: what is stored as the anchor.
[[nodiscard]] QPointF anchorOf(const QRectF &frame);

struct ResizeResult
{
    bool collapse = false; // the drag ended far enough up to fold the panel
    QSizeF inner;          // the new expanded inner size (unset when collapsing)
    QRectF frame;          // the new window frame (unset when collapsing)
};

// A resize drag from the window frame `from` by (dx, dy) in desktop
// coordinates (dy > 0 is downwards). The top edge always stays; the right
// edge stays for the left-hand handles, the left edge for the others.
[[nodiscard]] ResizeResult resize(const QRectF &from, Corner corner, qreal dx, qreal dy, bool ended);

} // namespace HUDGeometry
