#include "recordingdot.h"

#include "clock.h"

#include <QAbstractEventDispatcher>
#include <QPainter>

#include <cmath>
#include <numbers>

namespace {

// 2001-01-01 00:00 UTC in seconds since 1970: the reference of the breath's phase.
constexpr double referenceDate = 978307200.0;
constexpr int scanMs = 5; // how finely the next change is looked for

double secondsNow()
{
    return Clock::secondsSinceEpoch() - referenceDate;
}

int levelAt(double seconds)
{
    const double share = (RecordingDot::breathingOpacity(seconds) - RecordingDot::faintest) / (1 - RecordingDot::faintest);
    return int(std::lround(share * (RecordingDot::levels - 1)));
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
    // Awake anyway: a due step is drawn in the same turn of the event loop,
    // with whatever else repaints then.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread())) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] {
            if (m_tick.isActive() && stepDue())
                update();
        });
    }
    // Nothing woke it in time: a wake-up of its own.
    QObject::connect(&m_tick, &QTimer::timeout, this, [this] {
        if (stepDue())
            update();
        scheduleStep(); // again at once when it fired early, before the step
    });
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
    update();
    updateTimer();
}

double RecordingDot::breathingOpacity(double seconds)
{
    const double phase = std::fmod(seconds, period) / period;
    return faintest + (1 - faintest) * (std::sin(2 * std::numbers::pi * phase) + 1) / 2;
}

double RecordingDot::drawnOpacity(double seconds)
{
    return faintest + (1 - faintest) * levelAt(seconds) / (levels - 1);
}

int RecordingDot::msUntilNextChange(double seconds)
{
    const int level = levelAt(seconds);
    int ms = scanMs;
    while (ms < period * 1000 && levelAt(seconds + ms / 1000.0) == level)
        ms += scanMs;
    return ms;
}

double RecordingDot::currentOpacity() const
{
    return m_breathing ? drawnOpacity(secondsNow()) : 1.0;
}

QSize RecordingDot::sizeHint() const
{
    const int side = int(std::ceil(m_size));
    return QSize(side, side);
}

void RecordingDot::paintEvent(QPaintEvent *)
{
    m_drawn = currentOpacity();
    if (m_tick.isActive())
        scheduleStep(); // the next step, whoever asked for this paint
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setOpacity(m_drawn);
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

bool RecordingDot::stepDue() const
{
    return currentOpacity() != m_drawn;
}

void RecordingDot::updateTimer()
{
    if (!m_breathing || !isVisible())
        m_tick.stop();
    else if (!m_tick.isActive())
        scheduleStep();
}

void RecordingDot::scheduleStep()
{
    m_tick.start(msUntilNextChange(secondsNow()) + latenessMs);
}
