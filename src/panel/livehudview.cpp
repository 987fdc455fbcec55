#include "livehudview.h"

#include "brand.h"
#include "hudcapsule.h"
#include "hudglass.h"
#include "hudpanel.h"
#include "livehud.h"

#include <QPainter>

LiveHUDView::LiveHUDView(SessionController *state, LiveHUD *hud, QWidget *parent)
    : QWidget(parent)
    , m_hud(hud)
{
    // Light whatever the desktop's theme.
    QPalette light;
    light.setColor(QPalette::Window, Brand::card());
    light.setColor(QPalette::WindowText, Brand::ink());
    light.setColor(QPalette::Base, Brand::card());
    light.setColor(QPalette::Text, Brand::ink());
    light.setColor(QPalette::Button, Brand::card());
    light.setColor(QPalette::ButtonText, Brand::ink());
    light.setColor(QPalette::ToolTipBase, Brand::card());
    light.setColor(QPalette::ToolTipText, Brand::ink());
    setPalette(light);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);

    m_capsule = new HUDCapsule(hud, this);
    m_panel = new HUDPanel(hud, this);
    setState(state);
    QObject::connect(hud, &LiveHUD::expandedChanged, this, &LiveHUDView::applyForm);
    applyForm();
}

void LiveHUDView::setState(SessionController *state)
{
    m_capsule->setState(state);
    m_panel->setState(state);
}

QRect LiveHUDView::innerRect() const
{
    const int inset = int(LiveHUD::shadowInset);
    return rect().adjusted(inset, inset, -inset, -inset);
}

void LiveHUDView::applyForm()
{
    const bool expanded = m_hud && m_hud->expanded();
    m_capsule->setVisible(!expanded);
    m_panel->setVisible(expanded);
    resizeEvent(nullptr);
    update();
}

void LiveHUDView::resizeEvent(QResizeEvent *)
{
    const QRect inner = innerRect();
    m_panel->setGeometry(inner);
    // The capsule keeps its size, centred in whatever room there is.
    QRect capsule(QPoint(0, 0), m_capsule->size());
    capsule.moveCenter(inner.center());
    m_capsule->setGeometry(capsule);
}

void LiveHUDView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_hud && m_hud->expanded())
        HUDGlass::paint(painter, QRectF(m_panel->geometry()), HUDGlass::panelRadius, HUDGlass::panelFill);
    else
        HUDGlass::paint(painter, QRectF(m_capsule->geometry()), m_capsule->height() / 2.0, HUDGlass::capsuleFill);
}
