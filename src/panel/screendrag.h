#pragma once

#include <QObject>
#include <QPointF>
#include <QRectF>

#include <functional>
#include <optional>

class LiveHUD;
class QWidget;
class QWindow;

// A drag of the floating panel measured in desktop coordinates from where
// the mouse was pressed, with the window frame of that moment. It becomes a
// drag only once the pointer has moved 3 points, so a click stays a click.
// Works on the pointer's global position: the window moving under the
// pointer does not disturb it.
class ScreenDrag : public QObject
{
    Q_OBJECT

public:
    static constexpr qreal threshold = 3;
    using Callback = std::function<void(const QRectF &startFrame, qreal dx, qreal dy)>;

    // Watches `target` for left-button drags. `frame` supplies the window
    // frame when a press begins.
    ScreenDrag(QWidget *target, std::function<QRectF()> frame, Callback onChange, Callback onEnd = {});

    // Also treat presses on `widget` as part of the same surface.
    void watch(QWidget *widget);
    // Runs for a press and release that never became a drag.
    void setOnTap(std::function<void()> onTap) { m_onTap = std::move(onTap); }
    [[nodiscard]] bool dragging() const { return m_dragging; }
    // Offers each drag, once it is one, to the window system first; when this
    // answers true the window system moves the window and no more moves or
    // release come here.
    void setSystemMove(std::function<bool()> systemMove) { m_systemMove = std::move(systemMove); }

    // How a window is handed to the window system's own move: Wayland places
    // windows itself, and window managers keep their moves in step with the
    // screen edges. Tests replace it with a stand-in.
    static std::function<bool(QWindow *)> startSystemMove;
    // A moved window counts as settled once it stood still this long.
    static constexpr int settleMs = 400;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::function<QRectF()> m_frame;
    Callback m_onChange;
    Callback m_onEnd;
    std::function<void()> m_onTap;
    std::function<bool()> m_systemMove;
    std::optional<QPointF> m_pressAt;
    QRectF m_startFrame;
    bool m_dragging = false;
};

// Makes dragging `target` move the live panel's window; the new anchor is
// stored when the drag ends. Owned by `target`.
ScreenDrag *movesHUD(QWidget *target, LiveHUD *hud);
