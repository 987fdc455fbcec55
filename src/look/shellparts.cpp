#include "shellparts.h"

#include "brand.h"
#include "lucide.h"
#include "tabulartext.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

#include <cmath>

// --- TextButton -----------------------------------------------------------------

TextButton::TextButton(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
    : QAbstractButton(parent)
    , m_color(color)
{
    setText(text);
    setFont(font);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize TextButton::sizeHint() const
{
    const QFontMetricsF metrics(font());
    return QSize(int(std::ceil(metrics.horizontalAdvance(text()))), int(std::ceil(metrics.height())));
}

void TextButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setOpacity(isDown() ? 0.6 : 1.0);
    painter.setPen(m_color);
    painter.drawText(QRectF(rect()), Qt::AlignCenter | Qt::TextSingleLine, text());
}

// --- ElapsedPillButton ----------------------------------------------------------

ElapsedPillButton::ElapsedPillButton(const QString &text, QWidget *parent)
    : TealPillButton(text, parent)
{
}

QSize ElapsedPillButton::sizeHint() const
{
    const QFont font = labelFont();
    const QMargins m = insets();
    return QSize(int(std::ceil(TabularText::width(text(), font))) + m.left() + m.right(),
                 int(std::ceil(QFontMetricsF(font).height())) + m.top() + m.bottom());
}

void ElapsedPillButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect());
    painter.fillPath(backgroundShape(area), backgroundColor());
    const QFont font = labelFont();
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    painter.setPen(labelColor());
    const QRectF inner = area.marginsRemoved(QMarginsF(insets()));
    const qreal total = TabularText::width(text(), font);
    const qreal baseline = inner.top() + (inner.height() - metrics.height()) / 2 + metrics.ascent();
    TabularText::draw(painter, inner.left() + qMax<qreal>(0, (inner.width() - total) / 2), baseline, text());
}

// --- IconRowButton --------------------------------------------------------------

IconRowButton::IconRowButton(const QString &icon, const QString &text, const QColor &tint, QWidget *parent)
    : MenuRowButton(text, tint, parent)
    , m_icon(icon)
{
}

QMargins IconRowButton::insets() const
{
    QMargins m = MenuRowButton::insets();
    m.setLeft(m.left() + int(iconSize) + iconSpacing);
    return m;
}

void IconRowButton::paintEvent(QPaintEvent *event)
{
    MenuRowButton::paintEvent(event);
    const auto image = Lucide::image(m_icon);
    if (!image)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal left = MenuRowButton::insets().left();
    paintTemplate(painter, *image, QRectF(left, (height() - iconSize) / 2, iconSize, iconSize), tint());
}

// --- HairLine -------------------------------------------------------------------

HairLine::HairLine(QWidget *parent)
    : QWidget(parent)
{
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void HairLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Brand::line());
}

QPalette lightPalette()
{
    QPalette palette;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Window, Brand::paper());
        palette.setColor(group, QPalette::WindowText, Brand::ink());
        palette.setColor(group, QPalette::Base, Brand::card());
        palette.setColor(group, QPalette::AlternateBase, Brand::paperDeep());
        palette.setColor(group, QPalette::Text, Brand::ink());
        palette.setColor(group, QPalette::Button, Brand::card());
        palette.setColor(group, QPalette::ButtonText, Brand::ink());
        palette.setColor(group, QPalette::ToolTipBase, Brand::card());
        palette.setColor(group, QPalette::ToolTipText, Brand::ink());
        palette.setColor(group, QPalette::Highlight, Brand::paperDeep());
        palette.setColor(group, QPalette::HighlightedText, Brand::ink());
        palette.setColor(group, QPalette::PlaceholderText, Brand::inkFaint());
    }
    palette.setColor(QPalette::Disabled, QPalette::Text, Brand::inkFaint());
    palette.setColor(QPalette::Disabled, QPalette::WindowText, Brand::inkFaint());
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, Brand::inkFaint());
    return palette;
}
