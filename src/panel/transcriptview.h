#pragma once

#include <QAbstractItemDelegate>
#include <QAbstractItemView>
#include <QPointer>

#include <vector>

class QVariantAnimation;

// Paints one transcript bubble: the line's text followed by partial text in
// italics, on a faint rounded card; translations smaller and softer.
class BubbleDelegate : public QAbstractItemDelegate
{
    Q_OBJECT

public:
    static constexpr qreal paddingH = 12;
    static constexpr qreal paddingV = 8;
    static constexpr qreal lineSpacing = 3;
    static constexpr qreal radius = 10;

    using QAbstractItemDelegate::QAbstractItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

// A vertical list of bubbles of varying height. Row heights are kept in a
// table updated only for the rows that change, so adding a row costs the same
// however long the transcript is; only visible rows are painted. Follows the
// end on every change.
class TranscriptView : public QAbstractItemView
{
    Q_OBJECT

public:
    static constexpr int paddingH = 12;
    static constexpr int spacing = 6;
    static constexpr int followMs = 120;

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
    void updateGeometries() override;

private:
    void onRowsRemoved(const QModelIndex &parent, int first, int last);
    [[nodiscard]] int measure(int row) const;
    void remeasureFrom(int first, int last);
    void restack(int from);
    void remeasureAll();
    void changed();
    [[nodiscard]] int rowWidth() const;

    std::vector<int> m_heights;
    std::vector<int> m_tops; // top of each row in content coordinates
    int m_measuredWidth = -1;
    int m_paddingV = 6;
    bool m_animated = true;
    QVariantAnimation *m_scroll = nullptr;
};
