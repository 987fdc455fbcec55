#include "bubbledelegate.h"

#include "brand.h"
#include "transcriptmodel.h"

#include <QPainter>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Lays the text out in `width`, its first line at `top`, and returns the
// bottom of its last line.
qreal layOut(QTextLayout &layout, qreal width, qreal top)
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = top;
    bool first = true;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        if (!first)
            y += BubbleDelegate::lineSpacing;
        first = false;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return y;
}

// A card of one colour with rounded corners, drawn without filling an
// outline: Qt blends a tall filled path on worker threads, waking two of
// them for each repaint of a long bubble. The corners come from one small
// image of a disc, the rest are plain rectangles.
void fillCard(QPainter &painter, const QRect &rect, int radius, const QColor &color)
{
    const int r = std::max(0, std::min({radius, rect.width() / 2, rect.height() / 2}));
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    // One disc per colour (lines and translations differ) and scale.
    struct Disc
    {
        QRgb color;
        int radius;
        qreal dpr;
        QImage image;
    };
    static std::vector<Disc> discs;
    auto found = std::find_if(discs.begin(), discs.end(), [&](const Disc &d) {
        return d.color == color.rgba() && d.radius == r && d.dpr == dpr;
    });
    if (found == discs.end()) {
        const int side = std::max(1, int(std::ceil(2 * r * dpr)));
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(0, 0, side, side));
        p.end();
        if (discs.size() >= 8)
            discs.erase(discs.begin());
        discs.push_back({color.rgba(), r, dpr, image});
        found = discs.end() - 1;
    }
    const QImage &disc = found->image;
    const qreal half = disc.width() / 2.0;
    const QRectF corners[] = {{0, 0, half, half}, {half, 0, half, half}, {0, half, half, half}, {half, half, half, half}};
    const QPointF at[] = {rect.topLeft(), QPointF(rect.right() + 1 - r, rect.top()),
                          QPointF(rect.left(), rect.bottom() + 1 - r), QPointF(rect.right() + 1 - r, rect.bottom() + 1 - r)};
    for (int i = 0; i < 4; ++i)
        painter.drawImage(QRectF(at[i], QSizeF(r, r)), disc, corners[i]);
    painter.fillRect(QRect(rect.left() + r, rect.top(), rect.width() - 2 * r, r), color);
    painter.fillRect(QRect(rect.left(), rect.top() + r, rect.width(), rect.height() - 2 * r), color);
    painter.fillRect(QRect(rect.left() + r, rect.bottom() + 1 - r, rect.width() - 2 * r, r), color);
}

const QFont &labelFont()
{
    static const QFont font = Brand::font(11, Brand::Weight::Semibold);
    return font;
}

// The speaker's label laid out once, and the height it takes above the text.
std::pair<QStaticText, qreal> labelOf(const QString &label)
{
    if (label.isEmpty())
        return {};
    QStaticText text(label);
    text.setTextFormat(Qt::PlainText);
    text.prepare(QTransform(), labelFont());
    return {text, std::ceil(QFontMetricsF(labelFont()).height()) + BubbleDelegate::lineSpacing};
}

} // namespace

BubbleDelegate::~BubbleDelegate() = default;

