#include "brand.h"
#include "breathclock.h"
#include "buttons.h"
#include "clock.h"
#include "lucide.h"
#include "recordingdot.h"
#include "tabulartext.h"
#include "widgetfinders.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFile>
#include <QFontDatabase>
#include <QPaintEvent>
#include <QPainter>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

namespace {

bool copyIcon(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(QStringLiteral(":/Resources/lucide/") + from + QStringLiteral(".svg"), to);
}

QImage renderAt2x(QWidget &widget)
{
    QImage image(widget.size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    image.fill(Qt::transparent);
    widget.render(&image, {}, {}, QWidget::DrawChildren);
    return image;
}

} // namespace

class TestLook : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void everyRequestedIconIsBuiltIn_data();
    void everyRequestedIconIsBuiltIn();
    void iconIsReadOnceThenServedFromTheCache();
    void missingOrBrokenIconIsNotCached_data();
    void missingOrBrokenIconIsNotCached();
    void iconViewDrawsInItsColourOrTakesNoSpace();
    void logoIsBuiltIn();
    void dotBreathesWithTheWallClock_data();
    void dotBreathesWithTheWallClock();
    void dotStepsAreFewAndOneLevelEach_data();
    void dotStepsAreFewAndOneLevelEach();
    void aBreathRepaintsTheDotsSquareOnly();
    void aDueStepRidesAlongWithAnotherRepaint();
    void buttonsChangeWhenPressed();
    void menuRowHighlightsUnderThePointer();
    void brandFontFallsBackToTheSystemFont();
    void runningTimeKeepsItsWidth_data();
    void runningTimeKeepsItsWidth();
};

void TestLook::cleanup()
{
    Lucide::setDirectory(QStringLiteral(":/Resources/lucide"));
    Clock::setSource({});
}

void TestLook::everyRequestedIconIsBuiltIn_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"arrow-up-right", "chevron-down", "log-in", "mic", "panel-left", "video", "zap",
                             "minimize-2", "pause", "play", "x"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestLook::everyRequestedIconIsBuiltIn()
{
    QFETCH(QString, name);
    const auto image = Lucide::image(name);
    QVERIFY(image);
    QVERIFY(image->isValid());
}

void TestLook::iconIsReadOnceThenServedFromTheCache()
{
    QTemporaryDir dir;
    QVERIFY(Lucide::image(QStringLiteral("mic"))); // registers the built-in resources
    Lucide::setDirectory(dir.path());
    QVERIFY(copyIcon(QStringLiteral("mic"), dir.filePath(QStringLiteral("mic.svg"))));
    const auto first = Lucide::image(QStringLiteral("mic"));
    QVERIFY(first);
    // Gone from disk: the cache still serves it, the same image.
    QVERIFY(QFile::remove(dir.filePath(QStringLiteral("mic.svg"))));
    QCOMPARE(Lucide::image(QStringLiteral("mic")), first);
}

void TestLook::missingOrBrokenIconIsNotCached_data()
{
    QTest::addColumn<QByteArray>("firstContent"); // empty: no file at all

    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("not an image") << QByteArray("this is not svg");
    QTest::newRow("empty file") << QByteArray(" ");
}

void TestLook::missingOrBrokenIconIsNotCached()
{
    QFETCH(QByteArray, firstContent);
    QTemporaryDir dir;
    QVERIFY(Lucide::image(QStringLiteral("mic")));
    Lucide::setDirectory(dir.path());
    const QString path = dir.filePath(QStringLiteral("late.svg"));
    if (!firstContent.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(firstContent);
    }
    QVERIFY(!Lucide::image(QStringLiteral("late")));
    // The file appears (or is fixed): the next request finds it.
    QVERIFY(copyIcon(QStringLiteral("pause"), path));
    QVERIFY(Lucide::image(QStringLiteral("late")));
    // A name never reaches outside the icon folder.
    QVERIFY(!Lucide::image(QStringLiteral("../late")));
    QVERIFY(!Lucide::image(QString()));
}

