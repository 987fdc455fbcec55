#include "lucide.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

static void initZarnoResources()
{
    // The resources live in a static library; they register on first use.
    static const bool done = [] {
        Q_INIT_RESOURCE(zarno);
        return true;
    }();
    Q_UNUSED(done);
}

namespace {

QString &iconDirectory()
{
    static QString directory = QStringLiteral(":/Resources/lucide");
    return directory;
}

QHash<QString, std::shared_ptr<QSvgRenderer>> &iconCache()
{
    static QHash<QString, std::shared_ptr<QSvgRenderer>> cache;
    return cache;
}

std::shared_ptr<QSvgRenderer> loadSvg(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    auto renderer = std::make_shared<QSvgRenderer>(file.readAll());
    if (!renderer->isValid())
        return nullptr;
    return renderer;
}

} // namespace

namespace Lucide {

std::shared_ptr<QSvgRenderer> image(const QString &name)
{
    initZarnoResources();
    auto &cache = iconCache();
    if (const auto found = cache.constFind(name); found != cache.constEnd())
        return *found;
    // A name is a file name, never a path.
    if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || name.startsWith(u'.'))
        return nullptr;
    auto renderer = loadSvg(iconDirectory() + u'/' + name + QStringLiteral(".svg"));
    if (renderer)
        cache.insert(name, renderer);
    return renderer;
}

void setDirectory(const QString &directory)
{
    iconDirectory() = directory;
    iconCache().clear();
}

QString directory()
{
    return iconDirectory();
}

} // namespace Lucide

namespace AppAssets {

std::shared_ptr<QSvgRenderer> menuBarLogo()
{
    initZarnoResources();
    static const std::shared_ptr<QSvgRenderer> logo = loadSvg(QStringLiteral(":/Resources/logo_short.svg"));
    return logo;
}

} // namespace AppAssets

QPixmap templatePixmap(QSvgRenderer &image, QSizeF size, const QColor &color, qreal dpr)
{
    const QSize pixels(qMax(1, int(std::ceil(size.width() * dpr))), qMax(1, int(std::ceil(size.height() * dpr))));
    QImage canvas(pixels, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter p(&canvas);
        p.setRenderHint(QPainter::Antialiasing);
        // Scaled to fit, centred, as the icon's own aspect ratio allows.
        QSizeF natural = image.defaultSize();
        if (natural.isEmpty())
            natural = QSizeF(pixels);
        const QSizeF fitted = natural.scaled(QSizeF(pixels), Qt::KeepAspectRatio);
        image.render(&p, QRectF(QPointF((pixels.width() - fitted.width()) / 2, (pixels.height() - fitted.height()) / 2),
                                fitted));
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(canvas.rect(), color);
    }
    QPixmap pixmap = QPixmap::fromImage(std::move(canvas));
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

qreal pixelScale(const QPainter &painter)
{
    // A widget rendered into a 2x image paints through a scaled transform
    // while its own device pixel ratio still reads 1.
    const qreal scale = painter.deviceTransform().map(QLineF(0, 0, 1, 0)).length();
    return qMax(qreal(1), scale);
}

void paintTemplate(QPainter &painter, QSvgRenderer &image, const QRectF &rect, const QColor &color)
{
    const qreal dpr = pixelScale(painter);
    painter.drawPixmap(rect.topLeft(), templatePixmap(image, rect.size(), color, dpr));
}

LucideIcon::LucideIcon(const QString &name, qreal size, const QColor &color, QWidget *parent)
    : QWidget(parent)
    , m_name(name)
    , m_size(size)
    , m_color(color)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void LucideIcon::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    m_rendered = QPixmap();
    update();
}

bool LucideIcon::hasImage() const
{
    return Lucide::image(m_name) != nullptr;
}

QSize LucideIcon::sizeHint() const
{
    if (!hasImage())
        return QSize(0, 0);
    const int side = int(std::ceil(m_size));
    return QSize(side, side);
}

QSize LucideIcon::minimumSizeHint() const
{
    return sizeHint();
}

void LucideIcon::paintEvent(QPaintEvent *)
{
    const std::shared_ptr<QSvgRenderer> image = Lucide::image(m_name);
    if (!image)
        return;
    QPainter painter(this);
    const qreal dpr = pixelScale(painter);
    if (m_rendered.isNull() || m_renderedDpr != dpr) {
        m_rendered = templatePixmap(*image, QSizeF(m_size, m_size), m_color, dpr);
        m_renderedDpr = dpr;
    }
    const QPointF origin((width() - m_size) / 2, (height() - m_size) / 2);
    painter.drawPixmap(origin, m_rendered);
}
