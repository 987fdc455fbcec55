#include "transcriptview.h"

#include "brand.h"
#include "transcriptmodel.h"

#include <QAccessible>
#include <QPainter>
#include <QScrollBar>
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
                             line.y()});
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
    if (changed > 0) {
        // Kept whole when a space before the change ends it, or when the
        // change begins with a space in both texts.
        const auto breaksAt = [](const QString &t, qsizetype at) { return at == t.size() || t.at(at) == u' '; };
        const qsizetype start = lines[changed].start;
        const bool kept = std::any_of(text.cbegin() + start, text.cbegin() + std::max(same, start),
                                      [](QChar c) { return c == u' '; })
            || (same > start && breaksAt(text, same) && breaksAt(after, same));
        if (!kept)
            --changed;
    }
    return lines[changed];
}

// A bubble is laid out in pieces: a new text keeps the lines ahead of its
// first change and lays out only the rest, so that words streaming into a
// long bubble shape its last lines, not all of it.
const BubbleDelegate::Laid &BubbleDelegate::laidOut(const QModelIndex &index, qreal width) const
{
    const QString base = index.data(TranscriptModel::BaseRole).toString();
    const QString tail = index.data(TranscriptModel::TailRole).toString();
    const bool isTranslation = index.data(TranscriptModel::IsTranslationRole).toBool();
    const QString text = base + tail;
    Laid laid{base, tail, isTranslation, width, 0, {}, std::nullopt};
    Line from;
    // The row's layout of the same width and kind: kept as it is when the
    // text is too, or in part, up to its first changed line.
    if (const auto kept = m_laid.constFind(index.row());
        kept != m_laid.constEnd() && kept->width == width && kept->isTranslation == isTranslation) {
        if (kept->base == base && kept->tail == tail)
            return *kept;
        from = firstChangedLine(*kept, text, base.size());
        for (int p = 0; p < from.piece; ++p)
            laid.pieces.push_back(kept->pieces[size_t(p)]);
        if (from.line > 0)
            laid.pieces.push_back({kept->pieces[size_t(from.piece)].start, kept->pieces[size_t(from.piece)].layout,
                                   from.line});
        laid.unchangedTop = std::min(from.top, kept->unchangedTop.value_or(from.top));
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
    const QPointF origin = card.topLeft() + QPointF(paddingH, paddingV);
    const QRectF clip = painter->hasClipping() ? painter->clipBoundingRect() : QRectF();
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

int BubbleDelegate::takeUnchangedTop(int row) const
{
    const auto kept = m_laid.find(row);
    if (kept == m_laid.end())
        return 0;
    const qreal top = std::exchange(kept->unchangedTop, std::nullopt).value_or(0);
    // From the gap above the first changed line: a glyph's edge may reach into it.
    return top > 0 ? int(std::floor(paddingV + top - lineSpacing)) : 0;
}

QSize BubbleDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const Laid &laid = laidOut(index, option.rect.width() - 2 * paddingH);
    return QSize(option.rect.width(), int(std::ceil(laid.height + 2 * paddingV)));
}

TranscriptView::TranscriptView(QWidget *parent)
    : QAbstractItemView(parent)
{
    setItemDelegate(new BubbleDelegate(this));
    setSelectionMode(NoSelection);
    setEditTriggers(NoEditTriggers);
    setFocusPolicy(Qt::NoFocus);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollMode(ScrollPerPixel);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);
    verticalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { width: 6px; background: transparent; margin: 2px 1px 2px 0; }"
        "QScrollBar::handle:vertical { background: rgba(29, 26, 20, 60); border-radius: 2px; min-height: 24px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"));

    m_followTick.setInterval(followFrameMs);
    QObject::connect(&m_followTick, &QTimer::timeout, this, &TranscriptView::followStep);

    m_frame.setSingleShot(true);
    m_frame.setInterval(frameMs);
    QObject::connect(&m_frame, &QTimer::timeout, this, &TranscriptView::drawFrame);
}

void TranscriptView::setModel(QAbstractItemModel *model)
{
    if (this->model())
        this->model()->disconnect(this);
    QAbstractItemView::setModel(model);
    if (model)
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, this, &TranscriptView::onRowsRemoved);
    remeasureAll();
}

void TranscriptView::setAnimated(bool animated)
{
    m_animated = animated;
    if (!animated)
        m_followTick.stop();
    setVerticalScrollBarPolicy(animated ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    follow();
}

void TranscriptView::setVerticalPadding(int padding)
{
    m_paddingV = padding;
    settle();
    restack(0);
    updateGeometries();
}

int TranscriptView::rowWidth() const
{
    return qMax(1, viewport()->width() - 2 * paddingH);
}

int TranscriptView::measure(int row) const
{
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, rowWidth(), 0);
    return itemDelegate()->sizeHint(option, model()->index(row, 0)).height();
}

