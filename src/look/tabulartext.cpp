#include "tabulartext.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QHash>
#include <QPainter>
#include <QTextLayout>

#include <cmath>
#include <optional>
#include <vector>

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// A run of text, measured once and shaped once when first drawn.
struct Run
{
    qreal width = 0;
    std::optional<QList<QGlyphRun>> glyphs; // drawn from the top of the line
    qreal ascent = 0;
};

// Shaping is the costly part of measuring and drawing text, and a running
// time is measured and drawn every second: each font's digits and the runs
// of text around them are measured and shaped once.
struct FontMeasures
{
    QFont font;
    qreal digits[10] = {};
    qreal widest = 0;
    QHash<QString, Run> runs;
};

FontMeasures &measuresOf(const QFont &font)
{
    static std::vector<FontMeasures> kept; // a handful of fonts; never held across calls
    for (FontMeasures &measures : kept) {
        if (measures.font == font)
            return measures;
    }
    if (kept.size() >= 8)
        kept.erase(kept.begin());
    FontMeasures measures;
    measures.font = font;
    const QFontMetricsF metrics(font);
    for (int d = 0; d < 10; ++d) {
        measures.digits[d] = metrics.horizontalAdvance(QChar(u'0' + d));
        measures.widest = qMax(measures.widest, measures.digits[d]);
    }
    kept.push_back(std::move(measures));
    return kept.back();
}

Run &runOf(FontMeasures &measures, const QString &text)
{
    if (const auto found = measures.runs.find(text); found != measures.runs.end())
        return *found;
    if (measures.runs.size() >= 64)
        measures.runs.clear();
    return *measures.runs.insert(text, Run{QFontMetricsF(measures.font).horizontalAdvance(text), {}, 0});
}

qreal runWidth(FontMeasures &measures, const QString &run)
{
    return run.isEmpty() ? 0 : runOf(measures, run).width;
}

// Where QPainter::drawText would put the run with its baseline at `at`.
void drawRun(QPainter &painter, FontMeasures &measures, QPointF at, const QString &text)
{
    Run &run = runOf(measures, text);
    if (!run.glyphs) {
        QTextLayout layout(text, measures.font);
        layout.beginLayout();
        const QTextLine line = layout.createLine();
        layout.endLayout();
        run.glyphs = layout.glyphRuns();
        run.ascent = line.ascent();
    }
    for (const QGlyphRun &glyphs : *run.glyphs)
        painter.drawGlyphRun(at - QPointF(0, run.ascent), glyphs);
}

} // namespace

namespace TabularText {

qreal width(const QString &text, const QFont &font)
{
    FontMeasures &measures = measuresOf(font);
    qreal total = 0;
    QString run;
    for (const QChar c : text) {
        if (!isDigit(c)) {
            run.append(c);
            continue;
        }
        total += runWidth(measures, run) + measures.widest;
        run.clear();
    }
    return total + runWidth(measures, run);
}

void draw(QPainter &painter, qreal left, qreal baseline, const QString &text)
{
    FontMeasures &measures = measuresOf(painter.font());
    qreal x = left;
    // Runs of non-digits keep their kerning; each digit sits centred in its cell.
    QString run;
    const auto flush = [&] {
        if (run.isEmpty())
            return;
        drawRun(painter, measures, QPointF(x, baseline), run);
        x += runWidth(measures, run);
        run.clear();
    };
    for (const QChar c : text) {
        if (!isDigit(c)) {
            run.append(c);
            continue;
        }
        flush();
        drawRun(painter, measures, QPointF(x + (measures.widest - measures.digits[c.unicode() - u'0']) / 2, baseline),
                QString(c));
        x += measures.widest;
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
    TabularText::draw(painter, left, baseline, text());
}
