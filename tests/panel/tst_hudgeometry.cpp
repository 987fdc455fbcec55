#include "hudgeometry.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace HUDGeometry;

Q_DECLARE_METATYPE(HUDGeometry::Corner)
Q_DECLARE_METATYPE(std::optional<QRectF>)

class TestHUDGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void storedSize_data();
    void storedSize();
    void anchoring_data();
    void anchoring();
    void defaultPlacement_data();
    void defaultPlacement();
    void resizing_data();
    void resizing();
    void collapseOnlyOnReleaseOfABottomHandle_data();
    void collapseOnlyOnReleaseOfABottomHandle();
};

void TestHUDGeometry::storedSize_data()
{
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<QSizeF>("inner");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("in range") << 500.0 << 400.0 << QSizeF(500, 400);
    QTest::newRow("too wide, too low") << 1000.0 << 100.0 << QSizeF(640, 148);
    QTest::newRow("too narrow, too tall") << 10.0 << 5000.0 << QSizeF(320, 840);
    QTest::newRow("height missing") << 500.0 << 0.0 << QSizeF(380, 340);
    QTest::newRow("width missing") << 0.0 << 300.0 << QSizeF(380, 340);
    QTest::newRow("negative") << -500.0 << 300.0 << QSizeF(380, 340);
    QTest::newRow("not a number") << nan << 300.0 << QSizeF(380, 340);
    QTest::newRow("infinite") << inf << 300.0 << QSizeF(640, 300);
    QTest::newRow("exact limits") << 320.0 << 840.0 << QSizeF(320, 840);
}

void TestHUDGeometry::storedSize()
{
    QFETCH(double, width);
    QFETCH(double, height);
    QFETCH(QSizeF, inner);
    QCOMPARE(storedExpandedInner(width, height), inner);
}

void TestHUDGeometry::anchoring_data()
{
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<QSizeF>("size");
    QTest::addColumn<std::optional<QRectF>>("available");
    QTest::addColumn<QRectF>("frame");

    const std::optional<QRectF> screen = QRectF(0, 30, 1280, 770); // a top bar of 30
    const QSizeF capsule = windowSize(capsuleInner);
    const QSizeF expanded = windowSize(defaultInner);
    QTest::newRow("inside stays") << QPointF(1000, 200) << expanded << screen << QRectF(588, 200, 412, 372);
    QTest::newRow("capsule inside") << QPointF(1272, 220) << capsule << screen << QRectF(1148, 220, 124, 72);
    QTest::newRow("past the right edge") << QPointF(1500, 200) << expanded << screen << QRectF(868, 200, 412, 372);
    QTest::newRow("near the left edge grows right") << QPointF(200, 200) << expanded << screen
                                                    << QRectF(0, 200, 412, 372);
    QTest::newRow("above the top") << QPointF(1000, 0) << expanded << screen << QRectF(588, 30, 412, 372);
    QTest::newRow("near the bottom") << QPointF(1000, 700) << expanded << screen << QRectF(588, 428, 412, 372);
    QTest::newRow("bottom-left corner") << QPointF(-50, 900) << capsule << screen << QRectF(0, 728, 124, 72);
    QTest::newRow("larger than the screen keeps right and top")
        << QPointF(300, 500) << QSizeF(1400, 900) << screen << QRectF(-120, 30, 1400, 900);
    QTest::newRow("no screen: unclamped") << QPointF(-8, -180) << capsule << std::optional<QRectF>()
                                          << QRectF(-132, -180, 124, 72);
    QTest::newRow("screen not at the origin")
        << QPointF(3000, 10) << capsule << std::optional<QRectF>(QRectF(1280, 0, 1920, 1080))
        << QRectF(2876, 10, 124, 72);
}

void TestHUDGeometry::anchoring()
{
    QFETCH(QPointF, anchor);
    QFETCH(QSizeF, size);
    QFETCH(std::optional<QRectF>, available);
    QFETCH(QRectF, frame);
    QCOMPARE(frameAnchoredAt(anchor, size, available), frame);
}

void TestHUDGeometry::defaultPlacement_data()
{
    QTest::addColumn<QRectF>("available");
    QTest::addColumn<QRectF>("frame");

    // A first expanded panel: 8 left of the right edge, 180 above the middle.
    QTest::newRow("laptop") << QRectF(0, 25, 1440, 875) << QRectF(1020, 282.5, 412, 372);
    QTest::newRow("short screen pushes it down") << QRectF(0, 0, 800, 300) << QRectF(380, 0, 412, 372);
}

