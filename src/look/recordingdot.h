#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

// A filled circle that, while breathing, pulses between opacity 0.45 and 1.0
// every 1.8 s in phase with the wall clock, so every dot on screen pulses
// together. The pulse is drawn in five opacity steps, each repainting only
// the dot and only when the step changes (between four and five times a
// second: each repaint of the floating panel costs a wake-up and a trip to
// the window system); out of sight it does not run at all.
class RecordingDot : public QWidget
{
    Q_OBJECT

public:
    static constexpr double period = 1.8; // seconds
    static constexpr int steps = 5;       // opacities drawn, faintest to full
    static constexpr int minFrameMs = 60; // never redrawn sooner than this

    RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent = nullptr);

    [[nodiscard]] QColor color() const { return m_color; }
    [[nodiscard]] bool breathing() const { return m_breathing; }
    [[nodiscard]] qreal dotSize() const { return m_size; }
    void setColor(const QColor &color);
    void setBreathing(bool breathing);

    // The opacity at `seconds` since 2001-01-01 00:00 UTC.
    [[nodiscard]] static double breathingOpacity(double seconds);
    // Which of the steps is drawn at `seconds`, and how long it lasts.
    [[nodiscard]] static int stepAt(double seconds);
    [[nodiscard]] static int msUntilNextStep(double seconds);
    // The opacity drawn now.
    [[nodiscard]] double currentOpacity() const;
    // Whether it is pulsing now: breathing and in sight.
    [[nodiscard]] bool isAnimating() const { return m_tick.isActive(); }

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void updateTimer();
    void onTick();
    void scheduleTick();

    QColor m_color;
    bool m_breathing;
    qreal m_size;
    int m_drawnStep = -1;
    QTimer m_tick;
};
