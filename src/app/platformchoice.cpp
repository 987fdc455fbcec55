#include "platformchoice.h"

#include <QtGlobal>

SessionEnvironment currentSessionEnvironment()
{
    return {qgetenv("QT_QPA_PLATFORM"), qgetenv("WAYLAND_DISPLAY"), qgetenv("DISPLAY")};
}

QByteArray preferredPlatform(const SessionEnvironment &environment)
{
    if (!environment.qpaPlatform.isEmpty() || environment.waylandDisplay.isEmpty())
        return {};
    // Without XWayland there is no X server to reach: let Qt take Wayland.
    if (environment.x11Display.isEmpty())
        return {};
    return QByteArrayLiteral("xcb");
}
