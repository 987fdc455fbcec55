#pragma once

#include <QColor>
#include <QString>
#include <QImage>
#include <QSizeF>
#include <QStringList>

#include <optional>

class QWidget;

// Draws the live panel in its typical states, and the meeting prompt, into
// PNG files from built-in sample data, without showing a window. Used for
// screenshots of the design.
namespace PreviewRender {

inline const QString switchName = QStringLiteral("--render-hud");
inline constexpr qreal scale = 2;

// "--render-hud DIR" among the arguments renders into DIR and returns true;
// without the switch, or with it last, nothing happens and it returns false.
// A file that cannot be made is skipped; the others are still written.
bool runIfRequested(const QStringList &arguments);

// The directory to render into, when the arguments ask for previews.
[[nodiscard]] std::optional<QString> requestedDirectory(const QStringList &arguments);

// Renders every preview into `directory` (made if needed).
void renderAll(const QString &directory);

// The files renderAll writes, in the order it writes them.
[[nodiscard]] QStringList fileNames();

// The opaque colour behind every preview, margin included.
[[nodiscard]] QColor background();

// `widget` laid out at `size` points and drawn at scale 2 on the background.
[[nodiscard]] QImage renderWidget(QWidget &widget, QSizeF size);

} // namespace PreviewRender
