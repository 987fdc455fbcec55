#pragma once

#include "hudgeometry.h"

#include <QPointer>
#include <QWidget>

#include <array>

#include "sessioncontroller.h"

class IconButton;
class LiveHUD;
class LucideIcon;
class OutlinePillButton;
class QBoxLayout;
class QLabel;
class QSpacerItem;
class RecordingDot;
class ResizeHandle;
class TealPillButton;
class TranscriptModel;
class TranscriptView;
class WrappedText;

// The expanded live panel: the session's state and running time, the live
// transcript with translations and partial text, and the buttons that pause,
// resume, stop and save, open the saved notes or start a new session. Below
// 230 points of height it shows only the newest text.
class HUDPanel : public QWidget
{
    Q_OBJECT

public:
    static inline const QString listeningPlaceholder = QStringLiteral("Listening — say something…");
    static inline const QString savedPlaceholder = QStringLiteral("Summary, to-dos, and deadlines are on their way.");
    static inline const QString idlePlaceholder = QStringLiteral("The transcript will appear here.");

    explicit HUDPanel(LiveHUD *hud, QWidget *parent = nullptr);

    void setState(SessionController *state);
    // The placeholder for the state now.
    [[nodiscard]] QString placeholderText() const;
    // Whether every line is shown (tall panel) rather than the newest only.
    [[nodiscard]] bool showsFullTranscript() const { return m_full; }

    [[nodiscard]] TranscriptView *transcriptView() const { return m_list; }
    [[nodiscard]] TranscriptModel *transcriptModel() const { return m_model; }

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void addStatusRow();
    void addCompactBody();
    void addFullBody();
    void addControls();
    void connectControls();
    void refreshStatus();
    void refreshElapsed();
    void refreshTranscript();
    void refreshLatest();
    void onLineAppended(qsizetype row);
    void rescanNewest();
    void setFull(bool full);
    void applyPreview();

    QPointer<LiveHUD> m_hud;
    QPointer<SessionController> m_state;
    bool m_full = false;
    bool m_preview = false;
    // Rows of the newest source and translation lines, -1 for none.
    qsizetype m_newestSource = -1;
    qsizetype m_newestTranslation = -1;

    QBoxLayout *m_layout;
    RecordingDot *m_statusDot;
    LucideIcon *m_statusPause;
    QLabel *m_statusText;
    IconButton *m_collapse;
    QLabel *m_error;

    QWidget *m_compact;
    WrappedText *m_latestPartial;
    QLabel *m_compactPlaceholder;
    WrappedText *m_latestSource;
    WrappedText *m_latestTranslation;

    QWidget *m_fullBody;
    QLabel *m_fullPlaceholder;
    TranscriptView *m_list;
    TranscriptModel *m_model;
    QSpacerItem *m_spacer;

    IconButton *m_pauseButton;
    IconButton *m_resumeButton;
    TealPillButton *m_primary;
    OutlinePillButton *m_outline;

    std::array<ResizeHandle *, 5> m_handles{};
};
