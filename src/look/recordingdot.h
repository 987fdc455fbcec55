#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

// A filled circle that, while breathing, pulses between opacity 0.45 and 1.0
// every 1.8 s in phase with the wall clock, so every dot on screen pulses
// together.
class RecordingDot : public QWidget
{
    Q_OBJECT

public:
    static constexpr double period = 1.8;       // seconds
    static constexpr int tickInterval = 50;     // ms between redraws

    RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent = nullptr);

    [[nodiscard]] QColor color() const { return m_color; }
    [[nodiscard]] bool breathing() const { return m_breathing; }
    [[nodiscard]] qreal dotSize() const { return m_size; }
    void setColor(const QColor &color);
    void setBreathing(bool breathing);

    // The opacity at `seconds` since 2001-01-01 00:00 UTC.
    [[nodiscard]] static double breathingOpacity(double seconds);
    // The opacity drawn now.
    [[nodiscard]] double currentOpacity() const;

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void updateTimer();

    QColor m_color;
    bool m_breathing;
    qreal m_size;
    QTimer m_tick;
};
