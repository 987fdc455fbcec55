#include "recordingdot.h"

#include "clock.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// 2001-01-01 00:00 UTC in seconds since 1970: the reference of the pulse's phase.
constexpr double referenceDate = 978307200.0;

constexpr double faintest = 0.45;

double secondsNow()
{
    return Clock::secondsSinceEpoch() - referenceDate;
}

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
    m_tick.setSingleShot(true);
    QObject::connect(&m_tick, &QTimer::timeout, this, &RecordingDot::onTick);
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

int RecordingDot::stepAt(double seconds)
{
    return int(std::lround((breathingOpacity(seconds) - faintest) / (1 - faintest) * (steps - 1)));
}

int RecordingDot::msUntilNextStep(double seconds)
{
    const int step = stepAt(seconds);
    int ms = 10;
    while (ms < int(period * 1000) && stepAt(seconds + ms / 1000.0) == step)
        ms += 10;
    return ms;
}

double RecordingDot::currentOpacity() const
{
    return m_breathing ? faintest + (1 - faintest) * stepAt(secondsNow()) / (steps - 1) : 1.0;
}

QSize RecordingDot::sizeHint() const
{
    const int side = int(std::ceil(m_size));
    return QSize(side, side);
}

void RecordingDot::paintEvent(QPaintEvent *)
{
    m_drawnStep = m_breathing ? stepAt(secondsNow()) : -1;
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
    if (m_breathing && isVisible()) {
        if (!m_tick.isActive())
            scheduleTick();
    } else {
        m_tick.stop();
    }
}

void RecordingDot::scheduleTick()
{
    // A little late rather than early, so that the step has changed.
    m_tick.start(std::max(minFrameMs, msUntilNextStep(secondsNow()) + 5));
}

void RecordingDot::onTick()
{
    // Only the dot's own rectangle, and only when its step changed.
    if (const int step = stepAt(secondsNow()); step != m_drawnStep)
        update();
    scheduleTick();
}