void TestLook::iconViewDrawsInItsColourOrTakesNoSpace()
{
    LucideIcon icon(QStringLiteral("mic"), 13, QColor(200, 0, 0));
    QCOMPARE(icon.sizeHint(), QSize(13, 13));
    icon.resize(icon.sizeHint());
    const QImage image = renderAt2x(icon);
    QCOMPARE(image.size(), QSize(26, 26));
    int painted = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() < 64) // edges: too faint to read the colour back exactly
                continue;
            ++painted;
            // Tinted as a template: only the given colour, at any opacity.
            QVERIFY(c.green() <= 4);
            QVERIFY(c.blue() <= 4);
            QVERIFY(qAbs(c.red() - 200) <= 6);
        }
    }
    QVERIFY(painted > 20);

    LucideIcon missing(QStringLiteral("no-such-icon"), 13, Qt::black);
    QCOMPARE(missing.sizeHint(), QSize(0, 0));
    QVERIFY(!missing.hasImage());
}

void TestLook::logoIsBuiltIn()
{
    const auto logo = AppAssets::menuBarLogo();
    QVERIFY(logo);
    QVERIFY(logo->isValid());
    QCOMPARE(AppAssets::menuBarLogoSize, QSizeF(15, 15));
    const QPixmap drawn = templatePixmap(*logo, AppAssets::menuBarLogoSize, Qt::black, 2);
    QCOMPARE(drawn.size(), QSize(30, 30));
    const QImage pixels = drawn.toImage();
    int opaque = 0;
    for (int y = 0; y < pixels.height(); ++y)
        for (int x = 0; x < pixels.width(); ++x)
            opaque += pixels.pixelColor(x, y).alpha() > 128;
    QVERIFY(opaque > 30);
}

namespace {

// Instants (ms from `from`) where the drawn opacity changes within `ms`.
QList<int> changesWithin(double from, int ms)
{
    QList<int> changes;
    double before = RecordingDot::drawnOpacity(from);
    for (int t = 1; t <= ms; ++t) {
        const double now = RecordingDot::drawnOpacity(from + t / 1000.0);
        if (now != before)
            changes.append(t);
        before = now;
    }
    return changes;
}

} // namespace

void TestLook::dotBreathesWithTheWallClock_data()
{
    QTest::addColumn<double>("seconds"); // after 2001-01-01 00:00 UTC
    QTest::addColumn<bool>("breathing");
    QTest::addColumn<double>("opacity");

    QTest::newRow("full at the top of the breath") << 0.45 << true << 1.0;
    QTest::newRow("faintest at the bottom") << 1.35 << true << 0.45;
    QTest::newRow("on the way up") << 0.15 << true << 0.89;
    QTest::newRow("on the way down") << 1.05 << true << 0.56;
    QTest::newRow("a thousand breaths later, the same") << 1800.45 << true << 1.0;
    QTest::newRow("a restart a day later keeps the phase") << 86400 + 1.35 << true << 0.45;
    QTest::newRow("today, at the top") << 736681261.05 << true << 1.0;
    QTest::newRow("steady: full at any time") << 1.35 << false << 1.0;
}

void TestLook::dotBreathesWithTheWallClock()
{
    QFETCH(double, seconds);
    QFETCH(bool, breathing);
    QFETCH(double, opacity);

    stopClockAt(seconds);
    RecordingDot dot(QColor(255, 0, 0), breathing, 8);
    QCOMPARE(dot.size(), QSize(8, 8));
    QVERIFY2(qAbs(dot.currentOpacity() - opacity) < 0.001, qPrintable(QString::number(dot.currentOpacity())));
    // A step is never more than half a level from the breath itself.
    if (breathing)
        QVERIFY(qAbs(dot.currentOpacity() - RecordingDot::breathingOpacity(seconds)) <= 0.055 + 1e-9);
    // What is drawn is what it reports.
    const QImage image = renderAt2x(dot);
    QVERIFY(qAbs(QColor::fromRgba(image.pixel(8, 8)).alpha() - 255 * opacity) <= 2);
}

void TestLook::dotStepsAreFewAndOneLevelEach_data()
{
    QTest::addColumn<double>("from");
    QTest::addColumn<int>("firstChangeMs"); // the first whole ms after the sine crosses a level's edge

    QTest::newRow("from the top: a step down after 185 ms") << 0.45 << 185;
    QTest::newRow("from the bottom: a step up after 185 ms") << 1.35 << 185;
    QTest::newRow("on the steep way down: 68 ms") << 0.95 << 68;
    QTest::newRow("a year later, from the top") << 365 * 86400 + 0.45 << 185;
}

