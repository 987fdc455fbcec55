#include "zarnowindow.h"

#include "sessioncontroller.h"
#include "authsession.h"
#include "brand.h"
#include "buttons.h"
#include "iconbutton.h"
#include "lucide.h"
#include "settings.h"
#include "shellparts.h"
#include "webviewholder.h"
#include "wrappedtext.h"

#include <QCloseEvent>
#include <QHideEvent>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSettings>
#include <QShortcut>
#include <QShowEvent>
#include <QSvgRenderer>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWindow>

namespace {

// The logo as a template in the action colour.
class CardLogo : public QWidget
{
public:
    explicit CardLogo(QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(34, 34);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        const auto logo = AppAssets::menuBarLogo();
        if (!logo)
            return;
        // Scaled to fit the square, keeping the logo's proportions.
        QSizeF natural = logo->defaultSize();
        if (natural.isEmpty())
            natural = QSizeF(size());
        const QSizeF fitted = natural.scaled(QSizeF(size()), Qt::KeepAspectRatio);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        paintTemplate(painter, *logo,
                      QRectF(QPointF((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted),
                      Brand::action());
    }
};

} // namespace

// --- TitleStrip -----------------------------------------------------------------

TitleStrip::TitleStrip(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(stripSize);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addSpacing(windowButtonsRoom);
    if (underTheTitleBar) {
        m_sidebar = new IconButton(QStringLiteral("panel-left"), 15, Brand::inkSoft(), 26, this);
        m_sidebar->setFixedSize(26, 22);
        m_sidebar->setToolTip(QStringLiteral("Show or hide the sidebar"));
        m_sidebar->setAccessibleName(m_sidebar->toolTip());
        row->addWidget(m_sidebar, 0, Qt::AlignVCenter);
    }
    m_sessionControls = new IconButton(QStringLiteral("mic"), 14, Brand::inkSoft(), 26, this);
    m_sessionControls->setFixedSize(26, 22);
    m_sessionControls->setToolTip(QStringLiteral("Session controls"));
    m_sessionControls->setAccessibleName(m_sessionControls->toolTip());
    row->addWidget(m_sessionControls, 0, Qt::AlignVCenter);
    row->addStretch(1);
}

void TitleStrip::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // The window manager moves the window; without one nothing happens.
    if (QWindow *handle = window()->windowHandle())
        handle->startSystemMove();
    event->accept();
}

// --- SignedInCard ---------------------------------------------------------------

SignedInCard::SignedInCard(QWidget *parent)
    : QWidget(parent)
{
    setPalette(lightPalette());
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(14);

    if (AppAssets::menuBarLogo()) {
        m_hasLogo = true;
        column->addWidget(new CardLogo(this), 0, Qt::AlignHCenter);
    }
    QFont titleFont = Brand::font(17, Brand::Weight::Semibold);
    titleFont.setWeight(QFont::Bold);
    m_title = new WrappedText(titleFont, Brand::ink(), Qt::AlignHCenter, this);
    m_title->setObjectName(QStringLiteral("title"));
    column->addWidget(m_title);
    auto *body = new WrappedText(Brand::font(13), Brand::inkSoft(), Qt::AlignHCenter, this);
    body->setObjectName(QStringLiteral("body"));
    body->setText(bodyText);
    column->addWidget(body);

    column->addSpacing(4);
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addStretch(1);
    m_takeNotes = new TealPillButton(QStringLiteral("Take notes now"), this);
    m_stay = new OutlinePillButton(QStringLiteral("Stay here"), this);
    buttons->addWidget(m_takeNotes, 0, Qt::AlignVCenter);
    buttons->addWidget(m_stay, 0, Qt::AlignVCenter);
    buttons->addStretch(1);
    column->addLayout(buttons);
    setEmail(QString());
}

void SignedInCard::setEmail(const QString &email)
{
    QString title = QStringLiteral("You're signed in");
    if (!email.isEmpty())
        title += QStringLiteral(" as ") + email;
    m_title->setText(title);
}

QString SignedInCard::title() const
{
    return m_title->text();
}

int SignedInCard::naturalHeight()
{
    layout()->invalidate();
    return layout()->totalHeightForWidth(cardWidth);
}

void SignedInCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 16, 16);
    painter.fillPath(shape, Brand::card());
    QPainterPath border;
    border.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 15.5, 15.5);
    painter.setPen(QPen(Brand::line(), 1));
    painter.drawPath(border);
}

// --- ZarnoWindowView ------------------------------------------------------------