void TranscriptView::restack(int from) const
{
    const int count = int(m_heights.size());
    m_tops.resize(count);
    for (int row = std::max(0, from); row < count; ++row)
        m_tops[row] = row == 0 ? m_paddingV : m_tops[row - 1] + m_heights[row - 1] + spacing;
}

void TranscriptView::touch(int first, int last)
{
    m_dirtyFirst = m_dirtyFirst < 0 ? first : std::min(m_dirtyFirst, first);
    m_dirtyLast = std::max(m_dirtyLast, last);
    m_redrawFrom = m_redrawFrom < 0 ? first : std::min(m_redrawFrom, first);
    m_redrawTo = std::max(m_redrawTo, last);
    // Hidden, nothing is drawn; showing settles whatever came meanwhile.
    if (isVisible() && !m_frame.isActive())
        m_frame.start();
}

void TranscriptView::settle() const
{
    if (m_dirtyFirst >= 0) {
        for (int row = m_dirtyFirst; row <= m_dirtyLast && row < int(m_heights.size()); ++row) {
            const int height = measure(row);
            m_reflowed = m_reflowed || height != m_heights[row];
            m_heights[row] = height;
        }
        m_restackFrom = m_restackFrom < 0 ? m_dirtyFirst : std::min(m_restackFrom, m_dirtyFirst);
        m_dirtyFirst = m_dirtyLast = -1;
    }
    if (m_restackFrom >= 0) {
        restack(m_restackFrom);
        m_restackFrom = -1;
    }
}

void TranscriptView::remeasureAll()
{
    m_dirtyFirst = m_dirtyLast = m_restackFrom = -1;
    m_measuredWidth = rowWidth();
    const int count = model() ? model()->rowCount() : 0;
    m_heights.assign(count, 0);
    for (int row = 0; row < count; ++row)
        m_heights[row] = measure(row);
    restack(0);
    updateGeometries();
}

// One frame for everything that changed since the last: the changed rows are
// measured once, and only the area from the first of them down is drawn; to
// the last of them when they all kept their heights, as nothing below moved.
void TranscriptView::drawFrame()
{
    settle();
    updateGeometries();
    const int from = std::exchange(m_redrawFrom, -1);
    const int to = std::exchange(m_redrawTo, -1);
    const bool reflowed = std::exchange(m_reflowed, false);
    if (from >= 0 && from < int(m_tops.size())) {
        // Within the first changed row, only from its first changed line.
        const auto *bubbles = qobject_cast<const BubbleDelegate *>(itemDelegate());
        const int unchanged = bubbles ? std::min(bubbles->takeUnchangedTop(from), m_heights[from]) : 0;
        const int top = std::max(0, m_tops[from] + unchanged - verticalOffset());
        const int bottom = !reflowed && to >= from && to < int(m_tops.size())
            ? std::min(viewport()->height(), m_tops[to] + m_heights[to] - verticalOffset())
            : viewport()->height();
        if (top < bottom)
            viewport()->update(QRect(0, top, viewport()->width(), bottom - top));
    } else if (from >= 0) {
        viewport()->update(); // rows went from the end
    }
    follow();
}

bool TranscriptView::isFollowing() const
{
    return m_followTick.isActive();
}

int TranscriptView::contentHeight() const
{
    settle();
    if (m_heights.empty())
        return 0;
    return m_tops.back() + m_heights.back() + m_paddingV;
}

void TranscriptView::updateGeometries()
{
    QScrollBar *bar = verticalScrollBar();
    bar->setPageStep(viewport()->height());
    bar->setSingleStep(20);
    bar->setRange(0, qMax(0, contentHeight() - viewport()->height()));
    QAbstractItemView::updateGeometries();
}

void TranscriptView::follow()
{
    QScrollBar *bar = verticalScrollBar();
    // Hidden, the end is simply placed: nothing animates out of sight.
    if (!m_animated || !isVisible()) {
        m_followTick.stop();
        bar->setValue(bar->maximum());
        return;
    }
    if (bar->value() == bar->maximum() && !m_followTick.isActive())
        return;
    // A line or two of new text is placed in the frame that draws it: gliding
    // there would draw the whole list three more times for every wrap. Text
    // pouring in faster than the glide's frames glides, so that the list
    // still moves at most once a frame.
    const bool near = bar->maximum() - bar->value() <= viewport()->height() / 2;
    const bool movedJustNow = m_placed.isValid() && m_placed.elapsed() < m_placementMs;
    if (near && !movedJustNow && !m_followTick.isActive()) {
        bar->setValue(bar->maximum());
        m_placed.start();
        return;
    }
    m_followFrom = bar->value();
    m_followClock.start();
    if (!m_followTick.isActive())
        m_followTick.start();
}

// One step of the glide to the end, eased out, at a modest frame rate; the
// end is read afresh each step, so text that keeps coming is followed.
void TranscriptView::followStep()
{
    QScrollBar *bar = verticalScrollBar();
    const double progress = std::min(1.0, double(m_followClock.elapsed()) / followMs);
    const double eased = 1 - (1 - progress) * (1 - progress);
    bar->setValue(m_followFrom + int(std::lround((bar->maximum() - m_followFrom) * eased)));
    if (progress >= 1)
        m_followTick.stop();
}

