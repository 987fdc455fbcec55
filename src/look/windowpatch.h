#pragma once

#include <QImage>
#include <QPoint>

#include <memory>

class QWidget;

// Puts a small prepared image straight into a top-level window on the X
// server, past Qt's backing store: one request written to the socket, with
// no repaint of the widgets beneath and no wait for the server. What it puts
// must be what a repaint would draw there; the next repaint of that spot
// draws over it.
class WindowPatch
{
public:
    // Nothing where `window` is not an X window this can write to (another
    // platform, a visual other than 24 or 32 bits in 32-bit pixels).
    [[nodiscard]] static std::unique_ptr<WindowPatch> forWindow(QWidget *window);
    virtual ~WindowPatch() = default;

    // From the window's thread: keeps up with the X window behind the
    // widget (Qt makes a new one when a window's flags change); false while
    // it has none.
    virtual bool follow() = 0;
    // From any thread, one at a time, after follow(): `image` (premultiplied
    // ARGB32 in device pixels) at `devicePosition` of the window.
    virtual void put(const QImage &image, QPoint devicePosition) = 0;
};
