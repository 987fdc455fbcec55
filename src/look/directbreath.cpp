#include "directbreath.h"

#include "heartbeat.h"
#include "recordingdot.h"
#include "windowpatch.h"

#include <QPainter>

#include <chrono>
#include <cmath>
#include <mutex>
#include <vector>

namespace {

double steadySeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

// What the heartbeat's thread shares with the GUI thread.
struct DirectBreath::Shared
{
    std::mutex mutex;
    std::unique_ptr<WindowPatch> patch; // all below guarded by mutex
    std::vector<QImage> squares;        // one per level; none when not prepared
    QPoint devicePosition;
    double clockOffset = 0; // the breath's clock minus the steady clock, in seconds
    int drawnLevel = -1;    // what the screen shows

    // With the mutex held.
    void putDue()
    {
        if (!patch || squares.empty())
            return;
        const int level = RecordingDot::levelAt(steadySeconds() + clockOffset);
        if (level == drawnLevel)
            return;
        patch->put(squares[size_t(level)], devicePosition);
        drawnLevel = level;
    }
};

DirectBreath::DirectBreath(RecordingDot *dot)
    : m_dot(dot)
    , m_shared(std::make_shared<Shared>())
{
}

DirectBreath::~DirectBreath()
{
    ride(false);
}

bool DirectBreath::ready()
{
    QWidget *top = m_dot->window();
    // The wall clock as the heartbeat's thread will read it, kept in step here.
    const double offset = RecordingDot::secondsNow() - steadySeconds();
    if (m_patchFor != top) {
        std::unique_ptr<WindowPatch> patch = WindowPatch::forWindow(top);
        // Not yet an X window: tried again next time.
        m_patchFor = patch || top->internalWinId() ? top : nullptr;
        std::lock_guard lock(m_shared->mutex);
        m_shared->patch = std::move(patch);
        m_shared->squares.clear();
    }
    const Spot spot = spotNow();
    bool prepared = false;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->clockOffset = offset;
        if (!m_shared->patch || !m_shared->patch->follow())
            return false;
        prepared = !m_shared->squares.empty() && spot == m_spot;
    }
    return prepared || prepare(spot);
}

void DirectBreath::putDue()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->putDue();
}

void DirectBreath::ride(bool riding)
{
    if (riding == (m_heartbeatKey != 0))
        return;
    if (riding) {
        m_heartbeatKey = Heartbeat::join([shared = m_shared] {
            std::lock_guard lock(shared->mutex);
            shared->putDue();
        });
    } else {
        Heartbeat::leave(m_heartbeatKey);
        m_heartbeatKey = 0;
    }
}

void DirectBreath::drawn(int level)
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->drawnLevel = level;
}

int DirectBreath::drawnLevel() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->drawnLevel;
}

void DirectBreath::forget()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->squares.clear();
}

bool DirectBreath::stillFits() const
{
    return spotNow() == m_spot;
}

DirectBreath::Spot DirectBreath::spotNow() const
{
    const QWidget *top = m_dot->window();
    return {top->size(), m_dot->mapTo(top, QPoint()), m_dot->color().rgba(), top->devicePixelRatioF(),
            top->palette().cacheKey()};
}

bool DirectBreath::prepare(const Spot &spot)
{
    // Fractional scales place the square between device pixels.
    if (spot.pixelRatio != std::floor(spot.pixelRatio))
        return false;
    QImage beneath(m_dot->size() * spot.pixelRatio, QImage::Format_ARGB32_Premultiplied);
    beneath.setDevicePixelRatio(spot.pixelRatio);
    beneath.fill(Qt::transparent);
    m_dot->m_preparing = true;
    m_dot->window()->render(&beneath, QPoint(), QRegion(QRect(spot.inWindow, m_dot->size())),
                            QWidget::DrawWindowBackground | QWidget::DrawChildren);
    m_dot->m_preparing = false;
    std::vector<QImage> squares;
    for (int level = 0; level < RecordingDot::levels; ++level) {
        QImage square = beneath.copy();
        QPainter painter(&square);
        m_dot->paintDot(painter, RecordingDot::levelOpacity(level));
        painter.end();
        squares.push_back(square);
    }
    m_spot = spot;
    std::lock_guard lock(m_shared->mutex);
    m_shared->squares = std::move(squares);
    m_shared->devicePosition = spot.inWindow * spot.pixelRatio;
    return true;
}
