#include "brand.h"
#include "buttons.h"
#include "clock.h"
#include "lucide.h"
#include "recordingdot.h"
#include "tabulartext.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFile>
#include <QFontDatabase>
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
    void dotStepsWithEachBeat_data();
    void dotStepsWithEachBeat();
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

void TestLook::dotStepsWithEachBeat_data()
{
    QTest::addColumn<bool>("breathing");
    QTest::addColumn<int>("beats");
    QTest::addColumn<bool>("restarted");
    QTest::addColumn<double>("opacity");

    QTest::newRow("starts full") << true << 0 << false << 1.0;
    QTest::newRow("one beat: faint") << true << 1 << false << RecordingDot::faintest;
    QTest::newRow("two beats: full again") << true << 2 << false << 1.0;
    QTest::newRow("steady: beats change nothing") << false << 3 << false << 1.0;
    QTest::newRow("breathing again starts full") << true << 1 << true << 1.0;
}

void TestLook::dotStepsWithEachBeat()
{
    QFETCH(bool, breathing);
    QFETCH(int, beats);
    QFETCH(bool, restarted);
    QFETCH(double, opacity);

    RecordingDot dot(QColor(255, 0, 0), breathing, 8);
    QCOMPARE(dot.size(), QSize(8, 8));
    for (int i = 0; i < beats; ++i)
        dot.beat();
    if (restarted) {
        dot.setBreathing(false);
        dot.setBreathing(true);
    }
    QCOMPARE(dot.currentOpacity(), opacity);
    // What is drawn is what it reports.
    const QImage image = renderAt2x(dot);
    QVERIFY(qAbs(QColor::fromRgba(image.pixel(8, 8)).alpha() - 255 * opacity) <= 2);
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
