#include "hudpanel.h"

#include "sessioncontroller.h"
#include "brand.h"
#include "buttons.h"
#include "hudparts.h"
#include "iconbutton.h"
#include "livehud.h"
#include "lucide.h"
#include "recordingdot.h"
#include "screendrag.h"
#include "tabulartext.h"
#include "transcriptmodel.h"
#include "transcriptview.h"
#include "wrappedtext.h"

#include <QBoxLayout>
#include <QLabel>
#include <QResizeEvent>

namespace {

const QString listeningPrefix = QStringLiteral("Listening · ");
const QString pausedPrefix = QStringLiteral("Paused · ");

void paint(QWidget *widget, const QColor &color)
{
    // Asked every second with the colour it already has.
    if (widget->palette().color(QPalette::WindowText) == color && widget->palette().color(QPalette::Text) == color)
        return;
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QLabel *makeLabel(const QString &name, const QFont &font, const QColor &color, QWidget *parent,
                  QLabel *label = nullptr)
{
    if (!label)
        label = new QLabel(parent);
    label->setObjectName(name);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    paint(label, color);
    return label;
}

WrappedText *clampedText(const QFont &font, const QColor &color, int maxLines, QWidget *parent)
{
    auto *text = new WrappedText(font, color, Qt::AlignLeft, parent);
    text->setMaxLines(maxLines);
    return text;
}

// An icon-only control says what it does to the pointer and to a screen
// reader, and Tab reaches it once the panel has the keyboard; a click still
// never takes the focus from the program the user is in.
void describe(QWidget *control, const QString &what)
{
    control->setToolTip(what);
    control->setAccessibleName(what);
    control->setFocusPolicy(Qt::TabFocus);
}

} // namespace

HUDPanel::HUDPanel(LiveHUD *hud, QWidget *parent)
    : QWidget(parent)
    , m_hud(hud)
{
    setObjectName(QStringLiteral("panel"));
    setCursor(Qt::ArrowCursor);
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);

    addStatusRow();
    m_error = makeLabel(QStringLiteral("errorLine"), Brand::font(12), Brand::tomato(), this);
    m_error->setWordWrap(true);
    m_error->setContentsMargins(16, 4, 16, 0);
    m_layout->addWidget(m_error);

    addCompactBody();
    addFullBody();
    addControls();
    connectControls();

    // Dragging the card moves the window; the handles resize it.
    ScreenDrag *mover = movesHUD(this, hud);
    mover->watch(m_list->viewport());
    using HUDGeometry::Corner;
    m_handles = {new ResizeHandle(Corner::Left, hud, this), new ResizeHandle(Corner::Right, hud, this),
                 new ResizeHandle(Corner::Bottom, hud, this), new ResizeHandle(Corner::BottomLeft, hud, this),
                 new ResizeHandle(Corner::BottomRight, hud, this)};

    setFull(false);
    refreshStatus();
    refreshTranscript();
}

void HUDPanel::addStatusRow()
{
    auto *status = new QHBoxLayout;
    status->setContentsMargins(16, 10, 10, 0);
    status->setSpacing(7);
    m_statusDot = new RecordingDot(Brand::tomato(), false, 8, this);
    m_statusDot->setObjectName(QStringLiteral("statusDot"));
    m_statusPause = new LucideIcon(QStringLiteral("pause"), 12, Brand::marigold(), this);
    m_statusPause->setObjectName(QStringLiteral("statusPause"));
    m_statusText = makeLabel(QStringLiteral("statusText"), Brand::font(13, Brand::Weight::Semibold), Brand::ink(), this,
                             new TabularLabel(this));
    m_collapse = new IconButton(QStringLiteral("minimize-2"), 13, Brand::inkSoft(), 26, this);
    m_collapse->setObjectName(QStringLiteral("collapseButton"));
    describe(m_collapse, QStringLiteral("Collapse"));
    status->addWidget(m_statusDot, 0, Qt::AlignVCenter);
    status->addWidget(m_statusPause, 0, Qt::AlignVCenter);
    status->addWidget(m_statusText, 0, Qt::AlignVCenter);
    status->addStretch(1);
    status->addWidget(m_collapse, 0, Qt::AlignVCenter);
    m_layout->addLayout(status);
}

