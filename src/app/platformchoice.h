#pragma once

#include <QByteArray>

// Which Qt platform plugin zarno asks for, given the session's environment.
// On a Wayland desktop it runs through XWayland: there GNOME and KDE honour
// stay-on-top, positions and no-focus for its floating panels, which Wayland
// clients cannot ask for. A platform the user chose is always kept.
struct SessionEnvironment
{
    QByteArray qpaPlatform; // QT_QPA_PLATFORM
    QByteArray waylandDisplay; // WAYLAND_DISPLAY
    QByteArray x11Display; // DISPLAY
};

[[nodiscard]] SessionEnvironment currentSessionEnvironment();

// Empty when Qt's own choice is right.
[[nodiscard]] QByteArray preferredPlatform(const SessionEnvironment &environment);