void TestLook::dotStepsAreFewAndOneLevelEach()
{
    QFETCH(double, from);
    QFETCH(int, firstChangeMs);

    // The dot wakes up when its opacity changes, not before, and a little
    // after at most.
    const int wake = RecordingDot::msUntilNextChange(from);
    QVERIFY2(wake >= firstChangeMs && wake <= firstChangeMs + 5, qPrintable(QString::number(wake)));
    const QList<int> changes = changesWithin(from, 1800);
    QCOMPARE(changes.value(0), firstChangeMs);
    // A whole breath is ten steps of one level each, never closer than
    // 100 ms: under ten repaints in any second.
    QCOMPARE(changes.size(), 2 * (RecordingDot::levels - 1));
    double before = RecordingDot::drawnOpacity(from);
    for (qsizetype i = 0; i < changes.size(); ++i) {
        const double after = RecordingDot::drawnOpacity(from + changes[i] / 1000.0);
        QVERIFY(qAbs(qAbs(after - before) - (1 - RecordingDot::faintest) / (RecordingDot::levels - 1)) < 1e-9);
        before = after;
        if (i > 0)
            QVERIFY2(changes[i] - changes[i - 1] >= 100, qPrintable(QString::number(changes[i] - changes[i - 1])));
        const auto inOneSecond = std::count_if(changes.begin() + i, changes.end(),
                                               [&](int at) { return at < changes[i] + 1000; });
        QVERIFY(inOneSecond <= 10);
    }
}

void TestLook::aBreathRepaintsTheDotsSquareOnly()
{
    // The panel below the dot, as the live panel is: it repaints only what
    // the dot covers.
    class Panel : public QWidget
    {
    public:
        QRegion painted;

    protected:
        void paintEvent(QPaintEvent *event) override { painted += event->region(); }
    };
    // Shown just before a step down from full.
    stopClockAt(0.63);
    Panel panel;
    panel.resize(200, 60);
    auto *dot = new RecordingDot(QColor(255, 0, 0), true, 8, &panel);
    dot->move(20, 20);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QVERIFY(dot->isAnimating());
    QCOMPARE(dot->currentOpacity(), 1.0);

    QCoreApplication::processEvents();
    panel.painted = QRegion();
    stopClockAt(0.64);
    QTRY_VERIFY(!panel.painted.isEmpty());
    QCOMPARE(panel.painted, QRegion(dot->geometry()));
    QCOMPARE(dot->currentOpacity(), 0.89);

    // Steady or out of sight, it waits for nothing.
    dot->hide();
    QVERIFY(!dot->isAnimating());
    dot->show();
    QVERIFY(dot->isAnimating());
    dot->setBreathing(false);
    QVERIFY(!dot->isAnimating());
}

void TestLook::aDueStepRidesAlongWithAnotherRepaint()
{
    // At the top of the breath, the next step 185 ms away.
    stopClockAt(0.45);
    QWidget panel;
    panel.resize(200, 60);
    auto *dot = new RecordingDot(QColor(255, 0, 0), true, 8, &panel);
    dot->move(20, 20);
    auto *label = new QWidget(&panel);
    label->setGeometry(100, 20, 60, 20);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QCoreApplication::processEvents();

    // The step is due, and something else in the window repaints first:
    // the dot is drawn in that same repaint.
    stopClockAt(0.64);
    EventCount dotPaints(QEvent::Paint);
    dot->installEventFilter(&dotPaints);
    label->update();
    QCoreApplication::processEvents();
    QCOMPARE(dotPaints.count, 1);
    QCOMPARE(dot->currentOpacity(), 0.89);
}

void TestLook::buttonsChangeWhenPressed()
{
    TealPillButton teal(QStringLiteral("Take notes"));
    OutlinePillButton outline(QStringLiteral("Save notes"));
    FieldButton field(QStringLiteral("English"));
    QCOMPARE(teal.backgroundColor(), Brand::action());
    QCOMPARE(outline.backgroundColor().alpha(), 0);
    QCOMPARE(field.backgroundColor(), Brand::card());

    teal.setDown(true);
    outline.setDown(true);
    field.setDown(true);
    QVERIFY(qAbs(teal.backgroundColor().alphaF() - 0.85) < 0.01);
    QCOMPARE(teal.backgroundColor().rgb(), Brand::action().rgb());
    QCOMPARE(outline.backgroundColor(), Brand::paperDeep());
    QCOMPARE(field.backgroundColor(), Brand::paperDeep());

    // Pressing is what a click does in between.
    teal.setDown(false);
    bool clicked = false;
    QObject::connect(&teal, &QAbstractButton::clicked, [&] { clicked = true; });
    teal.resize(teal.sizeHint());
    QTest::mouseClick(&teal, Qt::LeftButton);
    QVERIFY(clicked);
    QCOMPARE(teal.backgroundColor(), Brand::action());
    // The label fits inside its insets.
    QVERIFY(teal.sizeHint().width() > 28);
}

