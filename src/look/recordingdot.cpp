#include "recordingdot.h"

#include <QPainter>

#include <cmath>

RecordingDot::RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent)
    : QWidget(parent)
    , m_color(color)
    , m_breathing(breathing)
    , m_size(size)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void RecordingDot::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    update();
}

void RecordingDot::setBreathing(bool breathing)
{
    if (m_breathing == breathing)
        return;
    m_breathing = breathing;
    m_faint = false;
    update();
}

void RecordingDot::beat()
{
    if (!m_breathing)
        return;
    m_faint = !m_faint;
    // Out of sight this marks nothing: the beat is only remembered.
    update();
}

double RecordingDot::currentOpacity() const
{
    return m_breathing && m_faint ? faintest : 1.0;
}

QSize RecordingDot::sizeHint() const
{
    const int side = int(std::ceil(m_size));
    return QSize(side, side);
}

void RecordingDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setOpacity(currentOpacity());
    painter.setBrush(m_color);
    painter.drawEllipse(QRectF((width() - m_size) / 2, (height() - m_size) / 2, m_size, m_size));
}
