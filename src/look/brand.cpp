#include "brand.h"

#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>

// The brand font built into the resources, when the build could fetch it.
static bool registerBrandFont()
{
#ifdef ZARNO_BRAND_FONT
    Q_INIT_RESOURCE(zarno_brandfont);
    const QDir fonts(QStringLiteral(":/Resources/fonts"));
    bool any = false;
    for (const QString &name : fonts.entryList({QStringLiteral("*.woff")}, QDir::Files))
        any |= QFontDatabase::addApplicationFont(fonts.filePath(name)) >= 0;
    return any;
#else
    return false;
#endif
}

namespace Brand {

namespace {

QColor rgb(qreal r, qreal g, qreal b, qreal a = 1.0)
{
    return QColor::fromRgbF(float(r), float(g), float(b), float(a));
}

} // namespace

const QColor &paper()
{
    static const QColor c = rgb(0.98, 0.961, 0.925);
    return c;
}

const QColor &paperDeep()
{
    static const QColor c = rgb(0.953, 0.925, 0.875);
    return c;
}

const QColor &card()
{
    static const QColor c = rgb(1, 1, 1);
    return c;
}

const QColor &ink()
{
    static const QColor c = rgb(0.114, 0.102, 0.078);
    return c;
}

const QColor &inkSoft()
{
    static const QColor c = rgb(0.18, 0.157, 0.114, 0.66);
    return c;
}

const QColor &inkFaint()
{
    static const QColor c = rgb(0.18, 0.157, 0.114, 0.42);
    return c;
}

const QColor &line()
{
    static const QColor c = rgb(0.114, 0.102, 0.078, 0.14);
    return c;
}

const QColor &action()
{
    return ink();
}

const QColor &tomato()
{
    static const QColor c = rgb(0.91, 0.271, 0.169);
    return c;
}

const QColor &marigold()
{
    static const QColor c = rgb(0.961, 0.647, 0.094);
    return c;
}

QString schibstedFamily()
{
    return QStringLiteral("Schibsted Grotesk");
}

bool hasSchibsted()
{
    static const bool has = registerBrandFont()
        || QFontDatabase::families().contains(schibstedFamily(), Qt::CaseInsensitive);
    return has;
}

QFont font(qreal size, Weight weight, bool italic)
{
    static const qreal dpi = [] {
        const QScreen *screen = QGuiApplication::primaryScreen();
        const qreal value = screen ? screen->logicalDotsPerInchY() : 96.0;
        return value > 0 ? value : 96.0;
    }();
    QFont f = hasSchibsted() ? QFont(schibstedFamily()) : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPointSizeF(size * 72.0 / dpi);
    switch (weight) {
    case Weight::Regular:
        f.setWeight(QFont::Normal);
        break;
    case Weight::Medium:
        f.setWeight(QFont::Medium);
        break;
    case Weight::Semibold:
        f.setWeight(QFont::DemiBold);
        break;
    }
    f.setItalic(italic);
    return f;
}

bool hasBackdropBlur()
{
#ifdef Q_OS_MACOS
    return true;
#else
    // No blur is asked of X11 or Wayland compositors here.
    return false;
#endif
}

qreal surfaceOpacity(qreal translucent)
{
    return hasBackdropBlur() ? translucent : 1.0;
}

QColor faded(const QColor &color, qreal opacity)
{
    QColor c = color;
    c.setAlphaF(float(color.alphaF() * opacity));
    return c;
}

} // namespace Brand
