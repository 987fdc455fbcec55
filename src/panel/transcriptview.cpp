#include "transcriptview.h"

#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <utility>

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

    // Drawn where the loop turns: after everything this turn delivered, and
    // before it sleeps. A posted frame would cost the thread a wake-up and
    // one more turn of its own.
    if (auto *loop = QAbstractEventDispatcher::instance(thread())) {
        QObject::connect(loop, &QAbstractEventDispatcher::awake, this, &TranscriptView::drawPendingFrame);
        QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &TranscriptView::drawPendingFrame);
    }
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
    postFrame();
}

void TranscriptView::postFrame()
{
    if (isVisible())
        m_framePending = true;
}

void TranscriptView::drawPendingFrame()
{
    if (std::exchange(m_framePending, false))
        drawFrame();
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
// It is drawn at once, with whatever else of the panel waits to be (the
// running time): one transfer to the screen, and no turn of the loop more.
void TranscriptView::drawFrame()
{
    settle();
    updateGeometries();
    const int from = std::exchange(m_redrawFrom, -1);
    const int to = std::exchange(m_redrawTo, -1);
    const bool reflowed = std::exchange(m_reflowed, false);
    QRegion region;
    if (from >= 0 && from < int(m_tops.size())) {
        // Within the first changed row, only from its first changed line.
        const auto *bubbles = qobject_cast<const BubbleDelegate *>(itemDelegate());
        const auto redraw = bubbles ? bubbles->takeRedraw(from) : std::nullopt;
        const int rowTop = m_tops[from] - verticalOffset();
        const bool alone = !reflowed && to >= from && to < int(m_tops.size());
        const int bottom = alone ? m_tops[to] + m_heights[to] - verticalOffset() : viewport()->height();
        int wideFrom = rowTop;
        if (redraw) {
            const int lineBottom = std::min(rowTop + redraw->bottom, bottom);
            region += QRect(QPoint(paddingH + redraw->left, rowTop + redraw->top),
                            QPoint(paddingH + rowWidth() - 1, lineBottom - 1));
            wideFrom = redraw->below || !alone || to > from ? lineBottom : bottom;
        }
        if (wideFrom < bottom)
            region += QRect(0, wideFrom, viewport()->width(), bottom - wideFrom);
        region &= viewport()->rect();
    } else if (from >= 0) {
        region = viewport()->rect(); // rows went from the end
    }
    // Moving to the end marks the whole list, drawn below with the rest.
    follow();
    if (!region.isEmpty())
        viewport()->repaint(region);
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
    // Not the base's: it places editors (there are none) and arms a zero
    // timer to fetch more rows (the model has them all), one more turn of
    // the loop for every frame.
}

void TranscriptView::verticalScrollbarValueChanged(int)
{
    // The base asks X where the pointer is, a round trip on every move of
    // the list, to track hovering that this view does not show.
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
    postFrame();
}

void TranscriptView::reset()
{
    QAbstractItemView::reset();
    m_framePending = false;
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
    m_framePending = false;
    m_redrawFrom = m_redrawTo = -1;
    m_followTick.stop();
}
