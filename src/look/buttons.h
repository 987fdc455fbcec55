#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QMargins>

class QPainterPath;

// The program's four button looks. Each draws its label on its background
// and changes the background while pressed; MenuRowButton also on hover.
class StyledButton : public QAbstractButton
{
    Q_OBJECT

public:
    // What the button paints behind its label right now, opacity included.
    [[nodiscard]] virtual QColor backgroundColor() const = 0;
    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    StyledButton(const QString &text, QWidget *parent);

    [[nodiscard]] virtual QPainterPath backgroundShape(const QRectF &rect) const = 0;
    [[nodiscard]] virtual bool hasBorder() const { return false; }
    [[nodiscard]] virtual QFont labelFont() const = 0;
    [[nodiscard]] virtual QColor labelColor() const = 0;
    [[nodiscard]] virtual QMargins insets() const = 0;
    [[nodiscard]] virtual Qt::Alignment labelAlignment() const { return Qt::AlignCenter; }

    void paintEvent(QPaintEvent *event) override;
};

class TealPillButton : public StyledButton
{
    Q_OBJECT

public:
    explicit TealPillButton(const QString &text, QWidget *parent = nullptr);
    [[nodiscard]] QColor backgroundColor() const override;

protected:
    [[nodiscard]] QPainterPath backgroundShape(const QRectF &rect) const override;
    [[nodiscard]] QFont labelFont() const override;
    [[nodiscard]] QColor labelColor() const override;
    [[nodiscard]] QMargins insets() const override { return {14, 7, 14, 7}; }
};

class OutlinePillButton : public StyledButton
{
    Q_OBJECT

public:
    explicit OutlinePillButton(const QString &text, QWidget *parent = nullptr);
    [[nodiscard]] QColor backgroundColor() const override;

protected:
    [[nodiscard]] QPainterPath backgroundShape(const QRectF &rect) const override;
    [[nodiscard]] bool hasBorder() const override { return true; }
    [[nodiscard]] QFont labelFont() const override;
    [[nodiscard]] QColor labelColor() const override;
    [[nodiscard]] QMargins insets() const override { return {12, 6, 12, 6}; }
};

// Keeps the label's own font and colour (the widget's font and text colour).
class FieldButton : public StyledButton
{
    Q_OBJECT

public:
    explicit FieldButton(const QString &text, QWidget *parent = nullptr);
    [[nodiscard]] QColor backgroundColor() const override;

protected:
    [[nodiscard]] QPainterPath backgroundShape(const QRectF &rect) const override;
    [[nodiscard]] bool hasBorder() const override { return true; }
    [[nodiscard]] QFont labelFont() const override;
    [[nodiscard]] QColor labelColor() const override;
    [[nodiscard]] QMargins insets() const override { return {11, 6, 11, 6}; }
};

// A full-width row of a menu: leading-aligned label, highlighted while the
// pointer is over it or it is pressed.
class MenuRowButton : public StyledButton
{
    Q_OBJECT

public:
    MenuRowButton(const QString &text, const QColor &tint, QWidget *parent = nullptr);
    [[nodiscard]] QColor backgroundColor() const override;
    [[nodiscard]] bool hovering() const { return m_hovering; }
    [[nodiscard]] QColor tint() const { return m_tint; }

protected:
    [[nodiscard]] QPainterPath backgroundShape(const QRectF &rect) const override;
    [[nodiscard]] QFont labelFont() const override;
    [[nodiscard]] QColor labelColor() const override;
    [[nodiscard]] QMargins insets() const override { return {8, 7, 8, 7}; }
    [[nodiscard]] Qt::Alignment labelAlignment() const override { return Qt::AlignLeft | Qt::AlignVCenter; }
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QColor m_tint;
    bool m_hovering = false;
};