void HUDPanel::addCompactBody()
{
    // Compact body: the newest text only.
    m_compact = new QWidget(this);
    auto *compact = new QVBoxLayout(m_compact);
    compact->setContentsMargins(16, 6, 16, 0);
    compact->setSpacing(3);
    m_latestPartial = clampedText(Brand::font(13.5, Brand::Weight::Regular, true), Brand::inkSoft(), 2, m_compact);
    m_latestPartial->setObjectName(QStringLiteral("latestPartial"));
    m_compactPlaceholder = makeLabel(QStringLiteral("compactPlaceholder"), Brand::font(13), Brand::inkFaint(), m_compact);
    m_compactPlaceholder->setWordWrap(true);
    m_latestSource = clampedText(Brand::font(13.5, Brand::Weight::Medium), Brand::ink(), 2, m_compact);
    m_latestSource->setObjectName(QStringLiteral("latestSource"));
    m_latestTranslation = clampedText(Brand::font(12.5), Brand::inkSoft(), 1, m_compact);
    m_latestTranslation->setObjectName(QStringLiteral("latestTranslation"));
    compact->addWidget(m_latestPartial);
    compact->addWidget(m_compactPlaceholder);
    compact->addWidget(m_latestSource);
    compact->addWidget(m_latestTranslation);
    m_layout->addWidget(m_compact);
}

void HUDPanel::addFullBody()
{
    // Full body: every line as a bubble.
    m_fullBody = new QWidget(this);
    auto *full = new QVBoxLayout(m_fullBody);
    full->setContentsMargins(0, 6, 0, 0);
    full->setSpacing(0);
    m_fullPlaceholder = makeLabel(QStringLiteral("fullPlaceholder"), Brand::font(13), Brand::inkFaint(), m_fullBody);
    m_fullPlaceholder->setWordWrap(true);
    m_fullPlaceholder->setContentsMargins(TranscriptView::paddingH, 6, TranscriptView::paddingH, 0);
    m_model = new TranscriptModel(this);
    m_list = new TranscriptView(m_fullBody);
    m_list->setObjectName(QStringLiteral("transcript"));
    m_list->setModel(m_model);
    full->addWidget(m_fullPlaceholder);
    full->addWidget(m_list, 1);
    m_layout->addWidget(m_fullBody, 1);

    m_spacer = new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding);
    m_layout->addSpacerItem(m_spacer);
}

void HUDPanel::addControls()
{
    auto *controls = new QHBoxLayout;
    controls->setContentsMargins(24, 8, 24, 12);
    controls->setSpacing(8);
    m_pauseButton = new IconButton(QStringLiteral("pause"), 14, Brand::ink(), 34, this);
    m_pauseButton->setObjectName(QStringLiteral("pauseButton"));
    m_pauseButton->setCircle(Qt::transparent, Brand::line());
    describe(m_pauseButton, QStringLiteral("Pause"));
    m_resumeButton = new IconButton(QStringLiteral("play"), 14, Qt::white, 34, this);
    m_resumeButton->setObjectName(QStringLiteral("resumeButton"));
    m_resumeButton->setCircle(Brand::action(), Qt::transparent);
    describe(m_resumeButton, QStringLiteral("Resume"));
    m_primary = new TealPillButton(QString(), this);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    m_outline = new OutlinePillButton(QStringLiteral("Save notes"), this);
    m_outline->setObjectName(QStringLiteral("outlineButton"));
    controls->addWidget(m_pauseButton, 0, Qt::AlignVCenter);
    controls->addWidget(m_resumeButton, 0, Qt::AlignVCenter);
    controls->addStretch(1);
    controls->addWidget(m_primary, 0, Qt::AlignVCenter);
    controls->addWidget(m_outline, 0, Qt::AlignVCenter);
    m_layout->addLayout(controls);
}

// Buttons call the session's operations; the state object decides.
void HUDPanel::connectControls()
{
    QObject::connect(m_collapse, &QAbstractButton::clicked, this, [this] {
        if (m_hud)
            m_hud->collapse();
    });
    QObject::connect(m_pauseButton, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->pauseListening();
    });
    QObject::connect(m_resumeButton, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->resumeListening();
    });
    QObject::connect(m_outline, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->stopAndSave();
    });
    QObject::connect(m_primary, &QAbstractButton::clicked, this, [this] {
        if (!m_state)
            return;
        if (m_state->phase() == SessionController::Phase::Listening)
            m_state->stopAndSave();
        else if (m_state->saveState().kind() == SaveState::Kind::Saved)
            m_state->openSavedNotes();
        else if (m_state->saveState().kind() == SaveState::Kind::Failed)
            m_state->stopAndSave();
        else
            m_state->startListening();
    });
}

