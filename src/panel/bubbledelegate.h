#pragma once

#include <QAbstractItemDelegate>
#include <QHash>
#include <QStaticText>

#include <memory>
#include <optional>
#include <vector>

class QTextLayout;

// Paints one transcript bubble: the line's text followed by partial text in
// italics, on a faint rounded card; translations smaller and softer. Where
// the speaker changes, a small label above the text says who it is. The
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
    // What the row's layouts since the last call changed, in the card's
    // coordinates: its line from `top` to `bottom` from `left` on, and the
    // whole card below that line when `below`. Forgets it; none when not
    // known. A word added at the end of a long bubble redraws that word.
    struct Redraw
    {
        int top = 0;
        int left = 0;
        int bottom = 0;
        bool below = true;
    };
    [[nodiscard]] std::optional<Redraw> takeRedraw(int row) const;

private:
    // The same in the text's coordinates, kept through every layout since.
    struct Change
    {
        qreal top = 0;
        qreal left = 0;
        qreal bottom = 0;
        bool below = true;
    };
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
        QStaticText label; // laid out once per row
        qreal band = 0;    // height the label takes above the text
        qreal width = 0;
        qreal height = 0;
        std::vector<Piece> pieces;
        std::optional<Change> change;
    };
    // A laid-out line: which piece and which of its lines, its text, its top
    // and bottom, where it starts to read differently and whether it is last.
    struct Line
    {
        int piece = 0;
        int line = 0;
        qsizetype start = 0;
        qsizetype end = 0;
        qreal top = 0;
        qreal bottom = 0;
        qreal left = 0;
        bool last = true;
    };
    [[nodiscard]] static Line firstChangedLine(const Laid &before, const QString &after, qsizetype afterBase);
    // The row's text laid out in `width`, from the kept ones when unchanged.
    const Laid &laidOut(const QModelIndex &index, qreal width) const;

    mutable QHash<int, Laid> m_laid; // by row
};
