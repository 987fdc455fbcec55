#include "screendrag.h"

#include "livehud.h"

#include <QMouseEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cmath>

std::function<bool(QWindow *)> ScreenDrag::startSystemMove = [](QWindow *window) {
    return window && window->startSystemMove();
};

ScreenDrag::ScreenDrag(QWidget *target, std::function<QRectF()> frame, Callback onChange, Callback onEnd)
    : QObject(target)
    , m_frame(std::move(frame))
    , m_onChange(std::move(onChange))
    , m_onEnd(std::move(onEnd))
{
    target->installEventFilter(this);
}

void ScreenDrag::watch(QWidget *widget)
{
    widget->installEventFilter(this);
}

bool ScreenDrag::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        m_pressAt = mouse->globalPosition();
        m_startFrame = m_frame ? m_frame() : QRectF();
        m_dragging = false;
        return true;
    }
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (!m_pressAt || !(mouse->buttons() & Qt::LeftButton))
            return false;
        const QPointF d = mouse->globalPosition() - *m_pressAt;
        if (!m_dragging && std::hypot(d.x(), d.y()) < threshold)
            return true;
        if (!m_dragging && m_systemMove && m_systemMove()) {
            m_pressAt.reset();
            return true;
        }
        m_dragging = true;
        if (m_onChange)
            m_onChange(m_startFrame, d.x(), d.y());
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton || !m_pressAt)
            return false;
        const QPointF d = mouse->globalPosition() - *m_pressAt;
        const bool wasDrag = m_dragging;
        m_pressAt.reset();
        m_dragging = false;
        if (wasDrag) {
            if (m_onEnd)
                m_onEnd(m_startFrame, d.x(), d.y());
        } else if (m_onTap) {
            m_onTap();
        }
        return true;
    }
    default:
        return false;
    }
}

ScreenDrag *movesHUD(QWidget *target, LiveHUD *hud)
{
    QPointer<LiveHUD> weak(hud);
    auto move = [weak](const QRectF &start, qreal dx, qreal dy) {
        if (weak)
            weak->moveTo(start.topLeft() + QPointF(dx, dy));
    };
    auto *drag = new ScreenDrag(
        target, [weak] { return weak ? weak->frame() : QRectF(); }, move,
        [weak, move](const QRectF &start, qreal dx, qreal dy) {
            move(start, dx, dy);
            if (weak)
                weak->remember();
        });
    // The window system sends no release after its own move: the anchor is
    // remembered once the window has stood still for a moment.
    auto *settle = new QTimer(drag);
    settle->setSingleShot(true);
    settle->setInterval(ScreenDrag::settleMs);
    // Armed only by a move of the window system's: the panel's own moves
    // (expanding, collapsing) keep the anchor they were placed by.
    QObject::connect(settle, &QTimer::timeout, drag, [weak, settle] {
        settle->setProperty("armed", false);
        if (weak)
            weak->remember();
    });
    drag->setSystemMove([target, settle] {
        QWindow *window = target->window()->windowHandle();
        if (!ScreenDrag::startSystemMove(window))
            return false;
        const auto restart = [settle] {
            if (settle->property("armed").toBool())
                settle->start();
        };
        // One pair of connections per window, kept for the next drags.
        if (!window->property("zarnoSettleWatch").toBool()) {
            window->setProperty("zarnoSettleWatch", true);
            QObject::connect(window, &QWindow::xChanged, settle, restart);
            QObject::connect(window, &QWindow::yChanged, settle, restart);
        }
        settle->setProperty("armed", true);
        settle->start();
        return true;
    });
    return drag;
}
