#pragma once

#include <QWidget>

class MenuBarView;

// A frameless popup that hangs the panel under a point or the tray icon and
// closes when the user clicks elsewhere or leaves through one of its rows.
class MenuBarPopup : public QWidget
{
    Q_OBJECT

public:
    // Takes ownership of `view`.
    explicit MenuBarPopup(MenuBarView *view, QWidget *parent = nullptr);

    [[nodiscard]] MenuBarView *view() const { return m_view; }

    // Shows the panel under `anchor` (global coordinates), centred on it and
    // kept inside the screen that holds it; above it when there is no room
    // below (a tray at the bottom of the screen).
    void showUnder(const QRect &anchor);
    void showUnder(const QPoint &point) { showUnder(QRect(point, QSize(1, 1))); }

    // Where a panel of `size` goes for `anchor` within `screen`.
    [[nodiscard]] static QPoint placement(const QSize &size, const QRect &anchor, const QRect &screen);

private:
    MenuBarView *m_view;
};
