#pragma once

#include "hudgeometry.h"
#include "sessioncontroller.h"
#include "sessionhooks.h"

#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QSizeF>

#include <memory>
#include <optional>


class LiveHUDView;
class QPropertyAnimation;
class QScreen;

// The one controller of the floating live panel: its window, its two forms
// (capsule and expanded transcript), where it sits and how large it is, and
// what of that survives a restart. The window never takes focus from the
// program the user is in.
class LiveHUD : public QObject, public LivePanelHook
{
    Q_OBJECT
    Q_PROPERTY(bool expanded READ expanded NOTIFY expandedChanged)

public:
    using Corner = HUDGeometry::Corner;

    static constexpr qreal shadowInset = HUDGeometry::shadowInset;
    static constexpr QSizeF capsuleInner = HUDGeometry::capsuleInner;
    static constexpr QSizeF minInner = HUDGeometry::minInner;
    static constexpr QSizeF maxInner = HUDGeometry::maxInner;
    static constexpr QSizeF defaultInner = HUDGeometry::defaultInner;
    static constexpr qreal fullTranscriptHeight = HUDGeometry::fullTranscriptHeight;

    // The stored keys, in the application's standard settings store.
    static inline const QString anchorXKey = QStringLiteral("hudAnchorX");
    static inline const QString anchorYKey = QStringLiteral("hudAnchorY");
    static inline const QString widthKey = QStringLiteral("hudWidth");
    static inline const QString heightKey = QStringLiteral("hudHeight");

    // The process-wide instance, made on first use.
    static LiveHUD &shared();

    // Reads the stored expanded size now.
    explicit LiveHUD(QObject *parent = nullptr);
    ~LiveHUD() override;

    [[nodiscard]] bool expanded() const override { return m_expanded; }
    void expand();
    void collapse();
    void attach(SessionController *state);
    void show(SessionController *state, bool expanded) override;
    void hide() override;
    // Applies a resize drag: `from` is the frame when the drag began, dx/dy
    // the pointer's displacement since then in desktop coordinates.
    void resize(const QRectF &from, Corner corner, qreal dx, qreal dy, bool ended);
    // Stores the anchor, and the expanded size while expanded.
    void remember();

    // Moves the window without clamping; the next form change brings it back
    // inside the screen.
    void moveTo(QPointF topLeft);

    // The window, null until first shown.
    [[nodiscard]] LiveHUDView *panel() const { return m_panel.get(); }
    // The window frame (where an animation is heading), or an empty rectangle.
    [[nodiscard]] QRectF frame() const;
    [[nodiscard]] SessionController *state() const { return m_state; }
    [[nodiscard]] QSizeF lastExpandedInner() const { return m_lastExpandedInner; }

    // The preview renderer lays the transcript out without scrolling.
    [[nodiscard]] bool isPreview() const { return m_isPreview; }
    void setPreview(bool preview) { m_isPreview = preview; }
    // Sets the form without touching any window: for rendering a view of
    // this controller off screen.
    void setExpandedForRendering(bool expanded);

    // Frame changes animate over this many milliseconds; 0 applies them at once.
    void setAnimationDuration(int milliseconds) { m_animationMs = milliseconds; }

Q_SIGNALS:
    void expandedChanged(bool expanded);

private:
    void makePanel();
    void applyMode(bool animate);
    void setFrame(const QRectF &frame, bool animate);
    void orderFront();
    void finishAnimation();
    void setExpanded(bool expanded);
    [[nodiscard]] std::optional<QRectF> availableArea() const;
    [[nodiscard]] std::optional<QPointF> savedAnchor() const;

    bool m_expanded = false;
    std::unique_ptr<LiveHUDView> m_panel;
    QPointer<SessionController> m_state;
    QSizeF m_lastExpandedInner;
    bool m_isPreview = false;
    int m_animationMs = 180;
    QPointer<QPropertyAnimation> m_animation;
};
