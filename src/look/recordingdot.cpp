#include "recordingdot.h"

#include "clock.h"
#include "directbreath.h"
#include "heartbeat.h"

#include <QAbstractEventDispatcher>
#include <QEvent>
#include <QPainter>

#include <cmath>
#include <numbers>

namespace {

// 2001-01-01 00:00 UTC in seconds since 1970: the reference of the breath's phase.
constexpr double referenceDate = 978307200.0;
constexpr int scanMs = 5; // how finely the next change is looked for

} // namespace

RecordingDot::RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent)
    : QWidget(parent)
    , m_color(color)
    , m_breathing(breathing)
    , m_size(size)
    , m_direct(std::make_unique<DirectBreath>(this))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_tick.setSingleShot(true);
    m_tick.setTimerType(Qt::PreciseTimer);
    // Awake anyway: a due step is drawn in the same turn of the event loop,
    // with whatever else repaints then; while the heartbeat carries the
    // steps, the check that it still does is pushed back.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread())) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] {
            if (!m_tick.isActive())
                return;
            if (m_riding ? m_tick.remainingTime() < watchMs / 2 : currentLevel() != m_direct->drawnLevel())
                keepUp();
        });
    }
    // Nothing woke it in time: a wake-up of its own.
    QObject::connect(&m_tick, &QTimer::timeout, this, &RecordingDot::keepUp);
}

RecordingDot::~RecordingDot() = default;

void RecordingDot::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    m_direct->forget();
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

double RecordingDot::secondsNow()
{
    return Clock::secondsSinceEpoch() - referenceDate;
}

double RecordingDot::breathingOpacity(double seconds)
{
    const double phase = std::fmod(seconds, period) / period;
    return faintest + (1 - faintest) * (std::sin(2 * std::numbers::pi * phase) + 1) / 2;
}

int RecordingDot::levelAt(double seconds)
{
    const double share = (breathingOpacity(seconds) - faintest) / (1 - faintest);
    return int(std::lround(share * (levels - 1)));
}

double RecordingDot::levelOpacity(int level)
{
    return faintest + (1 - faintest) * level / (levels - 1);
}

double RecordingDot::drawnOpacity(double seconds)
{
    return levelOpacity(levelAt(seconds));
}

int RecordingDot::msUntilNextChange(double seconds)
{
    const int level = levelAt(seconds);
    int ms = scanMs;
    while (ms < period * 1000 && levelAt(seconds + ms / 1000.0) == level)
        ms += scanMs;
    return ms;
}

int RecordingDot::currentLevel() const
{
    return m_breathing ? levelAt(secondsNow()) : levels - 1;
}

double RecordingDot::currentOpacity() const
{
    return levelOpacity(currentLevel());
}

QSize RecordingDot::sizeHint() const
{
    const int side = int(std::ceil(m_size));
    return QSize(side, side);
}

void RecordingDot::paintEvent(QPaintEvent *)
{
    if (m_preparing)
        return;
    const int level = currentLevel();
    m_direct->drawn(level);
    // Moved in its window, or the window resized: the squares wait to be
    // prepared again rather than be put where they no longer fit.
    if (m_tick.isActive() && !m_direct->stillFits()) {
        m_direct->forget();
        m_tick.start(latenessMs);
    }
    QPainter painter(this);
    paintDot(painter, levelOpacity(level));
}

void RecordingDot::paintDot(QPainter &painter, double opacity) const
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setOpacity(opacity);
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

void RecordingDot::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::StyleChange || event->type() == QEvent::PaletteChange)
        m_direct->forget(); // the panel beneath may look different now
}

void RecordingDot::updateTimer()
{
    if (!m_breathing || !isVisible()) {
        m_tick.stop();
        m_riding = false;
        m_direct->ride(false);
    } else if (!m_tick.isActive()) {
        m_tick.start(0); // the first step once shown
    }
}

void RecordingDot::keepUp()
{
    const bool direct = m_direct->ready();
    if (direct)
        m_direct->putDue();
    else if (currentLevel() != m_direct->drawnLevel())
        update();
    m_direct->ride(direct);
    // While the microphone's thread carries the steps, the timer only checks
    // now and then that it still does.
    m_riding = direct && Heartbeat::beatWithin(beatGapMs);
    m_tick.start(m_riding ? watchMs : msUntilNextChange(secondsNow()) + latenessMs);
}
