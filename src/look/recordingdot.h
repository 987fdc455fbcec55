#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

// A filled circle that, while breathing, swings between opacity 0.45 and 1.0
// every 1.8 s in phase with the wall clock, so every dot on screen (and the
// dot of a restarted zarno) breathes together. Steady, it is fully opaque.
//
// Each repaint of the translucent floating panel costs a round trip to the
// window system, so the breath is drawn in a few opacities, repainting only
// the dot and only when its opacity changes: with six, the steepest part of
// the curve changes step every 117 ms (under ten repaints a second), the flat
// parts far less often; none while it is steady or out of sight. A step
// that is due waits a little for the GUI thread to wake for something else
// (words arriving, the running time) and rides along, before it wakes it
// itself.
class RecordingDot : public QWidget
{
    Q_OBJECT

public:
    static constexpr double faintest = 0.45;
    static constexpr double period = 1.8; // seconds
    static constexpr int levels = 6;      // opacities drawn, faintest to full
    static constexpr int latenessMs = 100; // how long a due step may wait for a wake-up to join (under one step)

    RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent = nullptr);

    [[nodiscard]] QColor color() const { return m_color; }
    [[nodiscard]] bool breathing() const { return m_breathing; }
    [[nodiscard]] qreal dotSize() const { return m_size; }
    void setColor(const QColor &color);
    void setBreathing(bool breathing);

    // The breath at `seconds` since 2001-01-01 00:00 UTC.
    [[nodiscard]] static double breathingOpacity(double seconds);
    // The opacity drawn at `seconds`: the breath rounded to one of the levels.
    [[nodiscard]] static double drawnOpacity(double seconds);
    // Milliseconds from `seconds` until the drawn opacity next changes.
    [[nodiscard]] static int msUntilNextChange(double seconds);
    // The opacity drawn now, by the wall clock.
    [[nodiscard]] double currentOpacity() const;
    // Whether it is breathing now: breathing and in sight.
    [[nodiscard]] bool isAnimating() const { return m_tick.isActive(); }

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void updateTimer();
    void scheduleStep();
    [[nodiscard]] bool stepDue() const;

    QColor m_color;
    bool m_breathing;
    qreal m_size;
    QTimer m_tick;
    double m_drawn = -1; // the opacity of the last paint
};
