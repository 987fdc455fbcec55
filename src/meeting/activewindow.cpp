#include "activewindow.h"

#ifdef ZARNO_HAVE_XCB

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter
{
    void operator()(void *p) const { std::free(p); }
};
template<typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 1, quint16(std::strlen(name)), name);
    XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

XcbReply<xcb_get_property_reply_t> property(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t atom,
                                            xcb_atom_t type, quint32 length)
{
    const xcb_get_property_cookie_t cookie = xcb_get_property(connection, 0, window, atom, type, 0, length);
    return XcbReply<xcb_get_property_reply_t>(xcb_get_property_reply(connection, cookie, nullptr));
}

} // namespace

std::optional<ActiveWindow> queryX11ActiveWindow()
{
    const char *display = std::getenv("DISPLAY");
    if (!display || !*display)
        return std::nullopt;

    // A connection per question: asked only when the microphone starts, and
    // no connection is left behind to go stale.
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, nullptr), &xcb_disconnect);
    if (!connection || xcb_connection_has_error(connection.get()))
        return std::nullopt;
    xcb_connection_t *c = connection.get();
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen)
        return std::nullopt;

    const xcb_atom_t activeAtom = internAtom(c, "_NET_ACTIVE_WINDOW");
    const xcb_atom_t pidAtom = internAtom(c, "_NET_WM_PID");
    if (activeAtom == XCB_ATOM_NONE)
        return std::nullopt;

    const auto active = property(c, screen->root, activeAtom, XCB_ATOM_WINDOW, 1);
    if (!active || active->type != XCB_ATOM_WINDOW || xcb_get_property_value_length(active.get()) < int(sizeof(xcb_window_t)))
        return std::nullopt;
    const xcb_window_t window = *static_cast<const xcb_window_t *>(xcb_get_property_value(active.get()));
    if (window == XCB_WINDOW_NONE)
        return std::nullopt;

    ActiveWindow result;
    if (pidAtom != XCB_ATOM_NONE) {
        const auto pid = property(c, window, pidAtom, XCB_ATOM_CARDINAL, 1);
        if (pid && pid->type == XCB_ATOM_CARDINAL && xcb_get_property_value_length(pid.get()) >= 4)
            result.pid = *static_cast<const quint32 *>(xcb_get_property_value(pid.get()));
    }
    // WM_CLASS holds two NUL-terminated strings: instance, then class.
    const auto wmClass = property(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256);
    if (wmClass && wmClass->type == XCB_ATOM_STRING) {
        const QByteArray raw(static_cast<const char *>(xcb_get_property_value(wmClass.get())),
                             xcb_get_property_value_length(wmClass.get()));
        for (const QByteArray &part : raw.split('\0')) {
            if (!part.isEmpty())
                result.classNames.append(QString::fromLocal8Bit(part));
        }
    }
    return result;
}

#else

std::optional<ActiveWindow> queryX11ActiveWindow()
{
    return std::nullopt;
}

#endif
