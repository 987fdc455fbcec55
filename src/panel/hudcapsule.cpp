#include "hudcapsule.h"

#include "sessioncontroller.h"
#include "brand.h"
#include "livehud.h"
#include "lucide.h"
#include "recordingdot.h"
#include "screendrag.h"
#include "tabulartext.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>

HUDCapsule::HUDCapsule(LiveHUD *hud, QWidget *parent)
    : QWidget(parent)
    , m_hud(hud)
{
    setObjectName(QStringLiteral("capsule"));
    setFixedSize(LiveHUD::capsuleInner.toSize());
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::TabFocus);

    m_dot = new RecordingDot(Brand::tomato(), false, 8, this);
    m_pause = new LucideIcon(QStringLiteral("pause"), 13, Brand::marigold(), this);
    m_elapsed = new TabularLabel(this);
    m_elapsed->setObjectName(QStringLiteral("capsuleElapsed"));
    m_elapsed->setFont(Brand::font(13, Brand::Weight::Semibold));
    m_elapsed->setMinimumWidth(minimumElapsedWidth);
    m_elapsed->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette palette = m_elapsed->palette();
    palette.setColor(QPalette::WindowText, Brand::ink());
    m_elapsed->setPalette(palette);
    for (QWidget *part : {static_cast<QWidget *>(m_dot), static_cast<QWidget *>(m_pause),
                          static_cast<QWidget *>(m_elapsed)})
        part->setAttribute(Qt::WA_TransparentForMouseEvents);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(7);
    row->addStretch(1);
    row->addWidget(m_dot, 0, Qt::AlignVCenter);
    row->addWidget(m_pause, 0, Qt::AlignVCenter);
    row->addWidget(m_elapsed, 0, Qt::AlignVCenter);
    row->addStretch(1);

    m_drag = movesHUD(this, hud);
    m_drag->setOnTap([this] {
        if (m_hud)
            m_hud->expand();
    });
    refresh();
}

void HUDCapsule::setState(SessionController *state)
{
    if (m_state == state)
        return;
    if (m_state)
        m_state->disconnect(this);
    m_state = state;
    if (state) {
        QObject::connect(state, &SessionController::changed, this, [this](SessionController::Changes what) {
            using Change = SessionController::Change;
            // Out of sight, the time is brought up to date when it shows.
            if ((what & (Change::Phase | Change::Sentence)) || isVisible())
                refresh();
        });
    }
    refresh();
}

void HUDCapsule::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void HUDCapsule::refresh()
{
    const bool listening = m_state && m_state->phase() == SessionController::Phase::Listening;
    const bool paused = m_state && SessionController::readsPaused(m_state->phase());
    m_pause->setVisible(paused);
    const std::optional<QString> error = m_state ? m_state->lastError() : std::nullopt;
    const bool failed = error && !SessionController::isNotice(*error);
    m_pause->setColor(paused && failed ? Brand::tomato() : Brand::marigold());
    m_dot->setVisible(!paused);
    m_dot->setBreathing(listening);
    m_elapsed->setText(m_state ? m_state->elapsed() : QStringLiteral("0:00"));
    // Held at its size, it does not lay the capsule out again every second.
    m_elapsed->setFixedSize(m_elapsed->sizeHint().expandedTo(QSize(minimumElapsedWidth, 0)));
    setToolTip(paused ? pausedToolTip : listeningToolTip);
    setAccessibleName(toolTip());
}

void HUDCapsule::keyPressEvent(QKeyEvent *event)
{
    // The keyboard opens it as a click does.
    if (m_hud && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space)) {
        m_hud->expand();
        return;
    }
    QWidget::keyPressEvent(event);
}
