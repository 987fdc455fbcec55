#pragma once

#include <QPointer>
#include <QWidget>

#include "sessioncontroller.h"
class LiveHUD;
class LucideIcon;
class QLabel;
class RecordingDot;
class ScreenDrag;

// The collapsed live panel: a small pill with the recording state and the
// running time. A click opens the expanded panel; a drag moves the window.
class HUDCapsule : public QWidget
{
    Q_OBJECT

public:
    static inline const QString listeningToolTip = QStringLiteral("Listening — click to open");
    static inline const QString pausedToolTip = QStringLiteral("Paused — click to open");
    static constexpr int minimumElapsedWidth = 38;

    HUDCapsule(LiveHUD *hud, QWidget *parent = nullptr);

    void setState(SessionController *state);

    [[nodiscard]] RecordingDot *dot() const { return m_dot; }
    [[nodiscard]] LucideIcon *pauseIcon() const { return m_pause; }
    [[nodiscard]] QLabel *elapsedLabel() const { return m_elapsed; }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void refresh();

    QPointer<LiveHUD> m_hud;
    QPointer<SessionController> m_state;
    RecordingDot *m_dot;
    LucideIcon *m_pause;
    QLabel *m_elapsed;
    ScreenDrag *m_drag;
};
