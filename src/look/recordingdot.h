#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

#include <memory>

class DirectBreath;

// A filled circle that, while breathing, swings between opacity 0.45 and 1.0
// every 1.8 s in phase with the wall clock, so every dot on screen (and the
// dot of a restarted zarno) breathes together. Steady, it is fully opaque.
//
// The breath is drawn in a few opacities, and only when the opacity changes:
// with six, the steepest part of the curve changes step every 117 ms (under
// ten steps a second), the flat parts far less often; none while it is
// steady or out of sight. On X the steps go straight into the window
// (DirectBreath); elsewhere the dot's square is repainted, a step that is due
// waiting a little for the GUI thread to wake for something else and riding
// along.
class RecordingDot : public QWidget
{
    Q_OBJECT

public:
    static constexpr double faintest = 0.45;
    static constexpr double period = 1.8; // seconds
    static constexpr int levels = 6;      // opacities drawn, faintest to full
    static constexpr int latenessMs = 100; // how long a due step may wait for a wake-up to join (under one step)
    // While the heartbeat carries the steps: how often to check it still does
    // (half of it at most once the GUI thread is awake anyway: with the
    // running time's tick each second, never on a wake-up of its own), and
    // how long a gap between beats still counts as beating.
    static constexpr int watchMs = 1500;
    static constexpr int beatGapMs = 250;

    RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent = nullptr);
    ~RecordingDot() override;

    [[nodiscard]] QColor color() const { return m_color; }
    [[nodiscard]] bool breathing() const { return m_breathing; }
    [[nodiscard]] qreal dotSize() const { return m_size; }
    void setColor(const QColor &color);
    void setBreathing(bool breathing);

    // The breath's clock: seconds since 2001-01-01 00:00 UTC.
    [[nodiscard]] static double secondsNow();
    // The breath at `seconds`.
    [[nodiscard]] static double breathingOpacity(double seconds);
    // The level drawn at `seconds` (0 faintest) and its opacity.
    [[nodiscard]] static int levelAt(double seconds);
    [[nodiscard]] static double levelOpacity(int level);
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
    void changeEvent(QEvent *event) override;

private:
    friend class DirectBreath;

    void updateTimer();
    void keepUp();
    [[nodiscard]] int currentLevel() const;
    void paintDot(QPainter &painter, double opacity) const;

    QColor m_color;
    bool m_breathing;
    qreal m_size;
    QTimer m_tick;
    std::unique_ptr<DirectBreath> m_direct;
    bool m_riding = false; // the heartbeat carries the steps
    bool m_preparing = false; // the panel beneath is drawn for DirectBreath: the dot stays out of it
};
