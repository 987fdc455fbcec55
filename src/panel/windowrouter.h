#pragma once

#include <QString>

#include <functional>

// Lets code that is not a view open a window of the application by its
// identifier. Empty until the application installs it; calling it then does
// nothing.
struct WindowRouter
{
    static inline const QString mainWindowId = QStringLiteral("zarno-window");

    static std::function<void(const QString &id)> openWindow;

    // Opens the window when the hook is installed.
    static void open(const QString &id);
};
