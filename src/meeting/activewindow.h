#pragma once

#include <QStringList>

#include <optional>

// The window that has the keyboard, as far as the window system tells.
struct ActiveWindow
{
    qint64 pid = 0;         // 0 when the window does not say
    QStringList classNames; // instance and class name of WM_CLASS
};

// Asks the X server for its active window (_NET_ACTIVE_WINDOW). Absent
// without an X display (Wayland, the offscreen platform) or a window manager
// that names one, and in builds without xcb.
[[nodiscard]] std::optional<ActiveWindow> queryX11ActiveWindow();
