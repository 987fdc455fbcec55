#include "previewrender.h"

#include "sessioncontroller.h"
#include "clock.h"
#include "livehud.h"
#include "livehudview.h"
#include "meetingpopupview.h"

#include <QCoreApplication>
#include <QDir>
#include <QLayout>
#include <QPainter>
#include <QScopeGuard>
#include <QTimeZone>
#include <QUuid>
#include <QWidget>

#include <cmath>

namespace {

TranscriptLine sampleLine(const QString &text, bool isTranslation, const QString &lang, bool complete = true)
{
    return TranscriptLine{
        .id = QUuid::createUuid(),
        .text = text,
        .isTranslation = isTranslation,
        .lang = lang,
        .t = Clock::now(),
        .complete = complete,
    };
}

QList<TranscriptLine> firstSample()
{
    const QString en = QStringLiteral("en");
    const QString zh = QStringLiteral("zh");
    return {
        sampleLine(QStringLiteral("So for the user testing round, we'll need the test plan shared with your team by Friday."),
                   false, en),
        sampleLine(QStringLiteral("所以這輪使用者測試，我們需要在週五前把測試計畫分享給你們團隊。"), true, zh),
        sampleLine(QStringLiteral("沒問題，我們週四前可以把測試腳本準備好。"), false, zh),
        sampleLine(QStringLiteral("No problem — we can have the test script ready by Thursday."), true, en),
    };
}

QList<TranscriptLine> secondSample()
{
    const QString en = QStringLiteral("en");
    return {
        sampleLine(QStringLiteral("We've got an idea for an e-commerce site or app, right?"), false, en),
        sampleLine(QStringLiteral("And if you don't have that complete yet, that's great."), false, en),
        sampleLine(QStringLiteral("I didn't give a lot of details, because I kind of want you to do your own thing."),
                   false, en),
        sampleLine(QStringLiteral("Are you selling something, or providing a service?"), false, en),
        sampleLine(QStringLiteral("And as I said,"), false, en, false),
    };
}

void write(const QImage &image, const QDir &directory, const QString &name)
{
    if (!image.isNull())
        image.save(directory.filePath(name), "PNG"); // a failed write skips this one file
}

} // namespace

namespace PreviewRender {

QColor background()
{
    return QColor::fromRgbF(0.93f, 0.93f, 0.95f);
}

QStringList fileNames()
{
    return {
        QStringLiteral("1-capsule-listening.png"), QStringLiteral("2-capsule-paused.png"),
        QStringLiteral("3-compact.png"),           QStringLiteral("4-expanded.png"),
        QStringLiteral("7-transcript-only.png"),   QStringLiteral("5-saved.png"),
        QStringLiteral("6-popup.png"),
    };
}

std::optional<QString> requestedDirectory(const QStringList &arguments)
{
    const qsizetype at = arguments.indexOf(switchName);
    if (at < 0 || at + 1 >= arguments.size())
        return std::nullopt;
    return arguments.at(at + 1);
}

bool runIfRequested(const QStringList &arguments)
{
    const std::optional<QString> directory = requestedDirectory(arguments);
    if (!directory)
        return false;
    renderAll(*directory);
    return true;
}

QImage renderWidget(QWidget &widget, QSizeF size)
{
    const QSize points(int(std::ceil(size.width())), int(std::ceil(size.height())));
    // Shown only to lay it out and deliver its resize events; it never
    // reaches the screen.
    widget.setAttribute(Qt::WA_DontShowOnScreen);
    widget.resize(points);
    widget.show();
    QCoreApplication::sendPostedEvents();
    if (QLayout *layout = widget.layout())
        layout->activate();
    QImage image(points * int(scale), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(background());
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    widget.hide();
    return image.convertToFormat(QImage::Format_RGB32);
}

void renderAll(const QString &path)
{
    QDir().mkpath(path);
    const QDir directory(path);

    // Every run draws the same images: a fixed moment, at which a breathing
    // dot is at full strength.
    Clock::setSource([] { return QDateTime(QDate(2024, 5, 6), QTime(9, 41, 1, 50), Qt::UTC); });
    const auto restoreClock = qScopeGuard([] { Clock::setSource({}); });

    SessionController state;
    LiveHUD hud;
    hud.setPreview(true);
    LiveHUDView view(&state, &hud);

    SessionController::Preview sample;
    sample.elapsed = QStringLiteral("12:34");
    sample.lines = firstSample();
    sample.partial = QStringLiteral("And one more thing about the launch check-in…");

    auto render = [&](const QString &name, bool expanded, QSizeF inner, bool listening, bool paused) {
        sample.phase = listening ? SessionController::Phase::Listening
                       : paused  ? SessionController::Phase::Paused
                                 : SessionController::Phase::Idle;
        state.showPreview(sample);
        hud.setExpandedForRendering(expanded);
        write(renderWidget(view, HUDGeometry::windowSize(inner)), directory, name);
    };
    render(QStringLiteral("1-capsule-listening.png"), false, LiveHUD::capsuleInner, true, false);
    render(QStringLiteral("2-capsule-paused.png"), false, LiveHUD::capsuleInner, false, true);
    render(QStringLiteral("3-compact.png"), true, LiveHUD::minInner, true, false);
    render(QStringLiteral("4-expanded.png"), true, LiveHUD::defaultInner, true, false);

    sample.lines = secondSample();
    sample.partial = QStringLiteral(" I've had all kinds of things");
    render(QStringLiteral("7-transcript-only.png"), true, LiveHUD::defaultInner, true, false);

    sample.lines.clear();
    sample.partial.clear();
    sample.saveState = SaveState::saved();
    render(QStringLiteral("5-saved.png"), true, LiveHUD::minInner, false, false);

    MeetingPopupView prompt(QStringLiteral("Zoom"), {}, {});
    prompt.ensurePolished();
    write(renderWidget(prompt, QSizeF(prompt.sizeHint())), directory, QStringLiteral("6-popup.png"));
}

} // namespace PreviewRender
