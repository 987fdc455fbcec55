#include "hudglass.h"

#include "brand.h"
#include "lucide.h"

#include <QHash>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <cmath>
#include <vector>

namespace {

constexpr qreal shadowRadius = 6;
constexpr qreal shadowOffsetY = 2;
constexpr qreal shadowOpacity = 0.12;

QPainterPath roundedPath(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// One pass of a box blur over the alpha channel, along rows or columns.
void boxBlurAlpha(QImage &image, int radius, bool horizontal)
{
    const int w = image.width();
    const int h = image.height();
    const int lines = horizontal ? h : w;
    const int length = horizontal ? w : h;
    std::vector<int> source(length);
    for (int l = 0; l < lines; ++l) {
        auto at = [&](int i) -> uchar & {
            const int x = horizontal ? i : l;
            const int y = horizontal ? l : i;
            return image.scanLine(y)[x];
        };
        for (int i = 0; i < length; ++i)
            source[i] = at(i);
        int sum = 0;
        const int window = 2 * radius + 1;
        for (int i = -radius; i <= radius; ++i)
            sum += (i >= 0 && i < length) ? source[i] : 0;
        for (int i = 0; i < length; ++i) {
            at(i) = uchar(sum / window);
            const int out = i - radius;
            const int in = i + radius + 1;
            sum -= (out >= 0 && out < length) ? source[out] : 0;
            sum += (in >= 0 && in < length) ? source[in] : 0;
        }
    }
}

// The blurred shadow of a rounded rectangle at `dpr`; one per size, made once.
const QImage &shadowImage(QSizeF size, qreal radius, qreal dpr)
{
    static QHash<QString, QImage> cache;
    const QString key = QStringLiteral("%1x%2r%3@%4").arg(size.width()).arg(size.height()).arg(radius).arg(dpr);
    if (const auto found = cache.constFind(key); found != cache.constEnd())
        return *found;
    const qreal margin = 2 * shadowRadius;
    const QSize pixels(int(std::ceil((size.width() + 2 * margin) * dpr)),
                       int(std::ceil((size.height() + 2 * margin) * dpr)));
    QImage mask(pixels, QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(dpr, dpr);
        p.fillPath(roundedPath(QRectF(QPointF(margin, margin), size), radius), Qt::black);
    }
    // Three box passes approximate a Gaussian whose spread matches the radius.
    const int box = qMax(1, int(std::lround(shadowRadius * dpr / 2)));
    for (int pass = 0; pass < 3; ++pass) {
        boxBlurAlpha(mask, box, true);
        boxBlurAlpha(mask, box, false);
    }
    QImage tinted(mask.size(), QImage::Format_ARGB32_Premultiplied);
    tinted.fill(Qt::transparent);
    {
        QPainter t(&tinted);
        t.drawImage(0, 0, mask);
        t.setCompositionMode(QPainter::CompositionMode_SourceIn);
        t.fillRect(tinted.rect(), QColor(0, 0, 0, int(255 * shadowOpacity)));
    }
    tinted.setDevicePixelRatio(dpr);
    if (cache.size() > 32)
        cache.clear(); // sizes of a long resize drag
    return *cache.insert(key, tinted);
}

// The whole glass of one size, drawn once: a repaint of a small part (the
// recording dot, one transcript row) copies that part instead of filling
// and stroking the full shape again, which Qt spreads over worker threads.
// Its origin is `margin` above and left of the card.
const QImage &glassImage(QSizeF size, qreal cornerRadius, qreal fill, qreal dpr)
{
    // Looked up on every repaint, so the key is plain numbers.
    struct Glass
    {
        QSizeF size;
        qreal cornerRadius = 0;
        qreal fill = 0;
        qreal dpr = 0;
        QRgb tint = 0;
        QRgb edge = 0;
        QImage image;
    };
    static std::vector<Glass> cache;
    const QColor tint = Brand::faded(Brand::card(), Brand::surfaceOpacity(fill));
    const QColor edge = Brand::faded(Brand::ink(), 0.14);
    for (const Glass &glass : cache) {
        if (glass.size == size && glass.cornerRadius == cornerRadius && glass.fill == fill && glass.dpr == dpr
            && glass.tint == tint.rgba() && glass.edge == edge.rgba())
            return glass.image;
    }

    const qreal margin = 2 * shadowRadius;
    const QSize pixels(int(std::ceil((size.width() + 2 * margin) * dpr)),
                       int(std::ceil((size.height() + 2 * margin + shadowOffsetY) * dpr)));
    QImage glass(pixels, QImage::Format_ARGB32_Premultiplied);
    glass.fill(Qt::transparent);
    {
        QPainter painter(&glass);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(dpr, dpr);
        const QRectF rect(QPointF(margin, margin), size);

        // Shadow: black at low opacity, blurred, 2 points down.
        const QImage &shadow = shadowImage(size, cornerRadius, dpr);
        painter.drawImage(QPointF(0, shadowOffsetY), shadow);

        const QPainterPath shape = roundedPath(rect, cornerRadius);
        // Frosted layer: a light wash over the blurred backdrop; where nothing
        // blurs it, the card is solid so the page behind stays out of sight.
        painter.fillPath(shape, QColor(248, 248, 250, 110));
        painter.fillPath(shape, tint);

        QLinearGradient sheen(rect.topLeft(), QPointF(rect.left(), rect.center().y()));
        sheen.setColorAt(0, QColor(255, 255, 255, 128));
        sheen.setColorAt(1, QColor(255, 255, 255, 0));
        painter.fillPath(shape, sheen);

        QLinearGradient border(rect.topLeft(), rect.bottomLeft());
        border.setColorAt(0, QColor(255, 255, 255, int(255 * 0.9)));
        border.setColorAt(1, edge);
        painter.setPen(QPen(QBrush(border), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(roundedPath(rect.adjusted(0.5, 0.5, -0.5, -0.5), qMax<qreal>(0, cornerRadius - 0.5)));
    }
    glass.setDevicePixelRatio(dpr);
    if (cache.size() >= 4)
        cache.erase(cache.begin()); // sizes of a resize drag give way to the newest
    cache.push_back({size, cornerRadius, fill, dpr, tint.rgba(), edge.rgba(), glass});
    return cache.back().image;
}

} // namespace

namespace HUDGlass {

void paint(QPainter &painter, const QRectF &rect, qreal cornerRadius, qreal fill)
{
    const qreal margin = 2 * shadowRadius;
    const QImage &glass = glassImage(rect.size(), cornerRadius, fill, pixelScale(painter));
    painter.drawImage(rect.topLeft() - QPointF(margin, margin), glass);
}

} // namespace HUDGlass
