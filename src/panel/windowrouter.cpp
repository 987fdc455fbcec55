#include "windowrouter.h"

std::function<void(const QString &id)> WindowRouter::openWindow;

void WindowRouter::open(const QString &id)
{
    if (openWindow)
        openWindow(id);
}
