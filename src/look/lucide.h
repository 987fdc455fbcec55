#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <memory>

class QPainter;
class QSvgRenderer;

// Icons of the Lucide set, read from the resources under "/Resources/lucide".
// Each file is read once; a name without a usable file is looked for again
// on the next request, so nothing is cached for it.
namespace Lucide {

[[nodiscard]] std::shared_ptr<QSvgRenderer> image(const QString &name);
// Where icon files are looked for. Tests point it at a folder of their own;
// changing it empties the cache.
void setDirectory(const QString &directory);
[[nodiscard]] QString directory();

} // namespace Lucide

namespace AppAssets {

// The logo as a template image (tinted by its user), or null when its file is
// missing or unreadable. Loaded once.
[[nodiscard]] std::shared_ptr<QSvgRenderer> menuBarLogo();
inline constexpr QSizeF menuBarLogoSize{15, 15};

} // namespace AppAssets

// Device pixels per layout point of what `painter` paints on.
[[nodiscard]] qreal pixelScale(const QPainter &painter);

// Draws an image as a template: its shape filled with `color`.
void paintTemplate(QPainter &painter, QSvgRenderer &image, const QRectF &rect, const QColor &color);
// The same, rendered once into a pixmap for the given device pixel ratio.
[[nodiscard]] QPixmap templatePixmap(QSvgRenderer &image, QSizeF size, const QColor &color, qreal dpr);

// One Lucide icon drawn in `color`, in a size x size square. Takes no space
// and draws nothing when the icon has no file.
class LucideIcon : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name CONSTANT)

public:
    LucideIcon(const QString &name, qreal size, const QColor &color, QWidget *parent = nullptr);

    [[nodiscard]] QString name() const { return m_name; }
    [[nodiscard]] qreal iconSize() const { return m_size; }
    [[nodiscard]] QColor color() const { return m_color; }
    void setColor(const QColor &color);
    // Whether the icon has a file and so takes its square.
    [[nodiscard]] bool hasImage() const;

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_name;
    qreal m_size;
    QColor m_color;
    QPixmap m_rendered;
    qreal m_renderedDpr = 0;
};
