#pragma once

#include <QColor>
#include <QFont>
#include <QWidget>

// Text that wraps over as many lines as its width needs, or at most
// `maxLines` with the last one elided. A word wider than the line is broken
// inside, so a long message never widens its container.
class WrappedText : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)

public:
    WrappedText(const QFont &font, const QColor &color, Qt::Alignment alignment = Qt::AlignLeft,
                QWidget *parent = nullptr);

    [[nodiscard]] QString text() const { return m_text; }
    void setText(const QString &text);
    [[nodiscard]] QColor color() const { return m_color; }
    void setColor(const QColor &color);
    // 0 lets the text take every line it needs; a clamped text keeps a fixed height.
    void setMaxLines(int maxLines);
    [[nodiscard]] int maxLines() const { return m_maxLines; }
    // How many lines the text takes at the current width, clamp included.
    [[nodiscard]] int lineCount() const;

    [[nodiscard]] bool hasHeightForWidth() const override { return true; }
    [[nodiscard]] int heightForWidth(int width) const override;
    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    QColor m_color;
    Qt::Alignment m_alignment;
    int m_maxLines = 0;
};
