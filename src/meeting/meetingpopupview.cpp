#include "meetingpopupview.h"

#include <QAbstractButton>
#include <QFile>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace {

// The brand colours this card uses, until the shared look takes them over.
const QColor ink = QColor::fromRgbF(0.114f, 0.102f, 0.078f);
const QColor inkSoft = QColor::fromRgbF(0.18f, 0.157f, 0.114f, 0.66f);
const QColor line = QColor::fromRgbF(0.114f, 0.102f, 0.078f, 0.14f);
const QColor action = ink;
const QColor card = Qt::white;

QFont brandFont(qreal pointSize, QFont::Weight weight)
{
    QFont font(QStringLiteral("Schibsted Grotesk"));
    if (!font.exactMatch())
        font = QFont();
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

// Light appearance whatever the desktop's theme.
void paintText(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

QPixmap tinted(const QIcon &icon, QSize size, const QColor &colour, qreal ratio)
{
    QPixmap pixmap = icon.pixmap(size, ratio);
    if (pixmap.isNull())
        return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), colour);
    return pixmap;
}

class Card : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF outer = QRectF(rect());
        QPainterPath shape;
        shape.addRoundedRect(outer, 14, 14);
        // A thin material over the card colour at 70 %: on a transparent
        // panel both come out as a nearly white, slightly see-through card.
        QColor base = card;
        base.setAlphaF(0.7f);
        painter.fillPath(shape, base);
        painter.fillPath(shape, QColor(255, 255, 255, 110));
        // The border sits inside the shape.
        QPainterPath border;
        border.addRoundedRect(outer.adjusted(0.5, 0.5, -0.5, -0.5), 13.5, 13.5);
        painter.strokePath(border, QPen(line, 1));
    }
};

class TakeButton : public QAbstractButton
{
public:
    explicit TakeButton(QWidget *parent)
        : QAbstractButton(parent)
    {
        setFont(brandFont(13, QFont::DemiBold));
        setText(MeetingPopupView::takeText);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
    }

    QSize sizeHint() const override
    {
        const QFontMetrics metrics(font());
        return {metrics.horizontalAdvance(text()) + 2 * 14, metrics.height() + 2 * 7};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(isDown() ? 0.85 : 1.0);
        const QRectF r = QRectF(rect());
        painter.setPen(Qt::NoPen);
        painter.setBrush(action);
        painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        painter.setOpacity(1.0);
        painter.setPen(Qt::white);
        painter.drawText(r, Qt::AlignCenter, text());
    }
};

class DismissButton : public QAbstractButton
{
public:
    explicit DismissButton(QWidget *parent)
        : QAbstractButton(parent)
    {
        setFixedSize(20, 20);
        setToolTip(MeetingPopupView::dismissToolTip);
        setAccessibleName(MeetingPopupView::dismissToolTip);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(line, 1));
        painter.setBrush(card);
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        // The "x" icon: two strokes across a 10-point box, as Lucide draws
        // it on its 24-unit grid (from 6 to 18, stroke 2).
        const QRectF box(5, 5, 10, 10);
        const qreal scale = box.width() / 24.0;
        painter.setPen(QPen(inkSoft, 2 * scale, Qt::SolidLine, Qt::RoundCap));
        const QPointF a = box.topLeft() + QPointF(6, 6) * scale;
        const QPointF b = box.topLeft() + QPointF(18, 18) * scale;
        painter.drawLine(a, b);
        painter.drawLine(QPointF(b.x(), a.y()), QPointF(a.x(), b.y()));
    }
};

} // namespace

MeetingPopupView::MeetingPopupView(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss,
                                   QWidget *parent)
    : QWidget(parent)
    , m_source(source)
{
    setAttribute(Qt::WA_TranslucentBackground);

    m_card = new Card(this);
    auto *shadow = new QGraphicsDropShadowEffect(m_card);
    shadow->setColor(QColor(0, 0, 0, 26));
    shadow->setBlurRadius(14);
    shadow->setOffset(0, 2);
    m_card->setGraphicsEffect(shadow);

    auto *row = new QHBoxLayout(m_card);
    row->setContentsMargins(16, 13, 16, 13);
    row->setSpacing(12);

    const QString logoPath = QStringLiteral(":/Resources/logo_short.svg");
    if (QFile::exists(logoPath)) {
        auto *logo = new QLabel(m_card);
        logo->setFixedSize(26, 26);
        logo->setPixmap(tinted(QIcon(logoPath), QSize(26, 26), action, devicePixelRatioF()));
        row->addWidget(logo, 0, Qt::AlignVCenter);
    }

    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    auto *titleLabel = new QLabel(title, m_card);
    titleLabel->setFont(brandFont(13.5, QFont::DemiBold));
    paintText(titleLabel, ink);
    auto *sourceLabel = new QLabel(m_card);
    // Verbatim: a program's name is not markup.
    sourceLabel->setTextFormat(Qt::PlainText);
    sourceLabel->setText(source);
    sourceLabel->setFont(brandFont(12, QFont::Normal));
    paintText(sourceLabel, inkSoft);
    column->addWidget(titleLabel);
    column->addWidget(sourceLabel);
    row->addLayout(column);
    row->addSpacing(16);
    row->addStretch(1);

    m_take = new TakeButton(m_card);
    row->addWidget(m_take, 0, Qt::AlignVCenter);
    QObject::connect(m_take, &QAbstractButton::clicked, this, [onTake = std::move(onTake)] {
        if (onTake)
            onTake();
    });

    m_dismiss = new DismissButton(this);
    QObject::connect(m_dismiss, &QAbstractButton::clicked, this, [onDismiss = std::move(onDismiss)] {
        if (onDismiss)
            onDismiss();
    });

    // Room for the shadow and for the dismiss button, which sticks out.
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(22, 18, 22, 24);
    outer->addWidget(m_card);
    m_dismiss->raise();
}

QRect MeetingPopupView::cardGeometry() const
{
    return m_card->geometry();
}

void MeetingPopupView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_dismiss->move(m_card->geometry().topLeft() - QPoint(8, 8));
}
