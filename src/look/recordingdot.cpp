#include "recordingdot.h"

#include "clock.h"

#include <QPainter>

#include <cmath>
#include <numbers>

namespace {

// 2001-01-01 00:00 UTC in seconds since 1970: the reference of the pulse's phase.
constexpr double referenceDate = 978307200.0;

} // namespace

RecordingDot::RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent)
    : QWidget(parent)
    , m_color(color)
    , m_breathing(breathing)
    , m_size(size)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_tick.setInterval(tickInterval);
    QObject::connect(&m_tick, &QTimer::timeout, this, qOverload<>(&QWidget::update));
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
    updateTimer();
    update();
}

double RecordingDot::breathingOpacity(double seconds)
{
    return 0.45 + 0.55 * (std::sin(2 * std::numbers::pi * seconds / period) + 1) / 2;
}

double RecordingDot::currentOpacity() const
{
    return m_breathing ? breathingOpacity(Clock::secondsSinceEpoch() - referenceDate) : 1.0;
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

void RecordingDot::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    updateTimer();
}

void RecordingDot::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updateTimer();
}

void RecordingDot::updateTimer()
{
    if (m_breathing && isVisible())
        m_tick.start();
    else
        m_tick.stop();
}
