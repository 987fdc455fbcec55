#include "promptcard.h"

#include "brand.h"
#include "buttons.h"
#include "hudparts.h"
#include "lucide.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace {

constexpr int spaceTop = 18;
constexpr int spaceSide = 22;
constexpr int spaceBottom = 24;
constexpr qreal cardRadius = 14;

// The logo drawn as a template in a fixed square.
class LogoMark : public QWidget
{
public:
    explicit LogoMark(QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(26, 26);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (const auto logo = AppAssets::menuBarLogo()) {
            QPainter painter(this);
            paintTemplate(painter, *logo, QRectF(rect()), Brand::action());
        }
    }
};

} // namespace

PromptCard::PromptCard(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss,
                       QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(spaceSide, spaceTop, spaceSide, spaceBottom);
    m_card = new QWidget(this);
    outer->addWidget(m_card);

    auto *row = new QHBoxLayout(m_card);
    row->setContentsMargins(16, 13, 16, 13);
    row->setSpacing(12);
    if (AppAssets::menuBarLogo())
        row->addWidget(new LogoMark(m_card), 0, Qt::AlignVCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *title = new QLabel(QStringLiteral("Meeting detected"), m_card);
    title->setFont(Brand::font(13.5, Brand::Weight::Semibold));
    QPalette titlePalette = title->palette();
    titlePalette.setColor(QPalette::WindowText, Brand::ink());
    title->setPalette(titlePalette);
    auto *sourceLabel = new QLabel(source, m_card);
    sourceLabel->setObjectName(QStringLiteral("source"));
    sourceLabel->setTextFormat(Qt::PlainText);
    sourceLabel->setFont(Brand::font(12));
    QPalette sourcePalette = sourceLabel->palette();
    sourcePalette.setColor(QPalette::WindowText, Brand::inkSoft());
    sourceLabel->setPalette(sourcePalette);
    texts->addWidget(title);
    texts->addWidget(sourceLabel);
    row->addLayout(texts);
    row->addSpacing(16);
    row->addStretch(1);
    auto *take = new TealPillButton(QStringLiteral("Take notes"), m_card);
    row->addWidget(take, 0, Qt::AlignVCenter);
    m_take = take;

    auto *dismiss = new IconButton(QStringLiteral("x"), 10, Brand::inkSoft(), 20, this);
    dismiss->setCircle(Brand::card(), Brand::line());
    dismiss->setToolTip(QStringLiteral("Dismiss"));
    m_dismiss = dismiss;

    QObject::connect(m_take, &QAbstractButton::clicked, this, [onTake] {
        if (onTake)
            onTake();
    });
    QObject::connect(m_dismiss, &QAbstractButton::clicked, this, [onDismiss] {
        if (onDismiss)
            onDismiss();
    });
}

QRect PromptCard::cardRect() const
{
    return rect().adjusted(spaceSide, spaceTop, -spaceSide, -spaceBottom);
}

void PromptCard::resizeEvent(QResizeEvent *)
{
    const QRect card = cardRect();
    m_dismiss->move(card.left() - 8, card.top() - 8);
    m_dismiss->raise();
}

void PromptCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(cardRect());
    QPainterPath shape;
    shape.addRoundedRect(card, cardRadius, cardRadius);
    // A soft shadow 2 points down.
    for (int i = 7; i >= 1; --i) {
        QPainterPath ring;
        ring.addRoundedRect(card.adjusted(-i, -i + 2, i, i + 2), cardRadius + i, cardRadius + i);
        painter.fillPath(ring, QColor(0, 0, 0, 4));
    }
    painter.fillPath(shape, QColor(248, 248, 250, 110));
    painter.fillPath(shape, Brand::faded(Brand::card(), 0.7));
    painter.setPen(QPen(Brand::line(), 1));
    painter.setBrush(Qt::NoBrush);
    QPainterPath border;
    border.addRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), cardRadius - 0.5, cardRadius - 0.5);
    painter.drawPath(border);
}
