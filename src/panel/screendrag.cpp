#include "screendrag.h"

#include "livehud.h"

#include <QMouseEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cmath>
#include <memory>

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
    // remembered once the window has stood still for a moment. Only that
    // move is followed; the panel's own moves (expanding, collapsing) keep
    // the anchor they were placed by.
    auto *settle = new QTimer(drag);
    settle->setSingleShot(true);
    settle->setInterval(ScreenDrag::settleMs);
    auto following = std::make_shared<QList<QMetaObject::Connection>>();
    QObject::connect(settle, &QTimer::timeout, drag, [weak, following] {
        for (const QMetaObject::Connection &connection : std::as_const(*following))
            QObject::disconnect(connection);
        following->clear();
        if (weak)
            weak->remember();
    });
    drag->setSystemMove([target, settle, following] {
        QWindow *window = target->window()->windowHandle();
        if (!ScreenDrag::startSystemMove(window))
            return false;
        if (following->isEmpty()) {
            const auto restart = qOverload<>(&QTimer::start);
            *following = {QObject::connect(window, &QWindow::xChanged, settle, restart),
                          QObject::connect(window, &QWindow::yChanged, settle, restart)};
        }
        settle->start();
        return true;
    });
    return drag;
}