void TestHUDGeometry::defaultPlacement()
{
    QFETCH(QRectF, available);
    QFETCH(QRectF, frame);
    QCOMPARE(frameAnchoredAt(defaultAnchor(available), windowSize(defaultInner), available), frame);
}

void TestHUDGeometry::resizing_data()
{
    QTest::addColumn<Corner>("corner");
    QTest::addColumn<qreal>("dx");
    QTest::addColumn<qreal>("dy");
    QTest::addColumn<QSizeF>("inner");
    QTest::addColumn<QRectF>("frame");

    // Drags start from the default expanded window at (500, 100).
    QTest::newRow("right edge wider, height kept") << Corner::Right << 50.0 << 80.0 << QSizeF(430, 340)
                                                   << QRectF(500, 100, 462, 372);
    QTest::newRow("left edge right by 100 clamps, right edge fixed")
        << Corner::Left << 100.0 << 0.0 << QSizeF(320, 340) << QRectF(560, 100, 352, 372);
    QTest::newRow("left edge outwards") << Corner::Left << -60.0 << -30.0 << QSizeF(440, 340)
                                        << QRectF(440, 100, 472, 372);
    QTest::newRow("bottom edge down, width kept") << Corner::Bottom << 70.0 << 100.0 << QSizeF(380, 440)
                                                  << QRectF(500, 100, 412, 472);
    QTest::newRow("bottom-right grip") << Corner::BottomRight << 20.0 << -40.0 << QSizeF(400, 300)
                                       << QRectF(500, 100, 432, 332);
    QTest::newRow("bottom-left grip, right edge fixed") << Corner::BottomLeft << -20.0 << 10.0 << QSizeF(400, 350)
                                                        << QRectF(480, 100, 432, 382);
    QTest::newRow("beyond the largest") << Corner::BottomRight << 900.0 << 900.0 << QSizeF(640, 840)
                                        << QRectF(500, 100, 672, 872);
    QTest::newRow("shrinks no further than 148 while dragging")
        << Corner::Bottom << 0.0 << -210.0 << QSizeF(380, 148) << QRectF(500, 100, 412, 180);
}

void TestHUDGeometry::resizing()
{
    QFETCH(Corner, corner);
    QFETCH(qreal, dx);
    QFETCH(qreal, dy);
    QFETCH(QSizeF, inner);
    QFETCH(QRectF, frame);

    const QRectF from(500, 100, 412, 372);
    for (const bool ended : {false, true}) {
        const ResizeResult result = resize(from, corner, dx, dy, ended);
        QVERIFY(!result.collapse);
        QCOMPARE(result.inner, inner);
        QCOMPARE(result.frame, frame);
    }
}

void TestHUDGeometry::collapseOnlyOnReleaseOfABottomHandle_data()
{
    QTest::addColumn<Corner>("corner");
    QTest::addColumn<qreal>("rawHeight");
    QTest::addColumn<bool>("ended");
    QTest::addColumn<bool>("collapses");

    QTest::newRow("bottom at 119 released") << Corner::Bottom << 119.0 << true << true;
    QTest::newRow("bottom at 120 released") << Corner::Bottom << 120.0 << true << false;
    QTest::newRow("bottom at 119 still dragging") << Corner::Bottom << 119.0 << false << false;
    QTest::newRow("bottom-left grip at 50") << Corner::BottomLeft << 50.0 << true << true;
    QTest::newRow("bottom-right grip at 119.5") << Corner::BottomRight << 119.5 << true << true;
    QTest::newRow("left edge never") << Corner::Left << 10.0 << true << false;
    QTest::newRow("right edge never") << Corner::Right << 10.0 << true << false;
}

void TestHUDGeometry::collapseOnlyOnReleaseOfABottomHandle()
{
    QFETCH(Corner, corner);
    QFETCH(qreal, rawHeight);
    QFETCH(bool, ended);
    QFETCH(bool, collapses);

    const QRectF from(500, 100, 412, 372);
    // Moving the pointer up by dy (negative) shrinks a bottom handle's height.
    const qreal dy = rawHeight - 340;
    const ResizeResult result = resize(from, corner, 0, dy, ended);
    QCOMPARE(result.collapse, collapses);
    if (!collapses) {
        const bool bottom = corner == Corner::Bottom || corner == Corner::BottomLeft || corner == Corner::BottomRight;
        QCOMPARE(result.inner.height(), bottom ? std::max<qreal>(rawHeight, 148) : 340.0);
    }
}

QTEST_APPLESS_MAIN(TestHUDGeometry)
#include "tst_hudgeometry.moc"
