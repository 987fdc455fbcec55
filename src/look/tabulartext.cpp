#include "tabulartext.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

qreal widestDigit(const QFontMetricsF &metrics)
{
    qreal widest = 0;
    for (char16_t d = u'0'; d <= u'9'; ++d)
        widest = qMax(widest, metrics.horizontalAdvance(QChar(d)));
    return widest;
}

} // namespace

namespace TabularText {

qreal width(const QString &text, const QFont &font)
{
    const QFontMetricsF metrics(font);
    const qreal digit = widestDigit(metrics);
    qreal total = 0;
    QString run;
    for (const QChar c : text) {
        if (!isDigit(c)) {
            run.append(c);
            continue;
        }
        total += metrics.horizontalAdvance(run) + digit;
        run.clear();
    }
    return total + metrics.horizontalAdvance(run);
}

void draw(QPainter &painter, qreal left, qreal baseline, const QString &text, const QFontMetricsF &metrics)
{
    const qreal digit = widestDigit(metrics);
    qreal x = left;
    // Runs of non-digits keep their kerning; each digit sits centred in its cell.
    QString run;
    const auto flush = [&] {
        if (run.isEmpty())
            return;
        painter.drawText(QPointF(x, baseline), run);
        x += metrics.horizontalAdvance(run);
        run.clear();
    };
    for (const QChar c : text) {
        if (!isDigit(c)) {
            run.append(c);
            continue;
        }
        flush();
        painter.drawText(QPointF(x + (digit - metrics.horizontalAdvance(c)) / 2, baseline), QString(c));
        x += digit;
    }
    flush();
}

} // namespace TabularText

QSize TabularLabel::sizeHint() const
{
    const QMargins m = contentsMargins();
    return QSize(int(std::ceil(TabularText::width(text(), font()))) + m.left() + m.right(),
                 int(std::ceil(QFontMetricsF(font()).height())) + m.top() + m.bottom());
}

QSize TabularLabel::minimumSizeHint() const
{
    return sizeHint();
}

void TabularLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(foregroundRole()));
    const QFontMetricsF metrics(font());
    const QRectF area = QRectF(contentsRect());
    const qreal total = TabularText::width(text(), font());
    qreal left = area.left();
    if (alignment() & Qt::AlignHCenter)
        left += (area.width() - total) / 2;
    else if (alignment() & Qt::AlignRight)
        left += area.width() - total;
    const qreal baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
    TabularText::draw(painter, left, baseline, text(), metrics);
}
