#include "previewrender.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

class TestPreviewRender : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void writesTheSevenPreviews_data();
    void writesTheSevenPreviews();
    void onlyTheSwitchWithADirectoryRenders_data();
    void onlyTheSwitchWithADirectoryRenders();
    void anUnwritableDirectoryIsSilentlySkipped();

private:
    QTemporaryDir m_dir;
    QString m_out;
    bool m_ran = false;
};

void TestPreviewRender::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_out = m_dir.filePath(QStringLiteral("nested/out"));
    m_ran = PreviewRender::runIfRequested(
        {QStringLiteral("zarno"), QStringLiteral("--render-hud"), m_out, QStringLiteral("--other")});
}

void TestPreviewRender::writesTheSevenPreviews_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("pixels");

    QTest::newRow("1") << "1-capsule-listening.png" << QSize(248, 144);
    QTest::newRow("2") << "2-capsule-paused.png" << QSize(248, 144);
    QTest::newRow("3") << "3-compact.png" << QSize(704, 360);
    QTest::newRow("4") << "4-expanded.png" << QSize(824, 744);
    QTest::newRow("5") << "5-saved.png" << QSize(704, 360);
    QTest::newRow("6") << "6-popup.png" << QSize();
    QTest::newRow("7") << "7-transcript-only.png" << QSize(824, 744);
}

void TestPreviewRender::writesTheSevenPreviews()
{
    QFETCH(QString, name);
    QFETCH(QSize, pixels);

    QVERIFY(m_ran);
    const QStringList written = QDir(m_out).entryList(QDir::Files, QDir::Name);
    QCOMPARE(written.size(), 7);
    QVERIFY(written.contains(name));
    QVERIFY(PreviewRender::fileNames().contains(name));

    const QImage image(QDir(m_out).filePath(name));
    QVERIFY(!image.isNull());
    if (pixels.isValid())
        QCOMPARE(image.size(), pixels);
    else
        QVERIFY(image.width() > 300 && image.height() > 100 && image.width() % 2 == 0 && image.height() % 2 == 0);

    // Background everywhere at the corner, and a good share of drawn pixels.
    const QRgb background = PreviewRender::background().rgb();
    QCOMPARE(image.pixel(0, 0) & 0xffffff, background & 0xffffff);
    qsizetype drawn = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            drawn += (image.pixel(x, y) & 0xffffff) != (background & 0xffffff);
    QVERIFY2(drawn > image.width() * image.height() / 5, qPrintable(QString::number(drawn)));
}

void TestPreviewRender::onlyTheSwitchWithADirectoryRenders_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no switch") << QStringList{QStringLiteral("zarno"), QStringLiteral("start")};
    QTest::newRow("switch last") << QStringList{QStringLiteral("zarno"), QStringLiteral("--render-hud")};
    QTest::newRow("nothing") << QStringList{};
}

void TestPreviewRender::onlyTheSwitchWithADirectoryRenders()
{
    QFETCH(QStringList, arguments);
    QCOMPARE(PreviewRender::requestedDirectory(arguments), std::nullopt);
    QVERIFY(!PreviewRender::runIfRequested(arguments));
}

void TestPreviewRender::anUnwritableDirectoryIsSilentlySkipped()
{
    // A file stands where the directory should be made.
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(PreviewRender::runIfRequested({QStringLiteral("--render-hud"), blocker + QStringLiteral("/out")}));
    QVERIFY(!QFile::exists(blocker + QStringLiteral("/out/1-capsule-listening.png")));
}

QTEST_MAIN(TestPreviewRender)
#include "tst_previewrender.moc"