// The base class would draw each changed row at once; they wait for the
// frame. Only a screen reader, when one listens, hears of each change.
void TranscriptView::dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles)
{
    if (topLeft.isValid() && bottomRight.isValid())
        touch(topLeft.row(), bottomRight.row());
    if (QAccessible::isActive())
        QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
}

void TranscriptView::rowsInserted(const QModelIndex &parent, int start, int end)
{
    if (!parent.isValid()) {
        const int count = end - start + 1;
        m_heights.insert(m_heights.begin() + start, size_t(count), 0);
        m_tops.insert(m_tops.begin() + start, size_t(count), 0);
        if (m_dirtyLast >= start)
            m_dirtyLast += count;
        touch(start, end);
    }
    QAbstractItemView::rowsInserted(parent, start, end);
}

void TranscriptView::onRowsRemoved(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid())
        return;
    const int count = last - first + 1;
    m_heights.erase(m_heights.begin() + first, m_heights.begin() + last + 1);
    m_tops.erase(m_tops.begin() + first, m_tops.begin() + last + 1);
    for (int *row : {&m_dirtyFirst, &m_dirtyLast})
        *row = *row > last ? *row - count : std::min(*row, first);
    if (m_dirtyLast < m_dirtyFirst)
        m_dirtyFirst = m_dirtyLast = -1;
    m_restackFrom = m_restackFrom < 0 ? first : std::min(m_restackFrom, first);
    m_redrawFrom = m_redrawFrom < 0 ? first : std::min(m_redrawFrom, first);
    m_reflowed = true;
    if (isVisible() && !m_frame.isActive())
        m_frame.start();
}

void TranscriptView::reset()
{
    QAbstractItemView::reset();
    m_frame.stop();
    m_redrawFrom = m_redrawTo = -1;
    remeasureAll();
    viewport()->update();
    follow();
}

QRect TranscriptView::visualRect(const QModelIndex &index) const
{
    settle();
    if (!index.isValid() || index.row() >= int(m_heights.size()))
        return {};
    return QRect(paddingH, m_tops[index.row()] - verticalOffset(), rowWidth(), m_heights[index.row()]);
}

void TranscriptView::scrollTo(const QModelIndex &index, ScrollHint)
{
    const QRect rect = visualRect(index);
    if (rect.isValid())
        verticalScrollBar()->setValue(verticalOffset() + rect.bottom() - viewport()->height());
}

QModelIndex TranscriptView::indexAt(const QPoint &point) const
{
    settle();
    const int y = point.y() + verticalOffset();
    auto it = std::upper_bound(m_tops.begin(), m_tops.end(), y);
    if (it == m_tops.begin())
        return {};
    const int row = int(it - m_tops.begin()) - 1;
    if (y >= m_tops[row] + m_heights[row] || point.x() < paddingH || point.x() >= paddingH + rowWidth())
        return {};
    return model()->index(row, 0);
}

QModelIndex TranscriptView::moveCursor(CursorAction, Qt::KeyboardModifiers)
{
    return {};
}

int TranscriptView::verticalOffset() const
{
    return verticalScrollBar()->value();
}

void TranscriptView::paintEvent(QPaintEvent *event)
{
    settle();
    if (!model() || m_heights.empty())
        return;
    QPainter painter(viewport());
    const int offset = verticalOffset();
    const QRect dirty = event->rect();
    // The first row whose bottom reaches the dirty area.
    auto first = std::upper_bound(m_tops.begin(), m_tops.end(), dirty.top() + offset);
    int row = std::max(0, int(first - m_tops.begin()) - 1);
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    for (; row < int(m_heights.size()); ++row) {
        const int top = m_tops[row] - offset;
        if (top > dirty.bottom())
            break;
        // A bubble cut by the top edge would read as tucked under the
        // panel's header: only whole ones are drawn there, unless it is
        // taller than the list and could never be drawn whole.
        if (top < 0 && m_heights[row] <= viewport()->height())
            continue;
        option.rect = QRect(paddingH, top, rowWidth(), m_heights[row]);
        if (option.rect.intersects(dirty))
            itemDelegate()->paint(&painter, option, model()->index(row, 0));
    }
}

void TranscriptView::resizeEvent(QResizeEvent *event)
{
    QAbstractItemView::resizeEvent(event);
    // Wrapping depends on the width: a new width measures every row again.
    if (rowWidth() != m_measuredWidth) {
        remeasureAll();
    } else {
        settle();
        updateGeometries();
    }
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TranscriptView::showEvent(QShowEvent *event)
{
    QAbstractItemView::showEvent(event);
    settle();
    updateGeometries();
    follow();
}

void TranscriptView::hideEvent(QHideEvent *event)
{
    QAbstractItemView::hideEvent(event);
    m_frame.stop();
    m_redrawFrom = m_redrawTo = -1;
    m_followTick.stop();
}