void HUDPanel::setState(SessionController *state)
{
    if (m_state == state)
        return;
    if (m_state) {
        m_state->disconnect(this);
        m_state->transcript()->disconnect(this);
    }
    m_state = state;
    m_model->setTranscript(state ? state->transcript() : nullptr);
    if (state) {
        QObject::connect(state, &SessionController::changed, this, [this](SessionController::Changes what) {
            using Change = SessionController::Change;
            if (what & (Change::Phase | Change::Save)) {
                refreshStatus();
                refreshTranscript();
            } else if (what & Change::Sentence) {
                refreshStatus();
            }
            if (what & Change::Elapsed) {
                // Out of sight (collapsed), the time is brought up to date when it shows.
                if (isVisible())
                    refreshElapsed();
            }
        });
        const Transcript *transcript = state->transcript();
        QObject::connect(transcript, &Transcript::linesReset, this, [this] {
            rescanNewest();
            refreshTranscript();
        });
        QObject::connect(transcript, &Transcript::lineAppended, this, &HUDPanel::onLineAppended);
        QObject::connect(transcript, &Transcript::lastLineChanged, this, &HUDPanel::refreshTranscript);
        QObject::connect(transcript, &Transcript::partialChanged, this, &HUDPanel::refreshTranscript);
    }
    rescanNewest();
    refreshStatus();
    refreshTranscript();
}

QString HUDPanel::placeholderText() const
{
    if (m_state && m_state->phase() == SessionController::Phase::Listening)
        return listeningPlaceholder;
    if (m_state && m_state->saveState().kind() == SaveState::Kind::Saved)
        return savedPlaceholder;
    return idlePlaceholder;
}

// A tick changes the time on the status row and nothing else.
void HUDPanel::refreshElapsed()
{
    const SessionController::Phase phase = m_state ? m_state->phase() : SessionController::Phase::Idle;
    if (phase != SessionController::Phase::Listening && !SessionController::readsPaused(phase))
        return refreshStatus();
    m_statusText->setText((phase == SessionController::Phase::Listening ? listeningPrefix : pausedPrefix)
                          + m_state->elapsed());
    if (const QSize size = m_statusText->sizeHint(); size != m_statusText->minimumSize())
        m_statusText->setFixedSize(size);
}

void HUDPanel::refreshStatus()
{
    const SessionController::Phase phase = m_state ? m_state->phase() : SessionController::Phase::Idle;
    const bool listening = phase == SessionController::Phase::Listening;
    const bool paused = SessionController::readsPaused(phase);
    const bool saving = phase == SessionController::Phase::Uploading;
    const SaveState::Kind save = m_state ? m_state->saveState().kind() : SaveState::Kind::Idle;
    const QString elapsed = m_state ? m_state->elapsed() : QStringLiteral("0:00");

    // Status row: the first state that holds.
    bool dot = false;
    QColor dotColor = Brand::tomato();
    if (listening) {
        dot = true;
        m_statusText->setText(listeningPrefix + elapsed);
        paint(m_statusText, Brand::tomato());
    } else if (paused) {
        m_statusText->setText(pausedPrefix + elapsed);
        paint(m_statusText, Brand::ink());
    } else if (saving) {
        m_statusText->setText(QStringLiteral("Saving notes…"));
        paint(m_statusText, Brand::inkSoft());
    } else if (save == SaveState::Kind::Saved) {
        m_statusText->setText(QStringLiteral("✓ Notes saved"));
        paint(m_statusText, Brand::action());
    } else {
        dot = true;
        dotColor = Brand::inkFaint();
        m_statusText->setText(QStringLiteral("Not listening"));
        paint(m_statusText, Brand::ink());
    }
    m_statusDot->setVisible(dot);
    m_statusDot->setColor(dotColor);
    m_statusDot->setBreathing(listening);
    m_statusPause->setVisible(!listening && paused);
    // Held at its size, the label does not lay the panel out again every
    // second: with digits of equal width the size changes only with the words.
    m_statusText->setFixedSize(m_statusText->sizeHint());

    // The error shows only while not listening.
    const std::optional<QString> error = m_state ? m_state->lastError() : std::nullopt;
    m_error->setVisible(error.has_value() && !listening);
    m_error->setText(error.value_or(QString()));
    paint(m_error, error && SessionController::isNotice(*error) ? Brand::inkSoft() : Brand::tomato());

    // Controls: the first state that holds.
    m_pauseButton->setVisible(listening);
    m_resumeButton->setVisible(!listening && paused);
    m_outline->setVisible(!listening && paused);
    // While the notes are on their way there is nothing to start yet.
    m_primary->setVisible(listening || (!paused && !saving));
    if (listening)
        m_primary->setText(QStringLiteral("Stop & save"));
    else if (save == SaveState::Kind::Saved)
        m_primary->setText(QStringLiteral("See notes"));
    else if (save == SaveState::Kind::Failed)
        m_primary->setText(QStringLiteral("Save again"));
    else
        m_primary->setText(QStringLiteral("Take notes"));
}