ZarnoWindowView::ZarnoWindowView(SessionController &state, AuthSession &auth, WebViewHolder &holder, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_auth(auth)
    , m_holder(holder)
    , m_wasSignedIn(auth.isSignedIn())
{
    setObjectName(windowId);
    setWindowTitle(QStringLiteral("zarno"));
    setPalette(lightPalette());
    setAutoFillBackground(true);
    resize(defaultSize);
    // A size or place the desktop cannot give any more (a screen gone) is
    // put right by restoreGeometry itself.
    restoreGeometry(ZarnoSettings::standardStore().value(geometryKey).toByteArray());

    m_strip = new TitleStrip(this);
    if (m_strip->sidebarButton())
        connect(m_strip->sidebarButton(), &QAbstractButton::clicked, this, &ZarnoWindowView::clickSidebar);

    // Ctrl+W puts the window away (zarno stays in the tray); Ctrl+Q quits.
    auto *close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    auto *settings = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(settings, &QShortcut::activated, this, &ZarnoWindowView::settingsRequested);
    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &ZarnoWindowView::quitByKeyboard);
    connect(m_strip->sessionControlsButton(), &QAbstractButton::clicked, this, [this] {
        QAbstractButton *button = m_strip->sessionControlsButton();
        Q_EMIT sessionControlsRequested(QRect(button->mapToGlobal(QPoint(0, 0)), button->size()));
    });

    m_card = new SignedInCard(this);
    m_card->hide();
    connect(m_card->takeNotesButton(), &QAbstractButton::clicked, this, &ZarnoWindowView::takeNotesNow);
    connect(m_card->stayButton(), &QAbstractButton::clicked, this, [this] { setShowHandoff(false); });

    connect(&m_auth, &AuthSession::emailChanged, this, &ZarnoWindowView::onEmailChanged);
    placeChildren();
}

ZarnoWindowView::~ZarnoWindowView()
{
    // Quitting leaves the window open: where it was counts all the same.
    if (isVisible())
        rememberGeometry();
    // The page outlives the window: hand the view back before the children go.
    if (m_view && m_view->parentWidget() == this) {
        m_view->hide();
        m_view->setParent(nullptr);
    }
}

void ZarnoWindowView::rememberGeometry() const
{
    QSettings store = ZarnoSettings::standardStore();
    store.setValue(geometryKey, saveGeometry());
}

void ZarnoWindowView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    if (m_closed) {
        m_closed = false;
        m_wasSignedIn = m_auth.isSignedIn();
    }
    // Another window may have held the view since; take it back.
    m_view = m_holder.webView();
    if (m_view->parentWidget() != this)
        m_view->setParent(this);
    m_view->show();
    m_view->lower();
    m_holder.loadAppIfEmpty();
    placeChildren();
}

void ZarnoWindowView::closeEvent(QCloseEvent *event)
{
    // Only the window goes; the page stays with its holder.
    m_closed = true;
    setShowHandoff(false);
    QWidget::closeEvent(event);
}

void ZarnoWindowView::hideEvent(QHideEvent *event)
{
    // Closed or put away; not when the desktop minimises it.
    if (!event->spontaneous())
        rememberGeometry();
    QWidget::hideEvent(event);
}

void ZarnoWindowView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeChildren();
}

void ZarnoWindowView::placeChildren()
{
    if (m_view && m_view->parentWidget() == this)
        m_view->setGeometry(rect());
    m_strip->move(0, 0);
    m_strip->raise();
    const int height = m_card->naturalHeight();
    m_card->setGeometry((width() - SignedInCard::cardWidth) / 2, (this->height() - height) / 2,
                        SignedInCard::cardWidth, height);
    m_card->raise();
}

void ZarnoWindowView::onEmailChanged()
{
    const bool signedIn = !m_auth.email().isNull();
    if (signedIn && !m_wasSignedIn)
        setShowHandoff(true);
    m_wasSignedIn = signedIn;
    m_card->setEmail(m_auth.email());
    placeChildren();
}

void ZarnoWindowView::setShowHandoff(bool show)
{
    m_showHandoff = show;
    if (show)
        m_card->setEmail(m_auth.email());
    placeChildren();
    m_card->setVisible(show);
}

void ZarnoWindowView::takeNotesNow()
{
    setShowHandoff(false);
    m_state.startListening();
}

void ZarnoWindowView::quitByKeyboard()
{
    // Only a running session has something to lose.
    if (SessionController::isOpen(m_state.phase())) {
        const bool confirmed = m_askQuit ? m_askQuit()
                                         : QMessageBox::question(this, QStringLiteral("Quit zarno?"),
                                                                 QStringLiteral("A session is running and its notes "
                                                                                "are not saved yet. Quit anyway?"),
                                                                 QMessageBox::Yes | QMessageBox::Cancel,
                                                                 QMessageBox::Cancel)
                                               == QMessageBox::Yes;
        if (!confirmed)
            return;
    }
    Q_EMIT quitRequested();
}

void ZarnoWindowView::clickSidebar()
{
    m_holder.webView()->page()->runJavaScript(sidebarScript);
}
