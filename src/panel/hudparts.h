#pragma once

#include "hudgeometry.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QWidget>

class LiveHUD;
class ScreenDrag;

// Text that wraps onto at most `maxLines` lines, the last one elided.
class ClampedText : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text)

public:
    ClampedText(const QFont &font, const QColor &color, int maxLines, QWidget *parent = nullptr);

    [[nodiscard]] QString text() const { return m_text; }
    void setText(const QString &text);
    [[nodiscard]] QColor color() const { return m_color; }
    [[nodiscard]] bool hasHeightForWidth() const override { return true; }
    [[nodiscard]] int heightForWidth(int width) const override;
    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    QFont m_font;
    QColor m_color;
    int m_maxLines;
};

// A borderless button showing one Lucide icon centred in a square, on an
// optional filled circle with an optional ring.
class IconButton : public QAbstractButton
{
    Q_OBJECT

public:
    IconButton(const QString &icon, qreal iconSize, const QColor &iconColor, int side, QWidget *parent = nullptr);

    void setCircle(const QColor &fill, const QColor &ring);
    [[nodiscard]] QString icon() const { return m_icon; }
    [[nodiscard]] QSize sizeHint() const override { return QSize(m_side, m_side); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_icon;
    qreal m_iconSize;
    QColor m_iconColor;
    int m_side;
    QColor m_fill = Qt::transparent;
    QColor m_ring = Qt::transparent;
    QPixmap m_rendered; // the tinted icon, drawn once per pixel density
    qreal m_renderedDpr = 0;
};

// A resize handle of the expanded panel: an invisible edge strip with a
// resize cursor, or a visible corner grip.
class ResizeHandle : public QWidget
{
    Q_OBJECT

public:
    static constexpr int edgeThickness = 7;
    static constexpr int edgeEndGap = 22;
    static constexpr int gripBox = 14;
    static constexpr int gripPadding = 6;
    static inline const QString gripToolTip = QStringLiteral("Drag to resize — make it small to collapse");

    ResizeHandle(HUDGeometry::Corner corner, LiveHUD *hud, QWidget *parent);

    [[nodiscard]] HUDGeometry::Corner corner() const { return m_corner; }
    [[nodiscard]] bool isGrip() const;
    // Places the handle along its side of `panel` (the parent's rectangle).
    void place(const QRect &panel);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    HUDGeometry::Corner m_corner;
    ScreenDrag *m_drag;
};
