#include "menubarview.h"

#include "sessioncontroller.h"
#include "authsession.h"
#include "brand.h"
#include "livehud.h"
#include "meetingdetector.h"
#include "lucide.h"
#include "serveroffer.h"
#include "serviceclient.h"
#include "settings.h"
#include "usersettings.h"
#include "shellparts.h"
#include "wrappedtext.h"

#include <QActionGroup>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QShowEvent>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include <cmath>

namespace {

// `child` with extra space above it; shown and hidden as one.
QWidget *padded(QWidget *child, int top, QWidget *parent)
{
    auto *box = new QWidget(parent);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, top, 0, 0);
    layout->setSpacing(0);
    child->setParent(box);
    layout->addWidget(child);
    return box;
}

QWidget *hbox(QWidget *parent, int spacing)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return row;
}

QLabel *label(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    QPalette palette = l->palette();
    palette.setColor(QPalette::WindowText, color);
    l->setPalette(palette);
    return l;
}

// A pill that takes the width its row leaves.
template<typename Button>
Button *stretched(Button *button)
{
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return button;
}

// The meeting card's rounded white ground with its hairline border.
class CardGround : public QWidget
{
public:
    CardGround(qreal radius, QWidget *parent)
        : QWidget(parent)
        , m_radius(radius)
    {
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), m_radius, m_radius);
        painter.fillPath(shape, Brand::card());
        QPainterPath border;
        border.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius - 0.5, m_radius - 0.5);
        painter.setPen(QPen(Brand::line(), 1));
        painter.drawPath(border);
    }

private:
    qreal m_radius;
};

// The switch's tinted track behind its two segments.
class ModeTrack : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 8, 8);
        painter.fillPath(shape, Brand::faded(Brand::ink(), 0.06));
    }
};

} // namespace

// --- MenuBarView ----------------------------------------------------------------

