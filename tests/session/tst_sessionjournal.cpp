// The journal's own rules: what a damaged journal still gives back, where
// unreadable ones go, and how writing comes back after the disk fills.

#include "sessionjournal.h"

#include "clock.h"
#include "servermessages.h"
#include "transcript.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace std::chrono_literals;

namespace {

const QDateTime now = QDateTime::fromString(QStringLiteral("2026-06-01T12:00:00Z"), Qt::ISODate);
const qint64 at = now.toMSecsSinceEpoch() - 3600 * 1000; // the session began an hour ago

QByteArray records(const QList<QJsonObject> &objects)
{
    QByteArray bytes;
    for (const QJsonObject &object : objects)
        bytes += QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    return bytes;
}

QJsonObject session(qint64 startedAt = at, const QString &id = QStringLiteral("linux_1_abcde"))
{
    return {{"r", "session"}, {"startedAt", startedAt}, {"sourceClientId", id}, {"languageA", "any"},
            {"languageB", "es"}, {"transcriptOnly", false}};
}

QJsonObject line(qint64 row, const QString &text, qint64 t = at + 1000)
{
    return {{"r", "line"}, {"row", row}, {"t", t}, {"text", text}, {"translated", false}, {"lang", QJsonValue()},
            {"complete", true}};
}

// The file-size limit stands in for a full disk: writes past it fail with
// EFBIG, as they would with ENOSPC, and raising it is the space coming back.
void limitFileSize(rlim_t bytes)
{
    const rlimit limit{bytes, RLIM_INFINITY};
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
}

} // namespace

class TestSessionJournal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }
    void cleanup()
    {
        limitFileSize(RLIM_INFINITY);
        Clock::setSource({});
    }
    void damagedRecordsAreSkippedAndTheRestKept_data();
    void damagedRecordsAreSkippedAndTheRestKept();
    void unreadableJournalsAreSetAsideUnderNewNumbers_data();
    void unreadableJournalsAreSetAsideUnderNewNumbers();
    void journalThatCannotBeSetAsideIsLeftWhole();
    void writingComesBackOnceTheDiskHasRoom_data();
    void writingComesBackOnceTheDiskHasRoom();
    void linesKeepWhereTheyWereHeard_data();
    void linesKeepWhereTheyWereHeard();
};

void TestSessionJournal::damagedRecordsAreSkippedAndTheRestKept_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<QStringList>("lines"); // empty: the journal is unreadable
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<int>("damaged");
    const qint64 week = 7 * 24 * 3600;
    const QJsonObject pause{{"r", "pause"}, {"seconds", 30}};
    QTest::newRow("a garbled line in the middle")
        << records({session(), line(0, "One.")}) + "{\"r\":\"line\",\"ro\x01\n" + records({line(2, "Three."), pause})
        << QStringList{"One.", "Three."} << 30LL << 1;
    QTest::newRow("a line with a field of the wrong type")
        << records({session(), line(0, "One."), QJsonObject{{"r", "line"}, {"row", 1}, {"t", at}, {"text", 7}},
                    line(2, "Three.")})
        << QStringList{"One.", "Three."} << 0LL << 1;
    QTest::newRow("the growth of a damaged line goes with it")
        << records({session(), line(0, "One."), line(1, "Two.", 1000),
                    QJsonObject{{"r", "more"}, {"row", 1}, {"text", " more"}, {"complete", true}}, line(2, "Three.")})
        << QStringList{"One.", "Three."} << 0LL << 2;
    QTest::newRow("a line from before 2020") << records({session(), line(0, "Old.", 1'500'000'000'000), line(1, "New.")})
                                             << QStringList{"New."} << 0LL << 1;
    QTest::newRow("a line from the future")
        << records({session(), line(0, "Later.", now.toMSecsSinceEpoch() + 2 * 24 * 3600 * 1000), line(1, "Now.")})
        << QStringList{"Now."} << 0LL << 1;
    QTest::newRow("a pause longer than a week")
        << records({session(), line(0, "One."), pause, QJsonObject{{"r", "pause"}, {"seconds", qint64(1'000'000'000'000)}}})
        << QStringList{"One."} << 30LL << 1;
    QTest::newRow("an open leg longer than a week")
        << records({session(), line(0, "One."), pause,
                    QJsonObject{{"r", "leg"}, {"at", at - (week + 60) * 1000}}, QJsonObject{{"r", "time"}, {"at", at}}})
        << QStringList{"One."} << 30LL << 1;
    QTest::newRow("an open leg until its last sign of life")
        << records({session(), QJsonObject{{"r", "leg"}, {"at", at}}, line(0, "One.", at + 4000),
                    QJsonObject{{"r", "time"}, {"at", at + 9500}}})
        << QStringList{"One."} << 9LL << 0;
    QTest::newRow("a torn last record is no damage")
        << records({session(), line(0, "One.")}) + "{\"r\":\"line\",\"row\":1,\"t\"" << QStringList{"One."} << 0LL << 0;
    QTest::newRow("a session started at 0") << records({session(0), line(0, "One.")}) << QStringList() << 0LL << 0;
    QTest::newRow("a session without its client id")
        << records({session(at, QString()), line(0, "One.")}) << QStringList() << 0LL << 0;
}

