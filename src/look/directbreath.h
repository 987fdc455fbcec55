#pragma once

#include <QPoint>
#include <QPointer>
#include <QSize>
#include <QWidget>

#include <memory>

class RecordingDot;

// The recording dot's breath put straight into its window on X.
//
// A repaint of the translucent floating panel, even of the dot's square
// alone, repaints the glass beneath it and waits for the X server (about
// 0.3 ms of CPU). Here each step is one of the dot's squares, prepared
// beforehand with the panel beneath, written into the window: a few
// microseconds. And since waking a thread costs more than that, while the
// microphone's thread beats the steps ride on its wake-ups.
class DirectBreath
{
public:
    explicit DirectBreath(RecordingDot *dot);
    ~DirectBreath();
    DirectBreath(const DirectBreath &) = delete;
    DirectBreath &operator=(const DirectBreath &) = delete;

    // GUI thread. Whether steps can go straight to the window: on X, with
    // squares for where the dot is now, prepared again when it has moved in
    // its window, the window has changed size or the colours have changed.
    bool ready();
    // GUI thread, after ready(): puts the step due now unless it is shown.
    void putDue();
    // Steps also ride on the heartbeat while `riding`.
    void ride(bool riding);
    // A repaint drew `level`.
    void drawn(int level);
    [[nodiscard]] int drawnLevel() const;
    // The panel beneath may look different: no more squares until ready().
    void forget();
    // Whether the squares were prepared where the dot is now.
    [[nodiscard]] bool stillFits() const;

private:
    struct Spot
    {
        QSize windowSize;
        QPoint inWindow;
        QRgb color = 0;
        qreal pixelRatio = 0;
        qint64 palette = 0;
        bool operator==(const Spot &) const = default;
    };
    struct Shared;

    [[nodiscard]] Spot spotNow() const;
    bool prepare(const Spot &spot);

    RecordingDot *m_dot;
    std::shared_ptr<Shared> m_shared;
    QPointer<QWidget> m_patchFor; // the window the patch writes to (or failed to)
    Spot m_spot;                  // where the squares were prepared
    int m_heartbeatKey = 0;
};
