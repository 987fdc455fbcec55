#include "wordrules.h"

#include <QTest>

using namespace Qt::StringLiterals;
using Spans = QList<QPair<qint64, qint64>>;

class TestWordRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void markersNeverReachTheReader_data();
    void markersNeverReachTheReader();
    void utterancesReadAsSentences_data();
    void utterancesReadAsSentences();
    void aPauseInsideAnUtteranceEndsASentence_data();
    void aPauseInsideAnUtteranceEndsASentence();
};

void TestWordRules::markersNeverReachTheReader_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << u"forward"_s << u"forward"_s;
    QTest::newRow("alternate") << u"the(2)"_s << u"the"_s;
    QTest::newRow("alternate ten") << u"read(10)"_s << u"read"_s;
    QTest::newRow("apostrophe") << u"don't"_s << u"don't"_s;
    QTest::newRow("sentence start") << u"<s>"_s << QString();
    QTest::newRow("sentence end") << u"</s>"_s << QString();
    QTest::newRow("silence") << u"<sil>"_s << QString();
    QTest::newRow("noise") << u"[NOISE]"_s << QString();
    QTest::newRow("breath") << u"++BREATH++"_s << QString();
    QTest::newRow("only an alternate mark") << u"(2)"_s << QString();
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("punctuation only") << u"--"_s << QString();
}

void TestWordRules::markersNeverReachTheReader()
{
    QFETCH(QString, word);
    QFETCH(QString, shown);
    QCOMPARE(WordRules::cleanWord(word), shown);
}

void TestWordRules::utterancesReadAsSentences_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("complete") << QStringList{u"go"_s, u"forward"_s} << true << QStringList{u" Go"_s, u" forward."_s};
    QTest::newRow("running") << QStringList{u"go"_s, u"forward"_s} << false << QStringList{u" Go"_s, u" forward"_s};
    QTest::newRow("one word") << QStringList{u"yes"_s} << true << QStringList{u" Yes."_s};
    QTest::newRow("first person") << QStringList{u"so"_s, u"i"_s, u"think"_s, u"i'm"_s, u"in"_s} << true
                                  << QStringList{u" So"_s, u" I"_s, u" think"_s, u" I'm"_s, u" in."_s};
    QTest::newRow("nothing") << QStringList{} << true << QStringList{};
}

void TestWordRules::utterancesReadAsSentences()
{
    QFETCH(QStringList, words);
    QFETCH(bool, complete);
    QFETCH(QStringList, texts);
    QCOMPARE(WordRules::tokenTexts(words, complete), texts);
}

void TestWordRules::aPauseInsideAnUtteranceEndsASentence_data()
{
    QTest::addColumn<Spans>("spans");
    QTest::addColumn<QList<qsizetype>>("starts");
    QTest::newRow("one word") << Spans{{0, 300}} << QList<qsizetype>{0};
    QTest::newRow("words in a row") << Spans{{0, 300}, {320, 600}, {610, 900}} << QList<qsizetype>{0};
    QTest::newRow("just under the pause") << Spans{{0, 300}, {599, 900}} << QList<qsizetype>{0};
    QTest::newRow("the pause") << Spans{{0, 300}, {600, 900}} << QList<qsizetype>{0, 1};
    QTest::newRow("two pauses") << Spans{{0, 300}, {1000, 1200}, {1250, 1400}, {2000, 2100}} << QList<qsizetype>{0, 1, 3};
}

void TestWordRules::aPauseInsideAnUtteranceEndsASentence()
{
    QFETCH(Spans, spans);
    QFETCH(QList<qsizetype>, starts);
    QCOMPARE(WordRules::sentenceStarts(spans), starts);
}

QTEST_GUILESS_MAIN(TestWordRules)
#include "tst_wordrules.moc"
