#pragma once

#include "buttons.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QWidget>

// A borderless button that is only its text.
class TextButton : public QAbstractButton
{
    Q_OBJECT

public:
    TextButton(const QString &text, const QFont &font, const QColor &color, QWidget *parent = nullptr);

    [[nodiscard]] QColor color() const { return m_color; }
    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
};

// A teal pill whose label carries a running time: digits take equal widths
// so the label does not jitter as the seconds change.
class ElapsedPillButton : public TealPillButton
{
    Q_OBJECT

public:
    explicit ElapsedPillButton(const QString &text, QWidget *parent = nullptr);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A menu row whose label is an icon followed by its title, both in the
// row's tint.
class IconRowButton : public MenuRowButton
{
    Q_OBJECT

public:
    static constexpr qreal iconSize = 13;
    static constexpr int iconSpacing = 8;

    IconRowButton(const QString &icon, const QString &text, const QColor &tint, QWidget *parent = nullptr);

    [[nodiscard]] QString icon() const { return m_icon; }

protected:
    [[nodiscard]] QMargins insets() const override;
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_icon;
};

// A one-point rule in the line colour across the full width.
class HairLine : public QWidget
{
    Q_OBJECT

public:
    explicit HairLine(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The light palette every shell view uses whatever the desktop's scheme.
[[nodiscard]] QPalette lightPalette();
