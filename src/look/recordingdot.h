#pragma once

#include <QColor>
#include <QWidget>

// A filled circle that, while breathing, alternates between full and faint
// opacity on each beat it is given: the running time's tick, so the dot and
// the time beside it are drawn in the same repaint and the dot costs no
// wake-up of its own (each repaint of the floating panel is a wake-up and a
// trip to the window system, which a dot with its own animation paid four or
// five times a second). Steady, it is fully opaque.
class RecordingDot : public QWidget
{
    Q_OBJECT

public:
    static constexpr double faintest = 0.45;

    RecordingDot(const QColor &color, bool breathing, qreal size, QWidget *parent = nullptr);

    [[nodiscard]] QColor color() const { return m_color; }
    [[nodiscard]] bool breathing() const { return m_breathing; }
    [[nodiscard]] qreal dotSize() const { return m_size; }
    void setColor(const QColor &color);
    // Starting to breathe begins on the full beat.
    void setBreathing(bool breathing);
    // The next beat: full after faint, faint after full; steady, nothing.
    void beat();
    // The opacity drawn now.
    [[nodiscard]] double currentOpacity() const;
    // Whether it is pulsing now: breathing and in sight.
    [[nodiscard]] bool isAnimating() const { return m_breathing && isVisible(); }

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
    bool m_breathing;
    bool m_faint = false;
    qreal m_size;
};
