#pragma once

#include <QLabel>

class QFont;
class QPainter;

// Text with a running time whose digits take equal widths, so that it does
// not jitter as the seconds change. Qt 6.4 cannot ask the font for tabular
// figures, so each digit is laid out in a cell as wide as the widest one.
namespace TabularText {

[[nodiscard]] qreal width(const QString &text, const QFont &font);
// Draws `text` from `left` on `baseline` in the painter's font.
void draw(QPainter &painter, qreal left, qreal baseline, const QString &text);

} // namespace TabularText

// A one-line label drawn with tabular digits.
class TabularLabel : public QLabel
{
    Q_OBJECT

public:
    using QLabel::QLabel;

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
