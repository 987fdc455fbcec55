#pragma once

#include <QPointer>
#include <QWidget>

#include "sessioncontroller.h"
class HUDCapsule;
class HUDPanel;
class LiveHUD;

// The content of the live panel's window: the capsule or the expanded panel,
// inside a transparent margin that holds the glass's shadow. Always drawn in
// light colours.
class LiveHUDView : public QWidget
{
    Q_OBJECT

public:
    LiveHUDView(SessionController *state, LiveHUD *hud, QWidget *parent = nullptr);

    void setState(SessionController *state);
    [[nodiscard]] HUDCapsule *capsule() const { return m_capsule; }
    [[nodiscard]] HUDPanel *expandedPanel() const { return m_panel; }
    // The visible panel inside the margin.
    [[nodiscard]] QRect innerRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyForm();

    QPointer<LiveHUD> m_hud;
    HUDCapsule *m_capsule;
    HUDPanel *m_panel;
};