MenuBarView::MenuBarView(SessionController &state, UserSettings &settings, AuthSession &auth,
                         SignInHarvestHook &harvest, MenuBarActions actions, LiveHUD *hud, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_settings(settings)
    , m_auth(auth)
    , m_harvest(harvest)
    , m_actions(std::move(actions))
    , m_hud(hud)
{
    setWindowTitle(QStringLiteral("zarno"));
    setPalette(lightPalette());
    setAutoFillBackground(false);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(new HairLine(this));
    column->addWidget(buildRows());
    column->addWidget(new HairLine(this));
    column->addWidget(buildQuit());

    // Every second while a session runs: out of sight only the time is
    // kept, and the whole panel is read again when it shows.
    connect(&m_state, &SessionController::changed, this, [this](SessionController::Changes what) {
        if (what != SessionController::Change::Elapsed || isVisible())
            refresh();
        else
            showElapsed();
    });
    connect(&m_auth, &AuthSession::emailChanged, this, &MenuBarView::refresh);
    // A new detection or an answer to the prompt shows at once.
    if (MeetingWatch *detector = m_state.detector())
        connect(detector, &MeetingWatch::detectedAppChanged, this, &MenuBarView::refresh);

    // A setting changed in any view shows in every one.
    connect(&m_settings, &UserSettings::targetLanguageChanged, this, &MenuBarView::refresh);
    connect(&m_settings, &UserSettings::transcriptOnlyChanged, this, &MenuBarView::refresh);
    closeSeenSentencesOnEveryClick();
    refresh();
}

void MenuBarView::closeSeenSentencesOnEveryClick()
{
    for (QAbstractButton *button : findChildren<QAbstractButton *>()) {
        // Read as the button goes down: the action may bring a sentence of
        // its own, which the user has not seen yet.
        connect(button, &QAbstractButton::pressed, this, [this] {
            m_seenAtPress = {};
            if (!isVisible())
                return;
            if (m_errorLine->isVisibleTo(this))
                m_seenAtPress.error = m_errorText->text();
            if (m_saveFailure->isVisibleTo(this))
                m_seenAtPress.saveFailure = m_saveFailure->text();
            if (m_noticeLine->isVisibleTo(this))
                m_seenAtPress.notice = m_noticeText->text();
        });
        // Closed only once the click is done: a panel that shrank under the
        // pointer as it went down would lose the click.
        connect(button, &QAbstractButton::clicked, this, [this] {
            if (!m_seenAtPress.error.isEmpty() && m_state.lastError() == m_seenAtPress.error)
                m_closed.error = m_seenAtPress.error;
            if (!m_seenAtPress.saveFailure.isEmpty() && m_state.saveState().message() == m_seenAtPress.saveFailure)
                m_closed.saveFailure = m_seenAtPress.saveFailure;
            if (!m_seenAtPress.notice.isEmpty() && m_languageNotice == m_seenAtPress.notice)
                m_noticeTarget.clear();
            if (!m_seenAtPress.notice.isEmpty() && m_callSoundNotice == m_seenAtPress.notice)
                m_callSoundNotice.clear();
            m_seenAtPress = {};
            refresh();
        });
    }
}

QWidget *MenuBarView::buildHeader()
{
    auto *header = new QWidget(this);
    auto *column = new QVBoxLayout(header);
    column->setContentsMargins(16, 14, 16, 12);
    column->setSpacing(6);

    // Mode and language.
    auto *modeRow = hbox(header, 8);
    auto *track = new ModeTrack(modeRow);
    track->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    auto *segments = new QHBoxLayout(track);
    segments->setContentsMargins(2, 2, 2, 2);
    segments->setSpacing(0);
    m_translate = new ModeSegment(QStringLiteral("Translate"), track);
    m_transcript = new ModeSegment(QStringLiteral("Transcript"), track);
    segments->addWidget(m_translate, 1);
    segments->addWidget(m_transcript, 1);
    connect(m_translate, &QAbstractButton::clicked, this, [this] { m_settings.setTranscriptOnly(false); });
    connect(m_transcript, &QAbstractButton::clicked, this, [this] { m_settings.setTranscriptOnly(true); });

    auto *modeLayout = static_cast<QHBoxLayout *>(modeRow->layout());
    modeLayout->addWidget(track, 1, Qt::AlignVCenter);
    column->addWidget(padded(modeRow, 4, header));

    // The language takes a row of its own: beside the switch, half the
    // width cut "Auto-detect → Portuguese" short.
    m_language = new LanguageMenuButton(header);
    m_languageMenu = new QMenu(m_language);
    m_languageMenu->setPalette(lightPalette());
    m_languageMenu->setFont(Brand::font(13));
    m_languageMenu->setToolTipsVisible(true);
    auto *choices = new QActionGroup(m_languageMenu);
    for (const TargetLanguage &language : supportedTargetLanguages()) {
        QAction *item = m_languageMenu->addAction(languagePrefix + language.name);
        item->setCheckable(true);
        choices->addAction(item);
        item->setData(language.code);
        const QString code = language.code;
        connect(item, &QAction::triggered, this, [this, code] { m_settings.setTargetLanguage(code); });
    }
    connect(m_language, &QAbstractButton::clicked, this, [this] {
        m_languageMenu->popup(m_language->mapToGlobal(QPoint(0, m_language->height() + 4)));
    });
    column->addWidget(m_language);

    m_meetingCard = padded(buildMeetingCard(), 6, header);
    column->addWidget(m_meetingCard);

    m_noticeText = new WrappedText(Brand::font(12), Brand::inkSoft());
    m_noticeText->setObjectName(QStringLiteral("noticeText"));
    m_noticeLine = padded(m_noticeText, 2, header);
    m_noticeLine->setVisible(false);
    column->addWidget(m_noticeLine);

    m_errorText = new WrappedText(Brand::font(12), Brand::tomato());
    m_errorText->setObjectName(QStringLiteral("errorText"));
    m_errorLine = padded(m_errorText, 2, header);
    column->addWidget(m_errorLine);

    column->addWidget(padded(buildControls(), 8, header));

    m_saveLine = padded(buildSaveLine(), 2, header);
    column->addWidget(m_saveLine);
    return header;
}

QWidget *MenuBarView::buildMeetingCard()
{
    auto *card = new CardGround(8, this);
    card->setObjectName(QStringLiteral("meetingCard"));
    auto *column = new QVBoxLayout(card);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(9);

    auto *title = hbox(card, 8);
    title->layout()->addWidget(new LucideIcon(QStringLiteral("video"), 14, Brand::ink(), title));
    m_meetingText = new WrappedText(Brand::font(12.5, Brand::Weight::Semibold), Brand::ink(), Qt::AlignLeft, title);
    m_meetingText->setObjectName(QStringLiteral("meetingText"));
    static_cast<QHBoxLayout *>(title->layout())->addWidget(m_meetingText, 1);
    for (int i = 0; i < title->layout()->count(); ++i)
        title->layout()->itemAt(i)->setAlignment(Qt::AlignVCenter);
    column->addWidget(title);

    auto *buttons = hbox(card, 8);
    auto *take = stretched(new TealPillButton(QStringLiteral("Take notes"), buttons));
    auto *notNow = new OutlinePillButton(QStringLiteral("Not now"), buttons);
    buttons->layout()->addWidget(take);
    buttons->layout()->addWidget(notNow);
    connect(take, &QAbstractButton::clicked, this, &MenuBarView::takeNotes);
    connect(notNow, &QAbstractButton::clicked, this, &MenuBarView::notNow);
    column->addWidget(buttons);
    return card;
}

QWidget *MenuBarView::buildControls()
{
    auto *controls = new QWidget(this);
    auto *column = new QVBoxLayout(controls);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_listeningControls = hbox(controls, 8);
    auto *pause = new OutlinePillButton(QStringLiteral("Pause"), m_listeningControls);
    m_stopButton = stretched(new ElapsedPillButton(QString(), m_listeningControls));
    m_listeningControls->layout()->addWidget(pause);
    m_listeningControls->layout()->addWidget(m_stopButton);
    connect(pause, &QAbstractButton::clicked, this, [this] { m_state.pauseListening(); });
    connect(m_stopButton, &QAbstractButton::clicked, this, [this] { m_state.stopAndSave(); });

    m_pausedControls = hbox(controls, 8);
    m_resumeButton = stretched(new ElapsedPillButton(QString(), m_pausedControls));
    auto *save = new OutlinePillButton(QStringLiteral("Save notes"), m_pausedControls);
    m_pausedControls->layout()->addWidget(m_resumeButton);
    m_pausedControls->layout()->addWidget(save);
    connect(m_resumeButton, &QAbstractButton::clicked, this, [this] { m_state.resumeListening(); });
    connect(save, &QAbstractButton::clicked, this, [this] { m_state.stopAndSave(); });

    m_idleControls = hbox(controls, 0);
    auto *take = stretched(new TealPillButton(QStringLiteral("Take notes"), m_idleControls));
    m_idleControls->layout()->addWidget(take);
    connect(take, &QAbstractButton::clicked, this, &MenuBarView::takeNotes);

    column->addWidget(m_listeningControls);
    column->addWidget(m_pausedControls);
    column->addWidget(m_idleControls);
    return controls;
}

QWidget *MenuBarView::buildSaveLine()
{
    auto *line = new QWidget(this);
    auto *column = new QVBoxLayout(line);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_savedRow = hbox(line, 6);
    auto *savedLayout = static_cast<QHBoxLayout *>(m_savedRow->layout());
    savedLayout->addWidget(
        label(QStringLiteral("✓ Notes saved"), Brand::font(12, Brand::Weight::Medium), Brand::action(), m_savedRow));
    savedLayout->addStretch(1);
    auto *seeNotes = new TextButton(QStringLiteral("See notes"), Brand::font(12, Brand::Weight::Semibold),
                                    Brand::action(), m_savedRow);
    savedLayout->addWidget(seeNotes);
    connect(seeNotes, &QAbstractButton::clicked, this, [this] { m_state.openSavedNotes(); });

    m_saveFailure = new WrappedText(Brand::font(12), Brand::tomato(), Qt::AlignLeft, line);
    m_saveFailure->setObjectName(QStringLiteral("saveFailure"));
    column->addWidget(m_savedRow);
    column->addWidget(m_saveFailure);
    return line;
}

QWidget *MenuBarView::buildRows()
{
    auto *rows = new QWidget(this);
    auto *column = new QVBoxLayout(rows);
    column->setContentsMargins(8, 6, 8, 6);
    column->setSpacing(0);
    auto *open = new IconRowButton(QStringLiteral("arrow-up-right"), QStringLiteral("Open zarno"), Brand::action(), rows);
    auto *live = new IconRowButton(QStringLiteral("mic"), QStringLiteral("Show live panel"), Brand::ink(), rows);
    auto *signIn = new IconRowButton(QStringLiteral("log-in"), QStringLiteral("Sign in"), Brand::action(), rows);
    m_signInRow = signIn;
    column->addWidget(open);
    column->addWidget(live);
    column->addWidget(signIn);
    connect(open, &QAbstractButton::clicked, this, &MenuBarView::openMainWindow);
    connect(live, &QAbstractButton::clicked, this, &MenuBarView::showLivePanel);
    connect(signIn, &QAbstractButton::clicked, this, &MenuBarView::openMainWindow);
    return rows;
}

QWidget *MenuBarView::buildQuit()
{
    auto *block = new QWidget(this);
    auto *column = new QVBoxLayout(block);
    column->setContentsMargins(8, 6, 8, 6);
    column->setSpacing(0);
    // On unless the user turns it off; read at each leg's start.
    auto *callSound = new MenuRowButton(callSoundText, Brand::ink(), block);
    callSound->setObjectName(QStringLiteral("includeCallSound"));
    callSound->setCheckable(true);
    m_callSoundRow = callSound;
    column->addWidget(callSound);
    connect(callSound, &QAbstractButton::clicked, this, [this](bool on) { m_settings.setIncludeCallSound(on); });
    connect(&m_settings, &UserSettings::includeCallSoundChanged, this, [this] {
        m_callSoundNotice.clear(); // no longer applies either way
        refresh();
    });
    connect(&m_settings, &UserSettings::callSoundMissing, this, [this](const QString &sentence) {
        m_callSoundNotice = sentence;
        refresh();
    });
    // Off unless the user turns it on; the desktop's autostart entry is the
    // truth, so a change made in the desktop's settings shows here too.
    auto *startAtLogin = new MenuRowButton(QStringLiteral("Start at login"), Brand::ink(), block);
    startAtLogin->setObjectName(QStringLiteral("startAtLogin"));
    startAtLogin->setCheckable(true);
    m_startAtLoginRow = startAtLogin;
    column->addWidget(startAtLogin);
    connect(startAtLogin, &QAbstractButton::clicked, this,
            [this](bool on) { m_settings.setStartAtLogin(on); refresh(); });
    connect(&m_settings, &UserSettings::startAtLoginChanged, this, &MenuBarView::refresh);
    auto *settings = new MenuRowButton(QStringLiteral("Settings…"), Brand::ink(), block);
    column->addWidget(settings);
    connect(settings, &QAbstractButton::clicked, this, &MenuBarView::openSettings);
    auto *quit = new MenuRowButton(QStringLiteral("Quit zarno"), Brand::ink(), block);
    column->addWidget(quit);
    connect(quit, &QAbstractButton::clicked, this, &MenuBarView::quit);
    return block;
}

void MenuBarView::refresh()
{
    const bool transcriptOnly = m_settings.transcriptOnly();
    m_translate->setSelected(!transcriptOnly);
    m_transcript->setSelected(transcriptOnly);
    // The stored code is shown as its name; an unknown one is left as it is
    // until the user picks a language.
    const QString chosen = languageName(m_settings.targetLanguage());
    m_language->setText(languagePrefix + chosen);
    for (QAction *item : m_languageMenu->actions())
        item->setChecked(item->text() == languagePrefix + chosen);
    m_language->setEnabled(!transcriptOnly);
    m_language->setFaint(transcriptOnly);

    const bool listening = m_state.phase() == SessionController::Phase::Listening;
    const bool paused = SessionController::readsPaused(m_state.phase());
    const MeetingWatch *detector = m_state.detector();
    const std::optional<QString> meeting = detector ? detector->detectedApp() : std::nullopt;
    const bool offered = meeting.has_value() && !listening;
    m_meetingCard->setVisible(offered);
    // A program's name reads "in Zoom"; the microphone's own finding is a
    // sentence of its own.
    m_meetingText->setText(meeting == MeetingDetector::genericSource()
                               ? QStringLiteral("Meeting detected — ") + *meeting
                               : QStringLiteral("Meeting detected in ") + meeting.value_or(QString()));

    const QString error = m_state.lastError().value_or(QString());
    // A sentence that changed is news again, even when it comes back.
    if (error != m_closed.error)
        m_closed.error.clear();
    // Signed in since, the request to sign in no longer applies.
    const bool answered = error == SessionController::notSignedInText && !m_auth.email().isNull();
    m_errorLine->setVisible(!error.isEmpty() && error != m_closed.error && !answered);
    m_errorText->setText(error);
    m_errorText->setColor(SessionController::isNotice(error) ? Brand::inkSoft() : Brand::tomato());
    // Said once: it goes with the next action, or when its cause does.
    const bool languageNotice = !m_noticeTarget.isEmpty() && m_noticeTarget == m_settings.targetLanguage();
    m_noticeText->setText(languageNotice ? m_languageNotice : m_callSoundNotice);
    m_noticeLine->setVisible(!m_noticeText->text().isEmpty());

    m_listeningControls->setVisible(listening);
    m_pausedControls->setVisible(!listening && paused);
    // The meeting card's own "Take notes" stands alone.
    m_idleControls->setVisible(!listening && !paused && !offered);
    showElapsed();
    m_stopButton->updateGeometry();
    m_resumeButton->updateGeometry();

    const SaveState save = m_state.saveState();
    const bool saved = save.kind() == SaveState::Kind::Saved;
    if (save.message() != m_closed.saveFailure)
        m_closed.saveFailure.clear();
    const bool failed =
        save.kind() == SaveState::Kind::Failed && !save.message().isEmpty() && save.message() != m_closed.saveFailure;
    m_savedRow->setVisible(saved);
    m_saveFailure->setVisible(failed);
    m_saveFailure->setText(failed ? save.message() : QString());
    m_saveLine->setVisible(saved || failed);

    m_signInRow->setVisible(m_auth.email().isNull());
    const bool startsAtLogin = m_settings.startAtLogin();
    m_startAtLoginRow->setChecked(startsAtLogin);
    m_startAtLoginRow->setText(startsAtLogin ? QStringLiteral("Start at login  ✓") : QStringLiteral("Start at login"));
    const bool callSound = m_settings.includeCallSound();
    m_callSoundRow->setChecked(callSound);
    m_callSoundRow->setText(callSound ? callSoundText + QStringLiteral("  ✓") : callSoundText);

    // Fixed width, natural height: wrapped text grows the panel downwards.
    // Rows shown or hidden just now have not told their layouts yet.
    for (QWidget *child : findChildren<QWidget *>())
        child->updateGeometry();
    QLayout *column = layout();
    column->invalidate();
    const int height = column->hasHeightForWidth() ? column->totalHeightForWidth(panelWidth)
                                                   : column->totalSizeHint().height();
    setFixedSize(panelWidth, height);
    update();
}

void MenuBarView::showElapsed()
{
    m_stopButton->setText(QStringLiteral("Stop & save · ") + m_state.elapsed());
    m_resumeButton->setText(QStringLiteral("Resume · ") + m_state.elapsed());
}

void MenuBarView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The window system's own show events (a restore) are not appearances.
    if (event->spontaneous())
        return;
    refresh();
    m_harvest.harvest();
    askWhatTheServerOffers();
}

