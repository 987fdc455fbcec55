#include "meetingpopupview.h"

#include "brand.h"
#include "buttons.h"
#include "iconbutton.h"
#include "lucide.h"

#include <QAbstractButton>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace {

// Light appearance whatever the desktop's theme.
void paintText(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
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
        shape.addRoundedRect(outer, MeetingPopupView::cardRadius, MeetingPopupView::cardRadius);
        // A thin material over the card colour at 70 %: over a blurred
        // backdrop a nearly white, slightly see-through card; solid where
        // nothing blurs what lies behind.
        painter.fillPath(shape, Brand::faded(Brand::card(), Brand::surfaceOpacity(0.7)));
        painter.fillPath(shape, QColor(255, 255, 255, 110));
        // The border sits inside the shape.
        QPainterPath border;
        border.addRoundedRect(outer.adjusted(0.5, 0.5, -0.5, -0.5), MeetingPopupView::cardRadius - 0.5,
                              MeetingPopupView::cardRadius - 0.5);
        painter.strokePath(border, QPen(Brand::line(), 1));
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

    if (const auto logo = AppAssets::menuBarLogo()) {
        auto *mark = new QLabel(m_card);
        mark->setFixedSize(26, 26);
        mark->setPixmap(templatePixmap(*logo, QSizeF(26, 26), Brand::action(), devicePixelRatioF()));
        row->addWidget(mark, 0, Qt::AlignVCenter);
    }

    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    auto *titleLabel = new QLabel(title, m_card);
    titleLabel->setFont(Brand::font(13.5, Brand::Weight::Semibold));
    paintText(titleLabel, Brand::ink());
    auto *sourceLabel = new QLabel(m_card);
    // Verbatim: a program's name is not markup.
    sourceLabel->setTextFormat(Qt::PlainText);
    sourceLabel->setText(source);
    sourceLabel->setFont(Brand::font(12));
    paintText(sourceLabel, Brand::inkSoft());
    column->addWidget(titleLabel);
    column->addWidget(sourceLabel);
    row->addLayout(column);
    row->addSpacing(16);
    row->addStretch(1);

    auto *take = new TealPillButton(takeText, m_card);
    take->setCursor(Qt::PointingHandCursor);
    take->setFocusPolicy(Qt::NoFocus);
    m_take = take;
    row->addWidget(m_take, 0, Qt::AlignVCenter);
    QObject::connect(m_take, &QAbstractButton::clicked, this, [onTake = std::move(onTake)] {
        if (onTake)
            onTake();
    });

    // Lucide's "x" on a card-coloured circle with a hairline ring.
    auto *dismiss = new IconButton(QStringLiteral("x"), 10, Brand::inkSoft(), 20, this);
    dismiss->setCircle(Brand::card(), Brand::line());
    dismiss->setToolTip(dismissToolTip);
    dismiss->setAccessibleName(dismissToolTip);
    dismiss->setCursor(Qt::PointingHandCursor);
    m_dismiss = dismiss;
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

QRect MeetingPopupView::dismissGeometry() const
{
    return QRect(m_card->geometry().topLeft() - QPoint(8, 8), m_dismiss->size());
}

void MeetingPopupView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_dismiss->setGeometry(dismissGeometry());
}