void HUDPanel::rescanNewest()
{
    m_newestSource = -1;
    m_newestTranslation = -1;
    if (!m_state)
        return;
    const QList<TranscriptLine> &lines = m_state->transcript()->lines();
    for (qsizetype row = lines.size() - 1; row >= 0 && (m_newestSource < 0 || m_newestTranslation < 0); --row) {
        qsizetype &slot = lines.at(row).isTranslation ? m_newestTranslation : m_newestSource;
        if (slot < 0)
            slot = row;
    }
}

void HUDPanel::onLineAppended(qsizetype row)
{
    if (m_state && row >= 0 && row < m_state->transcript()->lines().size())
        (m_state->transcript()->lines().at(row).isTranslation ? m_newestTranslation : m_newestSource) = row;
    refreshTranscript();
}

void HUDPanel::refreshTranscript()
{
    const bool empty = !m_state || (m_state->transcript()->lines().isEmpty() && m_state->transcript()->partial().isEmpty());
    if (m_full) {
        m_fullPlaceholder->setVisible(empty);
        if (empty)
            m_fullPlaceholder->setText(placeholderText());
    } else {
        refreshLatest();
    }
}

void HUDPanel::refreshLatest()
{
    const QString partial = m_state ? m_state->transcript()->partial() : QString();
    const QList<TranscriptLine> empty;
    const QList<TranscriptLine> &lines = m_state ? m_state->transcript()->lines() : empty;
    const bool hasSource = m_newestSource >= 0 && m_newestSource < lines.size();

    m_latestPartial->setVisible(!partial.isEmpty());
    m_latestPartial->setText(partial);
    m_compactPlaceholder->setVisible(partial.isEmpty() && !hasSource);
    m_compactPlaceholder->setText(placeholderText());

    bool showSource = partial.isEmpty() && hasSource;
    bool showTranslation = false;
    if (showSource) {
        const TranscriptLine &source = lines.at(m_newestSource);
        m_latestSource->setText(trimmedSpacesAndTabs(source.text));
        // A translation older than its source belongs to an earlier sentence.
        if (m_newestTranslation >= 0 && m_newestTranslation < lines.size()) {
            const TranscriptLine &translation = lines.at(m_newestTranslation);
            showTranslation = !(translation.t < source.t);
            if (showTranslation)
                m_latestTranslation->setText(trimmedSpacesAndTabs(translation.text));
        }
    }
    m_latestSource->setVisible(showSource);
    m_latestTranslation->setVisible(showTranslation);
}

void HUDPanel::setFull(bool full)
{
    m_full = full;
    m_compact->setVisible(!full);
    m_fullBody->setVisible(full);
    m_spacer->changeSize(0, 0, QSizePolicy::Minimum, full ? QSizePolicy::Fixed : QSizePolicy::Expanding);
    m_layout->invalidate();
    refreshTranscript();
}

void HUDPanel::applyPreview()
{
    const bool preview = m_hud && m_hud->isPreview();
    if (preview == m_preview)
        return;
    m_preview = preview;
    m_list->setAnimated(!preview);
    m_list->setVerticalPadding(preview ? 4 : 6);
}

void HUDPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshStatus();
}

void HUDPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    applyPreview();
    const bool full = height() >= LiveHUD::fullTranscriptHeight;
    if (full != m_full)
        setFull(full);
    for (ResizeHandle *handle : m_handles) {
        handle->place(rect());
        handle->raise();
    }
}