void TestLook::menuRowHighlightsUnderThePointer()
{
    MenuRowButton row(QStringLiteral("Quit zarno"), Brand::ink());
    QCOMPARE(row.backgroundColor().alpha(), 0);
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&row, &enter);
    QVERIFY(row.hovering());
    QCOMPARE(row.backgroundColor(), Brand::paperDeep());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&row, &leave);
    QVERIFY(!row.hovering());
    QCOMPARE(row.backgroundColor().alpha(), 0);
    row.setDown(true);
    QCOMPARE(row.backgroundColor(), Brand::paperDeep());
    QCOMPARE(row.sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
}

void TestLook::brandFontFallsBackToTheSystemFont()
{
    const QFont font = Brand::font(12.5, Brand::Weight::Medium);
    QCOMPARE(font.weight(), QFont::Medium);
    if (Brand::hasSchibsted())
        QCOMPARE(font.family(), Brand::schibstedFamily());
    else
        QCOMPARE(font.family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
    QVERIFY(Brand::font(13, Brand::Weight::Semibold, true).italic());
    QCOMPARE(Brand::font(26).pointSizeF(), 2 * Brand::font(13).pointSizeF());
    QCOMPARE(Brand::font(13, Brand::Weight::Semibold).weight(), QFont::DemiBold);
}

void TestLook::runningTimeKeepsItsWidth_data()
{
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("sameWidthAs");
    QTest::newRow("ones against zeros") << "1:11" << "0:00";
    QTest::newRow("a second later") << "Listening · 0:09" << "Listening · 0:10";
    QTest::newRow("two-digit minutes") << "11:11" << "48:08";
    QTest::newRow("words alone") << "Not listening" << "Not listening";
}

// The capsule, the panel's status and the menu's pills show the time with
// equal digit widths: ticking seconds never move the text beside them.
void TestLook::runningTimeKeepsItsWidth()
{
    QFETCH(QString, time);
    QFETCH(QString, sameWidthAs);
    const QFont font = Brand::font(13, Brand::Weight::Semibold);
    QCOMPARE(TabularText::width(time, font), TabularText::width(sameWidthAs, font));
    TabularLabel a(time), b(sameWidthAs);
    a.setFont(font);
    b.setFont(font);
    QCOMPARE(a.sizeHint(), b.sizeHint());
    QVERIFY(a.sizeHint().width() >= QFontMetricsF(font).horizontalAdvance(time) - 1);
    // Measures are kept per font: another size is measured on its own.
    const QFont larger = Brand::font(26, Brand::Weight::Semibold);
    QVERIFY(TabularText::width(time, larger) > 1.5 * TabularText::width(time, font));

    // Drawn from shapes kept between calls, the text sits on the baseline it
    // is given, as QPainter would put it, and reads the same every time.
    const auto drawn = [&](auto paint) {
        QImage image(240, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setFont(font);
        painter.setPen(Qt::black);
        paint(painter);
        return image;
    };
    const auto inkRows = [](const QImage &image) {
        int top = image.height(), bottom = -1;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(image.pixel(x, y)) > 0) {
                    top = std::min(top, y);
                    bottom = y;
                    break;
                }
            }
        }
        return std::pair{top, bottom};
    };
    const QImage tabular = drawn([&](QPainter &p) { TabularText::draw(p, 4, 28, time); });
    const QImage plain = drawn([&](QPainter &p) { p.drawText(QPointF(4, 28), time); });
    QVERIFY(inkRows(tabular).second >= 0);
    QCOMPARE(inkRows(tabular), inkRows(plain));
    QCOMPARE(drawn([&](QPainter &p) { TabularText::draw(p, 4, 28, time); }), tabular);
    if (time == sameWidthAs) // no digits to place: exactly QPainter's text
        QCOMPARE(tabular, plain);
}

QTEST_MAIN(TestLook)
#include "tst_look.moc"
