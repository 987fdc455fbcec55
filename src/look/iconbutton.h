#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>

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