void TestSessionJournal::damagedRecordsAreSkippedAndTheRestKept()
{
    QFETCH(QByteArray, journal);
    QFETCH(QStringList, lines);
    QFETCH(qint64, seconds);
    QFETCH(int, damaged);
    const JournalReading reading = readJournal(journal, now);
    if (lines.isEmpty()) {
        QCOMPARE(reading.kind, JournalReading::Kind::Unreadable);
        return;
    }
    QCOMPARE(reading.kind, JournalReading::Kind::Session);
    QCOMPARE(reading.session.session.startedAt.toMSecsSinceEpoch(), at);
    QCOMPARE(lineTexts(reading.session.lines), lines);
    QCOMPARE(reading.session.seconds, seconds);
    QCOMPARE(reading.damaged, damaged);
}

void TestSessionJournal::unreadableJournalsAreSetAsideUnderNewNumbers_data()
{
    QTest::addColumn<QStringList>("before"); // set-aside files already there
    QTest::addColumn<QString>("aside");
    QTest::addColumn<QStringList>("after");
    const QString c = QStringLiteral("session.journal.corrupt");
    QTest::newRow("the first") << QStringList() << c << QStringList{c};
    QTest::newRow("the second") << QStringList{c} << c + ".1" << QStringList{c, c + ".1"};
    QTest::newRow("after a gap") << QStringList{c, c + ".7"} << c + ".8" << QStringList{c, c + ".7", c + ".8"};
    QTest::newRow("the oldest goes") << QStringList{c + ".1", c + ".2", c + ".10"} << c + ".11"
                                     << QStringList{c + ".10", c + ".11", c + ".2"};
    QTest::newRow("other names are not counted")
        << QStringList{c + ".x", c + "1"} << c << QStringList{c, c + ".x", c + "1"};
}

void TestSessionJournal::unreadableJournalsAreSetAsideUnderNewNumbers()
{
    QFETCH(QStringList, before);
    QFETCH(QString, aside);
    QFETCH(QStringList, after);
    const QByteArray garbage("\x00not a journal\n", 15);
    QTemporaryDir dir;
    for (const QString &name : before) {
        QFile earlier(dir.filePath(name));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write(name.toUtf8());
    }
    QFile unreadable(dir.filePath(QStringLiteral("session.journal")));
    QVERIFY(unreadable.open(QIODevice::WriteOnly));
    unreadable.write(garbage);
    unreadable.close();

    SessionJournal journal(unreadable.fileName());
    const SessionJournal::Recovery found = journal.recover();
    QCOMPARE(found.kind, SessionJournal::Recovery::Kind::SetAside);
    QCOMPARE(found.asidePath, dir.filePath(aside));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), after);
    for (const QString &name : after) {
        QFile kept(dir.filePath(name));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), name == aside ? garbage : name.toUtf8());
    }
}

// A name one step too long to take ".corrupt" makes the move fail, as a
// folder zarno may not write would for a user other than root.
void TestSessionJournal::journalThatCannotBeSetAsideIsLeftWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QString(250, u'j'));
    QFile unreadable(path);
    QVERIFY(unreadable.open(QIODevice::WriteOnly));
    unreadable.write("garbage\n");
    unreadable.close();

    SessionJournal journal(path, 10ms);
    const SessionJournal::Recovery found = journal.recover();
    QCOMPARE(found.kind, SessionJournal::Recovery::Kind::Unreadable);
    QCOMPARE(found.asidePath, QString());
    // A new session is not recorded over it, and says so.
    QSignalSpy failed(&journal, &SessionJournal::writeFailed);
    journal.beginSession({now, QStringLiteral("linux_2_fghij"), QStringLiteral("any"), QStringLiteral("en"), false});
    journal.beginLeg(now);
    journal.discard();
    QCOMPARE(failed.size(), 1);
    QVERIFY(unreadable.open(QIODevice::ReadOnly));
    QCOMPARE(unreadable.readAll(), QByteArray("garbage\n"));
}

void TestSessionJournal::writingComesBackOnceTheDiskHasRoom_data()
{
    QTest::addColumn<QString>("fullFrom");
    QTest::newRow("the disk fills during the session") << "the second line";
    QTest::newRow("the disk is full when the session begins") << "the start";
    QTest::newRow("the disk is full when the session is recovered") << "recovery";
}

