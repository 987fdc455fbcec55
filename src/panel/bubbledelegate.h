#pragma once

#include <QAbstractItemDelegate>
#include <QHash>

#include <memory>
#include <optional>
#include <vector>

class QTextLayout;

// Paints one transcript bubble: the line's text followed by partial text in
// italics, on a faint rounded card; translations smaller and softer. The
// text of the rows drawn lately stays laid out, so a frame lays out again
// only the rows whose text or width changed.
class BubbleDelegate : public QAbstractItemDelegate
{
    Q_OBJECT

public:
    static constexpr qreal paddingH = 12;
    static constexpr qreal paddingV = 8;
    static constexpr qreal lineSpacing = 3;
    static constexpr qreal radius = 10;
    static constexpr int keptLayouts = 128;

    using QAbstractItemDelegate::QAbstractItemDelegate;
    ~BubbleDelegate() override;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // How far down the row's text, from the card's top, it is drawn as it
    // was before its last new layout (0 when not known), and forgets it:
    // text added at the end of a long bubble redraws only its last lines.
    [[nodiscard]] int takeUnchangedTop(int row) const;

private:
    // Part of a bubble's text laid out from the start of one of its lines;
    // its first `lines` lines are the bubble's.
    struct Piece
    {
        qsizetype start = 0;
        std::shared_ptr<QTextLayout> layout;
        int lines = 0;
    };
    struct Laid
    {
        QString base;
        QString tail;
        bool isTranslation = false;
        qreal width = 0;
        qreal height = 0;
        std::vector<Piece> pieces;
        // Drawn as last time above this, through every layout since.
        std::optional<qreal> unchangedTop;
    };
    // A laid-out line: which piece and which of its lines, its text, its top.
    struct Line
    {
        int piece = 0;
        int line = 0;
        qsizetype start = 0;
        qsizetype end = 0;
        qreal top = 0;
    };
    [[nodiscard]] static Line firstChangedLine(const Laid &before, const QString &after, qsizetype afterBase);
    // The row's text laid out in `width`, from the kept ones when unchanged.
    const Laid &laidOut(const QModelIndex &index, qreal width) const;

    mutable QHash<int, Laid> m_laid; // by row
};
