#pragma once

#include <QColor>
#include <QFont>

// The program's colours and type. Every view draws with these, always in the
// light scheme whatever the desktop's appearance.
namespace Brand {

[[nodiscard]] const QColor &paper();
[[nodiscard]] const QColor &paperDeep();
[[nodiscard]] const QColor &card();
[[nodiscard]] const QColor &ink();
[[nodiscard]] const QColor &inkSoft();
[[nodiscard]] const QColor &inkFaint();
[[nodiscard]] const QColor &line();
[[nodiscard]] const QColor &action();
[[nodiscard]] const QColor &tomato();
[[nodiscard]] const QColor &marigold();

enum class Weight { Regular, Medium, Semibold };

// Schibsted Grotesk when the system has it, the system font otherwise. Sizes
// are in points of the layout (device-independent pixels), not typographic
// points, so text keeps its size against the rest of the layout.
[[nodiscard]] QFont font(qreal size, Weight weight = Weight::Regular, bool italic = false);
[[nodiscard]] bool hasSchibsted();
[[nodiscard]] QString schibstedFamily();

// Whether the window system blurs what lies behind a translucent window.
// Without it, a see-through surface shows the text behind it as ghost
// letters, so surfaces are drawn opaque instead.
[[nodiscard]] bool hasBackdropBlur();
// A surface's opacity: `translucent` over a blurred backdrop, else solid.
[[nodiscard]] qreal surfaceOpacity(qreal translucent);

// The same colour with its opacity multiplied by `opacity`.
[[nodiscard]] QColor faded(const QColor &color, qreal opacity);

} // namespace Brand
