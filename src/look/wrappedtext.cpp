#include "wrappedtext.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <cmath>

namespace {

struct Laid
{
    qreal height = 0;
    int lines = 0;
};

// Lays the text out at `width` over at most `maxLines` lines (0: no limit);
// draws it too when a painter is given, eliding the last line when text is left.
Laid layoutText(const QString &text, const QFont &font, qreal width, Qt::Alignment alignment, int maxLines,
                QPainter *painter = nullptr)
{
    if (text.isEmpty())
        return {};
    QTextLayout layout(text, font);
    QTextOption option(alignment);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const QFontMetricsF metrics(font);
    width = qMax<qreal>(1, width);
    qreal y = 0;
    int count = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid() && (maxLines <= 0 || count < maxLines);
         line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += metrics.lineSpacing();
        ++count;
    }
    layout.endLayout();
    if (painter) {
        for (int i = 0; i < count; ++i) {
            const QTextLine line = layout.lineAt(i);
            const bool cut = i == count - 1 && line.textStart() + line.textLength() < text.size();
            if (!cut) {
                line.draw(painter, QPointF(0, 0));
                continue;
            }
            const QString rest = text.mid(line.textStart()).simplified();
            painter->drawText(QPointF(0, line.y() + line.ascent()), metrics.elidedText(rest, Qt::ElideRight, width));
        }
    }
    return {count == 0 ? 0 : y - metrics.leading(), count};
}

} // namespace

WrappedText::WrappedText(const QFont &font, const QColor &color, Qt::Alignment alignment, QWidget *parent)
    : QWidget(parent)
    , m_color(color)
    , m_alignment(alignment)
{
    setFont(font);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void WrappedText::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

void WrappedText::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void WrappedText::setMaxLines(int maxLines)
{
    m_maxLines = qMax(0, maxLines);
    QSizePolicy policy = sizePolicy();
    policy.setVerticalPolicy(m_maxLines > 0 ? QSizePolicy::Fixed : QSizePolicy::Preferred);
    setSizePolicy(policy);
    updateGeometry();
    update();
}

int WrappedText::lineCount() const
{
    return layoutText(m_text, font(), contentsRect().width(), m_alignment, m_maxLines).lines;
}

int WrappedText::heightForWidth(int width) const
{
    const QMargins m = contentsMargins();
    const qreal height = layoutText(m_text, font(), width - m.left() - m.right(), m_alignment, m_maxLines).height;
    return int(std::ceil(height)) + m.top() + m.bottom();
}

QSize WrappedText::sizeHint() const
{
    // A wide preference that the layout narrows; the height follows the width.
    const QFontMetricsF metrics(font());
    const int width = int(std::ceil(qMin<qreal>(metrics.horizontalAdvance(m_text), 320)));
    const QMargins m = contentsMargins();
    return QSize(width + m.left() + m.right(), heightForWidth(width + m.left() + m.right()));
}

QSize WrappedText::minimumSizeHint() const
{
    return QSize(0, heightForWidth(width()));
}

void WrappedText::paintEvent(QPaintEvent *)
{
    if (m_text.isEmpty())
        return;
    QPainter painter(this);
    painter.setPen(m_color);
    painter.setFont(font());
    const QRect area = contentsRect();
    painter.translate(area.topLeft());
    layoutText(m_text, font(), area.width(), m_alignment, m_maxLines, &painter);
}
