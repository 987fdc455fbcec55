#include "buttons.h"

#include "brand.h"

#include <QEnterEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

QPainterPath capsulePath(const QRectF &rect)
{
    QPainterPath path;
    const qreal radius = qMin(rect.width(), rect.height()) / 2;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

QPainterPath roundedPath(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

} // namespace

StyledButton::StyledButton(const QString &text, QWidget *parent)
    : QAbstractButton(parent)
{
    setText(text);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize StyledButton::sizeHint() const
{
    const QFontMetricsF metrics(labelFont());
    const QMargins m = insets();
    return QSize(int(std::ceil(metrics.horizontalAdvance(text()))) + m.left() + m.right(),
                 int(std::ceil(metrics.height())) + m.top() + m.bottom());
}

QSize StyledButton::minimumSizeHint() const
{
    return sizeHint();
}

void StyledButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect());
    const QColor background = backgroundColor();
    if (background.alpha() > 0)
        painter.fillPath(backgroundShape(area), background);
    if (hasBorder()) {
        // Inside the shape: half a point in from the edge.
        painter.setPen(QPen(Brand::line(), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(backgroundShape(area.adjusted(0.5, 0.5, -0.5, -0.5)));
    }
    painter.setFont(labelFont());
    painter.setPen(labelColor());
    painter.drawText(area.marginsRemoved(QMarginsF(insets())), int(labelAlignment()) | Qt::TextSingleLine, text());
}

TealPillButton::TealPillButton(const QString &text, QWidget *parent)
    : StyledButton(text, parent)
{
}

QColor TealPillButton::backgroundColor() const
{
    return Brand::faded(Brand::action(), isDown() ? 0.85 : 1.0);
}

QPainterPath TealPillButton::backgroundShape(const QRectF &rect) const
{
    return capsulePath(rect);
}

QFont TealPillButton::labelFont() const
{
    return Brand::font(13, Brand::Weight::Semibold);
}

QColor TealPillButton::labelColor() const
{
    return Qt::white;
}

OutlinePillButton::OutlinePillButton(const QString &text, QWidget *parent)
    : StyledButton(text, parent)
{
}

QColor OutlinePillButton::backgroundColor() const
{
    return isDown() ? Brand::paperDeep() : QColor(Qt::transparent);
}

QPainterPath OutlinePillButton::backgroundShape(const QRectF &rect) const
{
    return capsulePath(rect);
}

QFont OutlinePillButton::labelFont() const
{
    return Brand::font(12.5, Brand::Weight::Medium);
}

QColor OutlinePillButton::labelColor() const
{
    return Brand::ink();
}

FieldButton::FieldButton(const QString &text, QWidget *parent)
    : StyledButton(text, parent)
{
}

QColor FieldButton::backgroundColor() const
{
    return isDown() ? Brand::paperDeep() : Brand::card();
}

QPainterPath FieldButton::backgroundShape(const QRectF &rect) const
{
    return roundedPath(rect, 8);
}

QFont FieldButton::labelFont() const
{
    return font();
}

QColor FieldButton::labelColor() const
{
    return palette().color(QPalette::ButtonText);
}

MenuRowButton::MenuRowButton(const QString &text, const QColor &tint, QWidget *parent)
    : StyledButton(text, parent)
    , m_tint(tint)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
}

QColor MenuRowButton::backgroundColor() const
{
    return m_hovering || isDown() ? Brand::paperDeep() : QColor(Qt::transparent);
}

QPainterPath MenuRowButton::backgroundShape(const QRectF &rect) const
{
    return roundedPath(rect, 8);
}

QFont MenuRowButton::labelFont() const
{
    return Brand::font(13);
}

QColor MenuRowButton::labelColor() const
{
    return m_tint;
}

void MenuRowButton::enterEvent(QEnterEvent *event)
{
    m_hovering = true;
    update();
    StyledButton::enterEvent(event);
}

void MenuRowButton::leaveEvent(QEvent *event)
{
    m_hovering = false;
    update();
    StyledButton::leaveEvent(event);
}