// Where `after` starts to read differently from the laid-out `before`: the
// first line to lay out again, its start in the text and its top. Wrapping
// is greedy: a line ends where the next word no longer fits, so the lines
// ahead of the first change (in text or in style: base, then tail) break
// exactly as they did, and so does the line before it unless the change
// reaches into the first word of its line: a word that fits now may move up.
BubbleDelegate::Line BubbleDelegate::firstChangedLine(const Laid &before, const QString &after, qsizetype afterBase)
{
    const QString text = before.base + before.tail;
    qsizetype same = 0;
    const qsizetype shorter = std::min(text.size(), after.size());
    while (same < shorter && text.at(same) == after.at(same))
        ++same;
    if (before.base.size() != afterBase)
        same = std::min(same, std::min(before.base.size(), afterBase));
    std::vector<Line> lines;
    for (int p = 0; p < int(before.pieces.size()); ++p) {
        const Piece &piece = before.pieces[size_t(p)];
        for (int i = 0; i < piece.lines; ++i) {
            const QTextLine line = piece.layout->lineAt(i);
            lines.push_back({p, i, piece.start + line.textStart(), piece.start + line.textStart() + line.textLength(),
                             line.y(), line.y() + line.height(), 0, false});
        }
    }
    if (lines.empty())
        return {};
    size_t changed = lines.size() - 1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (same < lines[i].end) {
            changed = i;
            break;
        }
    }
    // Words end at spaces: a change that begins at one in both texts leaves
    // the word before it as it was.
    const auto breaksAt = [](const QString &t, qsizetype at) { return at == t.size() || t.at(at) == u' '; };
    const bool atABreak = breaksAt(text, same) && breaksAt(after, same);
    if (changed > 0) {
        // Kept whole when a space before the change ends it, or when the
        // change begins with a space in both texts.
        const qsizetype start = lines[changed].start;
        const bool kept = std::any_of(text.cbegin() + start, text.cbegin() + std::max(same, start),
                                      [](QChar c) { return c == u' '; })
            || (same > start && atABreak);
        if (!kept)
            --changed;
    }
    Line line = lines[changed];
    line.last = changed + 1 == lines.size();
    // Right to left, the changed part of a line is not at its right end; a
    // letter written so may also turn the whole text around.
    const auto rightToLeft = [](const QString &t) {
        return std::any_of(t.cbegin(), t.cend(), [](QChar c) {
            const QChar::Direction d = c.direction();
            return d == QChar::DirR || d == QChar::DirAL || d == QChar::DirRLE || d == QChar::DirRLO
                || d == QChar::DirRLI;
        });
    };
    if (!rightToLeft(text) && !rightToLeft(after)) {
        const Piece &piece = before.pieces[size_t(line.piece)];
        const QTextLine laid = piece.layout->lineAt(line.line);
        if (same >= line.end && !line.last) {
            // A word of the next line may come up after this one's text.
            line.left = laid.naturalTextWidth();
        } else {
            // Shaping may join the changed letters to those of their word.
            qsizetype word = std::clamp(same, line.start, line.end);
            while (!(word == same && atABreak) && word > line.start && text.at(word - 1) != u' ')
                --word;
            line.left = laid.cursorToX(int(word - piece.start));
        }
    }
    return line;
}

// A bubble is laid out in pieces: a new text keeps the lines ahead of its
// first change and lays out only the rest, so that words streaming into a
// long bubble shape its last lines, not all of it.
const BubbleDelegate::Laid &BubbleDelegate::laidOut(const QModelIndex &index, qreal width) const
{
    const QString base = index.data(TranscriptModel::BaseRole).toString();
    const QString tail = index.data(TranscriptModel::TailRole).toString();
    const bool isTranslation = index.data(TranscriptModel::IsTranslationRole).toBool();
    const QString label = index.data(TranscriptModel::SpeakerRole).toString();
    const QString text = base + tail;
    const auto [labelText, band] = labelOf(label);
    Laid laid{base, tail, isTranslation, labelText, band, width, 0, {}, std::nullopt};
    Line from;
    // The row's layout of the same width, kind and label: kept as it is when
    // the text is too, or in part, up to its first changed line.
    if (const auto kept = m_laid.constFind(index.row()); kept != m_laid.constEnd() && kept->width == width
        && kept->isTranslation == isTranslation && kept->label.text() == label) {
        if (kept->base == base && kept->tail == tail)
            return *kept;
        from = firstChangedLine(*kept, text, base.size());
        for (int p = 0; p < from.piece; ++p)
            laid.pieces.push_back(kept->pieces[size_t(p)]);
        if (from.line > 0)
            laid.pieces.push_back({kept->pieces[size_t(from.piece)].start, kept->pieces[size_t(from.piece)].layout,
                                   from.line});
        // Changes before a frame add up: it draws from the higher of them.
        laid.change = Change{from.top, from.left, from.bottom, !from.last};
        if (const std::optional<Change> &earlier = kept->change) {
            if (earlier->top == from.top)
                laid.change = Change{from.top, std::min(earlier->left, from.left),
                                     std::max(earlier->bottom, from.bottom), earlier->below || !from.last};
            else if (earlier->top < from.top)
                laid.change = Change{earlier->top, earlier->left, earlier->bottom, true};
            else
                laid.change->below = true;
        }
    }
    // Rows scrolled far away are simply laid out again when they come back.
    if (m_laid.size() >= keptLayouts)
        m_laid.clear();

    // Made once: every message lays a bubble out again.
    static const QFont sourceFont = Brand::font(14);
    static const QFont translationFont = Brand::font(13);
    static const auto format = [](const QColor &color, bool italic) {
        QTextCharFormat f;
        f.setForeground(color);
        if (italic)
            f.setFontItalic(true);
        return f;
    };
    static const QTextCharFormat sourceBase = format(Brand::ink(), false);
    static const QTextCharFormat translationBase = format(Brand::inkSoft(), false);
    static const QTextCharFormat tailFormat = format(Brand::inkFaint(), true);
    const QFont &font = isTranslation ? translationFont : sourceFont;
    if (text.isEmpty()) {
        laid.height = QFontMetricsF(font).height();
        return *m_laid.insert(index.row(), std::move(laid));
    }
    const qsizetype baseLeft = std::max<qsizetype>(0, base.size() - from.start);
    QList<QTextLayout::FormatRange> formats;
    if (baseLeft > 0)
        formats.append({0, int(baseLeft), isTranslation ? translationBase : sourceBase});
    if (!tail.isEmpty())
        formats.append({int(baseLeft), int(text.size() - from.start - baseLeft), tailFormat});
    Piece piece{from.start, std::make_shared<QTextLayout>(text.mid(from.start), font), 0};
    piece.layout->setFormats(formats);
    // Otherwise the shaped glyphs are dropped once laid out, and every paint
    // shapes the text again.
    piece.layout->setCacheEnabled(true);
    laid.height = layOut(*piece.layout, width, from.top);
    piece.lines = piece.layout->lineCount();
    if (laid.change && laid.change->top == from.top && piece.lines > 0) {
        const QTextLine first = piece.layout->lineAt(0);
        laid.change->bottom = std::max(laid.change->bottom, first.y() + first.height());
    }
    laid.pieces.push_back(std::move(piece));
    return *m_laid.insert(index.row(), std::move(laid));
}

void BubbleDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QRectF card = QRectF(option.rect);
    const Laid &laid = laidOut(index, card.width() - 2 * paddingH);
    painter->save();
    fillCard(*painter, option.rect, int(radius), Brand::faded(Brand::ink(), laid.isTranslation ? 0.03 : 0.05));
    painter->setRenderHint(QPainter::Antialiasing);
    const QRectF clip = painter->hasClipping() ? painter->clipBoundingRect() : QRectF();
    const QPointF labelAt = card.topLeft() + QPointF(paddingH, paddingV);
    if (laid.band > 0 && (!clip.isValid() || clip.top() < labelAt.y() + laid.band)) {
        painter->setFont(labelFont());
        painter->setPen(Brand::inkSoft());
        painter->drawStaticText(labelAt, laid.label);
    }
    const QPointF origin = labelAt + QPointF(0, laid.band);
    for (const Piece &piece : laid.pieces) {
        for (int i = 0; i < piece.lines; ++i) {
            const QTextLine line = piece.layout->lineAt(i);
            const qreal top = origin.y() + line.y();
            // Only the lines a partial repaint reaches.
            if (clip.isValid() && (top > clip.bottom() || top + line.height() < clip.top()))
                continue;
            line.draw(painter, origin);
        }
    }
    painter->restore();
}

std::optional<BubbleDelegate::Redraw> BubbleDelegate::takeRedraw(int row) const
{
    const auto kept = m_laid.find(row);
    if (kept == m_laid.end())
        return std::nullopt;
    const std::optional<Change> change = std::exchange(kept->change, std::nullopt);
    if (!change)
        return std::nullopt;
    // With the gaps around the line and a little to its left: a glyph's
    // edge may reach into them.
    constexpr qreal overhang = 4;
    const qreal top = paddingV + kept->band;
    return Redraw{change->top > 0 ? int(std::floor(top + change->top - lineSpacing)) : 0,
                  change->left > 0 ? std::max(0, int(std::floor(paddingH + change->left - overhang))) : 0,
                  int(std::ceil(top + change->bottom + lineSpacing)), change->below};
}

QSize BubbleDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const Laid &laid = laidOut(index, option.rect.width() - 2 * paddingH);
    return QSize(option.rect.width(), int(std::ceil(laid.band + laid.height + 2 * paddingV)));
}
