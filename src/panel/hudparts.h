#pragma once

#include "hudgeometry.h"

#include <QWidget>

class LiveHUD;
class ScreenDrag;

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
