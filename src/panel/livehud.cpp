#include "livehud.h"

#include "sessioncontroller.h"
#include "livehudview.h"
#include "settings.h"

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSettings>

#include <cmath>

namespace {

QSettings standardStore()
{
    return ZarnoSettings::standardStore();
}

// A stored number; anything unreadable or not finite reads as 0.
double storedNumber(const QSettings &store, const QString &key)
{
    bool ok = false;
    const double value = store.value(key).toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

QRect toPixels(const QRectF &frame)
{
    return QRect(qRound(frame.x()), qRound(frame.y()), qRound(frame.width()), qRound(frame.height()));
}

} // namespace

LiveHUD &LiveHUD::shared()
{
    static LiveHUD *instance = new LiveHUD(); // kept for the life of the process
    return *instance;
}

LiveHUD::LiveHUD(QObject *parent)
    : QObject(parent)
{
    const QSettings store = standardStore();
    m_lastExpandedInner = HUDGeometry::storedExpandedInner(storedNumber(store, widthKey), storedNumber(store, heightKey));
}

LiveHUD::~LiveHUD() = default;

QRectF LiveHUD::frame() const
{
    if (!m_panel)
        return QRectF();
    if (m_animation && m_animation->state() == QAbstractAnimation::Running)
        return QRectF(m_animation->endValue().toRect());
    return QRectF(m_panel->geometry());
}

void LiveHUD::expand()
{
    if (m_state) {
        if (!m_panel)
            makePanel();
        orderFront();
    }
    if (m_expanded)
        return;
    setExpanded(true);
    applyMode(true);
}

void LiveHUD::collapse()
{
    if (!m_expanded)
        return;
    setExpanded(false);
    applyMode(true);
    if (m_state && m_state->phase() != SessionController::Phase::Listening
        && !SessionController::readsPaused(m_state->phase()) && m_panel)
        m_panel->hide();
}

void LiveHUD::attach(SessionController *state)
{
    m_state = state;
    if (m_panel)
        m_panel->setState(state);
}

void LiveHUD::show(SessionController *state, bool expanded)
{
    attach(state);
    if (expanded) {
        expand();
        return;
    }
    if (m_state) {
        if (!m_panel)
            makePanel();
        orderFront();
    }
}

void LiveHUD::hide()
{
    if (m_panel)
        m_panel->hide();
    if (m_expanded) {
        setExpanded(false);
        applyMode(false);
    }
}

void LiveHUD::remember()
{
    if (!m_panel)
        return;
    QSettings store = standardStore();
    const QPointF anchor = HUDGeometry::anchorOf(frame());
    store.setValue(anchorXKey, anchor.x());
    store.setValue(anchorYKey, anchor.y());
    if (m_expanded) {
        store.setValue(widthKey, m_lastExpandedInner.width());
        store.setValue(heightKey, m_lastExpandedInner.height());
    }
}

void LiveHUD::resize(const QRectF &from, Corner corner, qreal dx, qreal dy, bool ended)
{
    if (!m_panel)
        return;
    const HUDGeometry::ResizeResult result = HUDGeometry::resize(from, corner, dx, dy, ended);
    if (result.collapse) {
        collapse();
        remember();
        return;
    }
    m_lastExpandedInner = result.inner;
    setFrame(result.frame, false);
    if (ended)
        remember();
}

void LiveHUD::moveTo(QPointF topLeft)
{
    if (!m_panel)
        return;
    finishAnimation();
    m_panel->move(qRound(topLeft.x()), qRound(topLeft.y()));
}

void LiveHUD::setExpandedForRendering(bool expanded)
{
    setExpanded(expanded);
}

void LiveHUD::makePanel()
{
    m_panel = std::make_unique<LiveHUDView>(m_state, this);
    m_panel->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                            | Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint);
    m_panel->setAttribute(Qt::WA_ShowWithoutActivating);
    // Qt shows tooltips only over the active window, and this one never is.
    m_panel->setAttribute(Qt::WA_AlwaysShowToolTips);
    m_panel->setAttribute(Qt::WA_TranslucentBackground);
    m_panel->setFocusPolicy(Qt::NoFocus);
    m_panel->setWindowTitle(QStringLiteral("zarno"));

    const QPointF anchor = savedAnchor().value_or(HUDGeometry::defaultAnchor(availableArea()));
    setFrame(HUDGeometry::frameAnchoredAt(anchor, HUDGeometry::windowSize(capsuleInner), availableArea()), false);
}

void LiveHUD::applyMode(bool animate)
{
    if (!m_panel)
        return;
    const QSizeF inner = m_expanded ? m_lastExpandedInner : capsuleInner;
    const QPointF anchor = HUDGeometry::anchorOf(frame());
    setFrame(HUDGeometry::frameAnchoredAt(anchor, HUDGeometry::windowSize(inner), availableArea()), animate);
}

void LiveHUD::finishAnimation()
{
    if (!m_animation)
        return;
    const QRect end = m_animation->endValue().toRect();
    m_animation->stop();
    m_panel->setGeometry(end);
}

void LiveHUD::setFrame(const QRectF &target, bool animate)
{
    finishAnimation();
    const QRect pixels = toPixels(target);
    if (!animate || m_animationMs <= 0 || !m_panel->isVisible()) {
        m_panel->setGeometry(pixels);
        return;
    }
    auto *animation = new QPropertyAnimation(m_panel.get(), "geometry", m_panel.get());
    animation->setDuration(m_animationMs);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    animation->setStartValue(m_panel->geometry());
    animation->setEndValue(pixels);
    m_animation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void LiveHUD::orderFront()
{
    // Shown without activation: focus stays with the program the user is in.
    m_panel->show();
    m_panel->raise();
}

void LiveHUD::setExpanded(bool expanded)
{
    if (m_expanded == expanded)
        return;
    m_expanded = expanded;
    Q_EMIT expandedChanged(expanded);
}

std::optional<QRectF> LiveHUD::availableArea() const
{
    QScreen *screen = m_panel ? m_panel->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return std::nullopt;
    return QRectF(screen->availableGeometry());
}

std::optional<QPointF> LiveHUD::savedAnchor() const
{
    const QSettings store = standardStore();
    if (!store.contains(anchorXKey))
        return std::nullopt;
    return QPointF(storedNumber(store, anchorXKey), storedNumber(store, anchorYKey));
}
