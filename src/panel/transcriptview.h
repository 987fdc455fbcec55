#pragma once

#include "bubbledelegate.h"

#include <QAbstractItemView>
#include <QElapsedTimer>
#include <QTimer>

#include <vector>

// A vertical list of bubbles of varying height. Row heights are kept in a
// table updated only for the rows that change, so adding a row costs the same
// however long the transcript is; only visible rows are painted. Changes that
// arrive in a burst are measured once and drawn in one frame, and only from
// the first changed row down; hidden, it draws nothing. Follows the end on
// every change: text streaming in moves the list in the same frame, and only
// a long way back to the end (after scrolling away) glides.
class TranscriptView : public QAbstractItemView
{
    Q_OBJECT

public:
    static constexpr int paddingH = 12;
    static constexpr int spacing = 6;
    static constexpr int followMs = 120;
    static constexpr int followFrameMs = 40; // three frames a glide: each redraws the whole list

    explicit TranscriptView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    // Off for the preview: no scroll bar and no animation, the end of the
    // list simply placed at the bottom when it does not fit.
    void setAnimated(bool animated);
    void setVerticalPadding(int padding);
    // Scrolls so that the end of the list is at the bottom of the view.
    void follow();

    [[nodiscard]] QRect visualRect(const QModelIndex &index) const override;
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;
    [[nodiscard]] QModelIndex indexAt(const QPoint &point) const override;
    // Height of everything the list holds, padding included.
    [[nodiscard]] int contentHeight() const;
    void reset() override;
    // Whether a frame is due: changes are waiting to be drawn.
    [[nodiscard]] bool framePending() const { return m_framePending; }
    // Whether the end is being scrolled into view.
    [[nodiscard]] bool isFollowing() const;
    // How soon after moving to the end the list may jump there again rather
    // than glide; a glide's frame unless a test says otherwise.
    void setPlacementInterval(int ms) { m_placementMs = ms; }

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    [[nodiscard]] int horizontalOffset() const override { return 0; }
    [[nodiscard]] int verticalOffset() const override;
    [[nodiscard]] bool isIndexHidden(const QModelIndex &) const override { return false; }
    void setSelection(const QRect &, QItemSelectionModel::SelectionFlags) override {}
    [[nodiscard]] QRegion visualRegionForSelection(const QItemSelection &) const override { return {}; }

    void dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                     const QList<int> &roles = QList<int>()) override;
    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void updateGeometries() override;
    void verticalScrollbarValueChanged(int value) override;

private:
    void onRowsRemoved(const QModelIndex &parent, int first, int last);
    [[nodiscard]] int measure(int row) const;
    // Marks rows [first, last] for measuring and drawing at the next frame.
    void touch(int first, int last);
    // Measures the rows marked since, and places the rows after them.
    void settle() const;
    void restack(int from) const;
    void remeasureAll();
    // A frame is drawn once the loop has handled what this turn brought: a
    // burst still costs one, and a lone change no wake-up of its own.
    void postFrame();
    void drawPendingFrame();
    void drawFrame();
    void followStep();
    [[nodiscard]] int rowWidth() const;

    mutable std::vector<int> m_heights;
    mutable std::vector<int> m_tops; // top of each row in content coordinates
    // Rows to measure, and the first row to place again, before the next read.
    mutable int m_dirtyFirst = -1;
    mutable int m_dirtyLast = -1;
    mutable int m_restackFrom = -1;
    int m_redrawFrom = -1; // first row to draw at the next frame
    int m_redrawTo = -1;   // and the last, when no row changed its height
    mutable bool m_reflowed = false; // a row's height changed: rows below move
    bool m_framePending = false;
    int m_measuredWidth = -1;
    int m_paddingV = 6;
    bool m_animated = true;
    QTimer m_followTick;
    QElapsedTimer m_followClock;
    QElapsedTimer m_placed; // since the end was last placed at once
    int m_placementMs = followFrameMs;
    int m_followFrom = 0;
};
