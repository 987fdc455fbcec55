#include "windowpatch.h"

#include <QPointer>
#include <QWidget>

#ifdef ZARNO_HAVE_XCB
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#endif

#ifdef ZARNO_HAVE_XCB
namespace {

class XcbWindowPatch : public WindowPatch
{
public:
    XcbWindowPatch(xcb_connection_t *connection, QWidget *window, quint8 depth)
        : m_connection(connection)
        , m_window(window)
        , m_depth(depth)
    {
    }

    ~XcbWindowPatch() override
    {
        if (m_gc && qGuiApp)
            xcb_free_gc(m_connection, m_gc);
    }

    bool follow() override
    {
        const auto id = xcb_window_t(m_window ? m_window->internalWinId() : 0);
        if (id && id != m_drawable) {
            if (m_gc)
                xcb_free_gc(m_connection, m_gc);
            m_gc = xcb_generate_id(m_connection);
            xcb_create_gc(m_connection, m_gc, id, 0, nullptr);
        }
        m_drawable = id;
        return id != 0;
    }

    void put(const QImage &image, QPoint devicePosition) override
    {
        if (!m_drawable || image.format() != QImage::Format_ARGB32_Premultiplied)
            return;
        xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_drawable, m_gc, quint16(image.width()),
                      quint16(image.height()), qint16(devicePosition.x()), qint16(devicePosition.y()), 0, m_depth,
                      quint32(image.sizeInBytes()), image.constBits());
        xcb_flush(m_connection);
    }

private:
    xcb_connection_t *m_connection;
    QPointer<QWidget> m_window;
    quint8 m_depth;
    xcb_window_t m_drawable = 0;
    xcb_gcontext_t m_gc = 0;
};

// Whether pixels of `depth` are 32 bits, least significant byte first: the
// layout of a premultiplied ARGB32 image on this machine.
bool takesImagesAsTheyAre(xcb_connection_t *connection, quint8 depth)
{
    const xcb_setup_t *setup = xcb_get_setup(connection);
    if ((depth != 24 && depth != 32) || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST
        || QSysInfo::ByteOrder != QSysInfo::LittleEndian)
        return false;
    const xcb_format_t *format = xcb_setup_pixmap_formats(setup);
    for (int i = 0; i < xcb_setup_pixmap_formats_length(setup); ++i, ++format) {
        if (format->depth == depth)
            return format->bits_per_pixel == 32;
    }
    return false;
}

} // namespace
#endif

std::unique_ptr<WindowPatch> WindowPatch::forWindow(QWidget *window)
{
#ifdef ZARNO_HAVE_XCB
    // Other platforms may answer for X too (offscreen does, without a connection).
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window || !window->isWindow() || !window->internalWinId())
        return nullptr;
    const auto id = xcb_window_t(window->internalWinId());
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr), &std::free);
    if (!geometry || !takesImagesAsTheyAre(connection, geometry->depth))
        return nullptr;
    return std::make_unique<XcbWindowPatch>(connection, window, geometry->depth);
#else
    Q_UNUSED(window);
    return nullptr;
#endif
}