QCoro::Task<> MenuBarView::askWhatTheServerOffers()
{
    if (m_asking)
        co_return;
    QPointer<MenuBarView> self(this);
    m_asking = true;
    const ServiceAnswer answer = co_await m_auth.client().configuration(std::chrono::seconds(5));
    if (!self)
        co_return;
    m_asking = false;
    // An unreachable server says nothing; what it said last still stands.
    if (!answer.ok)
        co_return;
    m_offeredTargets = ServerOffer::translationTargets(answer.body);
    markOfferedLanguages();
}

void MenuBarView::markOfferedLanguages()
{
    QString firstOffered;
    for (QAction *item : m_languageMenu->actions()) {
        const bool offered = ServerOffer::offers(m_offeredTargets, item->data().toString());
        item->setEnabled(offered);
        item->setToolTip(offered ? QString() : notOfferedTip);
        if (offered && firstOffered.isEmpty())
            firstOffered = item->data().toString();
    }
    // A target the server cannot serve would be streamed all the same: the
    // first one it serves takes its place, said here once.
    const QString chosen = ZarnoSettings::load().languageB;
    if (ServerOffer::offers(m_offeredTargets, chosen) || firstOffered.isEmpty())
        return;
    m_settings.setTargetLanguage(firstOffered);
    m_languageNotice = QStringLiteral("%1 is not available on this server, so zarno translates into %2.")
                           .arg(languageName(chosen), languageName(firstOffered));
    m_noticeTarget = firstOffered;
    refresh();
}

void MenuBarView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Brand::paper());
}

void MenuBarView::takeNotes()
{
    if (MeetingWatch *detector = m_state.detector())
        detector->setDetectedApp(std::nullopt);
    m_state.startListening();
    hud().attach(&m_state);
    // The live panel takes over; the menu would only hide its status.
    Q_EMIT closeRequested();
}

void MenuBarView::notNow()
{
    if (MeetingWatch *detector = m_state.detector())
        detector->setDetectedApp(std::nullopt);
    refresh();
}

void MenuBarView::showLivePanel()
{
    LiveHUD &panel = hud();
    panel.attach(&m_state);
    panel.expand();
    Q_EMIT closeRequested();
}

void MenuBarView::openMainWindow()
{
    Q_EMIT closeRequested();
    if (m_actions.openMainWindow)
        m_actions.openMainWindow();
}

void MenuBarView::openSettings()
{
    Q_EMIT closeRequested();
    if (m_actions.openSettings)
        m_actions.openSettings();
}

void MenuBarView::quit()
{
    Q_EMIT closeRequested();
    if (m_actions.quit)
        m_actions.quit();
}

LiveHUD &MenuBarView::hud() const
{
    return m_hud ? *m_hud : LiveHUD::shared();
}