// zarno goes on through a full disk; once there is room, the journal holds
// everything again, so a crash after that loses nothing.
void TestSessionJournal::writingComesBackOnceTheDiskHasRoom()
{
    QFETCH(QString, fullFrom);
    Clock::setSource([] { return now; });
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("zarno/session.journal"));
    Transcript transcript;
    auto journal = std::make_unique<SessionJournal>(path, 10ms);
    journal->follow(&transcript);
    auto failed = std::make_unique<QSignalSpy>(journal.get(), &SessionJournal::writeFailed);

    if (fullFrom == QStringLiteral("the start"))
        limitFileSize(0);
    journal->beginSession({now.addSecs(-60), QStringLiteral("linux_3_klmno"), QStringLiteral("any"),
                           QStringLiteral("es"), false});
    journal->beginLeg(now.addSecs(-60));
    transcript.apply(message({token(QStringLiteral("One."), true)}));
    if (fullFrom == QStringLiteral("recovery")) {
        journal = std::make_unique<SessionJournal>(path, 10ms); // as killed, and launched again
        journal->follow(&transcript);
        limitFileSize(0);
        failed = std::make_unique<QSignalSpy>(journal.get(), &SessionJournal::writeFailed);
        transcript.reset(journal->recover().session.lines, QString());
    }
    QSignalSpy resumed(journal.get(), &SessionJournal::writeResumed);
    if (fullFrom == QStringLiteral("the second line"))
        limitFileSize(QFileInfo(path).size());
    transcript.apply(message({token(QStringLiteral("Two"), true)}));
    transcript.apply(message({token(QStringLiteral(" more."), true)}));
    journal->endLeg(now.addSecs(-30), 30);
    QCOMPARE(failed->size(), 1);
    QCOMPARE(resumed.size(), 0);

    limitFileSize(RLIM_INFINITY);
    journal->beginLeg(now.addSecs(-20));
    QCOMPARE(resumed.size(), 1);
    SpokenPiece third = token(QStringLiteral("Three."), true);
    third.source = Side::System;
    third.speaker = QStringLiteral("2");
    transcript.apply(message({third}));
    journal->stillListening(now);
    QCOMPARE(failed->size(), 1);

    journal.reset(); // as killed
    SessionJournal again(path);
    const SessionJournal::Recovery found = again.recover();
    QCOMPARE(found.kind, SessionJournal::Recovery::Kind::Recovered);
    QCOMPARE(lineTexts(found.session.lines), (QStringList{"One.", "Two more.", "Three."}));
    QCOMPARE(found.session.seconds, qint64(50));
    QCOMPARE(found.session.session.sourceClientId, QStringLiteral("linux_3_klmno"));
    QCOMPARE(found.session.lines.at(1).source, Side::Mic);
    QCOMPARE(found.session.lines.at(1).speaker, std::nullopt);
    QCOMPARE(found.session.lines.at(2).source, Side::System);
    QCOMPARE(found.session.lines.at(2).speaker, std::optional<QString>(QStringLiteral("2")));
}

void TestSessionJournal::linesKeepWhereTheyWereHeard_data()
{
    QTest::addColumn<QJsonObject>("fields"); // added to a line record
    QTest::addColumn<QString>("voice");      // "side speaker"; empty: the record is damaged
    QTest::newRow("written before sides were heard") << QJsonObject() << "mic -";
    QTest::newRow("the computer's sound, a speaker") << QJsonObject{{"source", "system"}, {"speaker", "2"}} << "system 2";
    QTest::newRow("the microphone, no speaker") << QJsonObject{{"source", "mic"}} << "mic -";
    QTest::newRow("an unknown side") << QJsonObject{{"source", "radio"}} << QString();
    QTest::newRow("a side that is no text") << QJsonObject{{"source", 1}} << QString();
    QTest::newRow("a speaker that is no text") << QJsonObject{{"source", "system"}, {"speaker", 2}} << QString();
}

void TestSessionJournal::linesKeepWhereTheyWereHeard()
{
    QFETCH(QJsonObject, fields);
    QFETCH(QString, voice);
    QJsonObject heard = line(1, QStringLiteral("Heard."));
    for (auto it = fields.begin(); it != fields.end(); ++it)
        heard.insert(it.key(), it.value());
    const JournalReading reading = readJournal(records({session(), line(0, "One."), heard}), now);
    QCOMPARE(reading.damaged, voice.isEmpty() ? 1 : 0);
    QCOMPARE(reading.session.lines.size(), voice.isEmpty() ? 1 : 2);
    if (voice.isEmpty())
        return;
    const TranscriptLine &read = reading.session.lines.at(1);
    QCOMPARE(sideName(read.source) + u' ' + read.speaker.value_or(QStringLiteral("-")), voice);
}

QTEST_GUILESS_MAIN(TestSessionJournal)
#include "tst_sessionjournal.moc"
