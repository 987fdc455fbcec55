#include "menubarview.h"

#include "brand.h"
#include "lucide.h"
#include "settings.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

// The two controls of the menu panel's mode row: the language menu's button
// and a segment of the translate / transcript switch.

namespace {

QFont languageFont()
{
    return Brand::font(12.5, Brand::Weight::Medium);
}

constexpr qreal zapSize = 13;
constexpr qreal chevronSize = 12;
constexpr int languageSpacing = 6;
constexpr int minimumGap = 8;

} // namespace

QString MenuBarView::languageName(const QString &code)
{
    for (const TargetLanguage &language : supportedTargetLanguages()) {
        if (language.code == code)
            return language.name;
    }
    return QStringLiteral("English");
}

// --- LanguageMenuButton ---------------------------------------------------------

LanguageMenuButton::LanguageMenuButton(QWidget *parent)
    : FieldButton(QString(), parent)
{
    setFont(languageFont());
    // The panel's width decides; a long name never widens it.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void LanguageMenuButton::setFaint(bool faint)
{
    if (faint == m_faint)
        return;
    m_faint = faint;
    update();
}

QColor LanguageMenuButton::textColor() const
{
    return m_faint ? Brand::inkFaint() : Brand::ink();
}

QColor LanguageMenuButton::iconColor() const
{
    return m_faint ? Brand::inkFaint() : Brand::action();
}

QSize LanguageMenuButton::sizeHint() const
{
    const QFontMetricsF metrics(font());
    const QMargins m = insets();
    const qreal content = zapSize + languageSpacing + metrics.horizontalAdvance(text()) + minimumGap + chevronSize;
    return QSize(int(std::ceil(content)) + m.left() + m.right(),
                 int(std::ceil(qMax(metrics.height(), zapSize))) + m.top() + m.bottom());
}

QSize LanguageMenuButton::minimumSizeHint() const
{
    const QMargins m = insets();
    return QSize(int(zapSize + chevronSize) + minimumGap + m.left() + m.right(), sizeHint().height());
}

void LanguageMenuButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(drawnOpacity());
    const QRectF area = QRectF(rect());
    painter.fillPath(backgroundShape(area), backgroundColor());
    painter.setPen(QPen(Brand::line(), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(backgroundShape(area.adjusted(0.5, 0.5, -0.5, -0.5)));

    const QRectF inner = area.marginsRemoved(QMarginsF(insets()));
    const qreal mid = inner.center().y();
    if (const auto zap = Lucide::image(QStringLiteral("zap")))
        paintTemplate(painter, *zap, QRectF(inner.left(), mid - zapSize / 2, zapSize, zapSize), iconColor());
    if (const auto chevron = Lucide::image(QStringLiteral("chevron-down")))
        paintTemplate(painter, *chevron,
                      QRectF(inner.right() - chevronSize, mid - chevronSize / 2, chevronSize, chevronSize),
                      Brand::inkFaint());
    painter.setFont(font());
    painter.setPen(textColor());
    painter.drawText(textArea(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shownText());
}

QRectF LanguageMenuButton::textArea() const
{
    const QRectF inner = QRectF(rect()).marginsRemoved(QMarginsF(insets()));
    return QRectF(inner.left() + zapSize + languageSpacing, inner.top(),
                  inner.width() - zapSize - languageSpacing - minimumGap - chevronSize, inner.height());
}

QString LanguageMenuButton::shownText() const
{
    // A narrow row gives up the source side first: the target is the choice.
    const QFontMetricsF metrics(font());
    const qreal room = textArea().width();
    if (metrics.horizontalAdvance(text()) <= room)
        return text();
    const QString target = text().section(QStringLiteral("→"), -1).trimmed();
    const QString arrow = QStringLiteral("→ ") + target;
    if (metrics.horizontalAdvance(arrow) <= room)
        return arrow;
    return metrics.elidedText(target, Qt::ElideRight, room);
}

// --- ModeSegment ----------------------------------------------------------------

ModeSegment::ModeSegment(const QString &title, QWidget *parent)
    : QAbstractButton(parent)
{
    setText(title);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ModeSegment::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    update();
}

QColor ModeSegment::textColor() const
{
    return m_selected ? QColor(Qt::white) : Brand::inkSoft();
}

QColor ModeSegment::backgroundColor() const
{
    return m_selected ? Brand::action() : QColor(Qt::transparent);
}

QFont ModeSegment::labelFont() const
{
    return Brand::font(12, m_selected ? Brand::Weight::Semibold : Brand::Weight::Medium);
}

QSize ModeSegment::sizeHint() const
{
    const QFontMetricsF metrics(labelFont());
    return QSize(int(std::ceil(metrics.horizontalAdvance(text()))) + 8, int(std::ceil(metrics.height())) + 10);
}

QSize ModeSegment::minimumSizeHint() const
{
    return sizeHint();
}

void ModeSegment::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_selected) {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 6, 6);
        painter.fillPath(shape, backgroundColor());
    }
    painter.setFont(labelFont());
    painter.setPen(textColor());
    painter.drawText(QRectF(rect()), Qt::AlignCenter | Qt::TextSingleLine, text());
}
