#include "servermessages.h"
#include "sidetimeline.h"
#include "sonioxmessage.h"
#include "transcript.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

namespace {

TranscriptUpdate finalSource(const QString &text)
{
    return message({token(text, true)});
}

QString repeated(const QString &piece, int times)
{
    QString text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

// A final piece heard on `side`, said by `speaker` ("" for none).
SpokenPiece voiced(const QString &text, Side side, const QString &speaker)
{
    SpokenPiece piece = token(text, true);
    piece.source = side;
    if (!speaker.isEmpty())
        piece.speaker = speaker;
    return piece;
}

// One character a chunk of 100 ms: M the microphone's voice, S the
// computer's, B both with the microphone louder, b both with the computer
// louder, . silence.
void fill(SideTimeline &timeline, const QString &chunks)
{
    for (QChar c : chunks) {
        ChunkSides sides{.samples = 1600};
        sides.micVoice = c == u'M' || c == u'B' || c == u'b';
        sides.systemVoice = c == u'S' || c == u'B' || c == u'b';
        sides.micLevel = c == u'B' ? 0.3f : 0.1f;
        sides.systemLevel = c == u'b' ? 0.3f : 0.1f;
        timeline.add(sides);
    }
}

} // namespace

Q_DECLARE_METATYPE(SpokenPiece)
Q_DECLARE_METATYPE(Side)

class TestTranscriptAssembly : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sentenceEnds_data();
    void sentenceEnds();
    void saveStatesCompareByCaseAndMessage();
    void messageWithoutTokensChangesNothing();
    void provisionalTextGivesWayToTheFinalLine();
    void sentenceSpreadOverMessagesStaysOneLine();
    void finishedLineIsFollowedByANewOne_data();
    void finishedLineIsFollowedByANewOne();
    void sourceAndTranslationNeverShareALine();
    void longLineBreaksOnlyBeforeASpace_data();
    void longLineBreaksOnlyBeforeASpace();
    void lineKeepsItsIdentityLanguageAndTimeAsItGrows();
    void provisionalTokensOfBothKindsJoinInOrder();
    void emptyFinalTokenOpensAnEmptyLine();
    void viewsHearEachChangeOnce();
    void recordedExchangeBecomesItsLines();
    void anotherVoiceStartsALine_data();
    void anotherVoiceStartsALine();
    void piecesAreMarkedWithTheSideThatSpokeMore_data();
    void piecesAreMarkedWithTheSideThatSpokeMore();
    void piecesWithoutTimesFollowTheWordsBefore();
    void aLongMeetingKeepsALittleOfItsSides();
};

void TestTranscriptAssembly::sentenceEnds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ends");

    QTest::newRow("full stop") << QStringLiteral("Hello.") << true;
    QTest::newRow("question") << QStringLiteral("Really?") << true;
    QTest::newRow("exclamation") << QStringLiteral("Done!") << true;
    QTest::newRow("ideographic full stop") << QStringLiteral("好。") << true;
    QTest::newRow("fullwidth question") << QStringLiteral("本当？") << true;
    QTest::newRow("fullwidth exclamation") << QStringLiteral("はい！") << true;
    QTest::newRow("ellipsis") << QStringLiteral("Wait…") << true;
    QTest::newRow("straight quote after") << QStringLiteral("Stop.\"") << true;
    QTest::newRow("curly quote after") << QStringLiteral("Yes.\u201D") << true;
    QTest::newRow("curly single quote after") << QStringLiteral("She said \u2018go.\u2019") << true;
    QTest::newRow("bracket after") << QStringLiteral("(see above.)") << true;
    QTest::newRow("corner brackets") << QStringLiteral("「はい。」") << true;
    QTest::newRow("several closers") << QStringLiteral("He said 'go.'\")") << true;
    QTest::newRow("white space and newline after") << QStringLiteral("Done.  \n") << true;
    QTest::newRow("ideographic space after") << QStringLiteral("はい。\u3000") << true;
    QTest::newRow("emoji before the mark") << QStringLiteral("🙂.") << true;

    QTest::newRow("empty") << QString() << false;
    QTest::newRow("spaces only") << QStringLiteral("   ") << false;
    QTest::newRow("no mark") << QStringLiteral("Hello") << false;
    QTest::newRow("abbreviation without its stop") << QStringLiteral("e.g") << false;
    QTest::newRow("closers only") << QStringLiteral("\")\u300D") << false;
    QTest::newRow("colon") << QStringLiteral("Note:") << false;
    QTest::newRow("semicolon") << QStringLiteral("first;") << false;
    QTest::newRow("space between mark and closer") << QStringLiteral("Done. \"") << false;
    QTest::newRow("accent on the mark") << QStringLiteral("Hello.\u0301") << false;
    QTest::newRow("mark inside, word after") << QStringLiteral("Yes. And") << false;
}

void TestTranscriptAssembly::sentenceEnds()
{
    QFETCH(QString, text);
    QFETCH(bool, ends);
    QCOMPARE(Transcript::endsSentence(text), ends);
}

void TestTranscriptAssembly::saveStatesCompareByCaseAndMessage()
{
    const QString a = QStringLiteral("Server URL is not valid.");
    const QString b = QStringLiteral("Saving failed — the transcript is still here; try Save again.");
    QCOMPARE(SaveState::failed(a), SaveState::failed(a));
    QVERIFY(SaveState::failed(a) != SaveState::failed(b));
    QVERIFY(SaveState::failed(a) != SaveState::saved());
    QVERIFY(SaveState::failed(QString()) != SaveState::idle());
    QCOMPARE(SaveState::idle(), SaveState());
    QVERIFY(SaveState::idle() != SaveState::saved());
}

void TestTranscriptAssembly::messageWithoutTokensChangesNothing()
{
    Transcript state;
    state.apply(message({token(QStringLiteral("Hi"), true), token(QStringLiteral(" the"), false)}));
    QSignalSpy appended(&state, &Transcript::lineAppended);
    QSignalSpy grown(&state, &Transcript::lastLineChanged);
    QSignalSpy partial(&state, &Transcript::partialChanged);

    state.apply(TranscriptUpdate{});
    state.apply(message({}));

    QCOMPARE(lineTexts(state.lines()), QStringList{QStringLiteral("Hi")});
    QCOMPARE(state.partial(), QStringLiteral(" the"));
    QCOMPARE(appended.count() + grown.count() + partial.count(), 0);
}

void TestTranscriptAssembly::provisionalTextGivesWayToTheFinalLine()
{
    Transcript state;
    state.apply(message({token(QStringLiteral("Hel"), false)}));
    QCOMPARE(state.partial(), QStringLiteral("Hel"));
    QVERIFY(state.lines().isEmpty());

    state.apply(finalSource(QStringLiteral("Hello.")));
    QCOMPARE(lineTexts(state.lines()), QStringList{QStringLiteral("Hello.")});
    QVERIFY(state.lines().first().complete);
    QCOMPARE(state.partial(), QString());
}

void TestTranscriptAssembly::sentenceSpreadOverMessagesStaysOneLine()
{
    Transcript state;
    state.apply(finalSource(QStringLiteral("Hello")));
    state.apply(finalSource(QStringLiteral(" world")));
    QVERIFY(!state.lines().last().complete);
    state.apply(finalSource(QStringLiteral(".")));
    QCOMPARE(lineTexts(state.lines()), QStringList{QStringLiteral("Hello world.")});
    QVERIFY(state.lines().last().complete);
}

void TestTranscriptAssembly::finishedLineIsFollowedByANewOne_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("next");
    QTest::newRow("with a space") << QStringLiteral("Done.") << QStringLiteral(" Next");
    QTest::newRow("without a space") << QStringLiteral("Done.") << QStringLiteral("Next");
    QTest::newRow("CJK") << QStringLiteral("好。") << QStringLiteral("下");
    QTest::newRow("trailing space kept on the closed line") << QStringLiteral("Done. ") << QStringLiteral("Next");
}

void TestTranscriptAssembly::finishedLineIsFollowedByANewOne()
{
    QFETCH(QString, first);
    QFETCH(QString, next);
    Transcript state;
    state.apply(finalSource(first));
    state.apply(finalSource(next));
    QCOMPARE(lineTexts(state.lines()), (QStringList{first, next}));
    QVERIFY(state.lines().at(0).complete);
    QVERIFY(!state.lines().at(1).complete);
}

void TestTranscriptAssembly::sourceAndTranslationNeverShareALine()
{
    Transcript state;
    state.apply(message({token(QStringLiteral("Good"), true, false, QStringLiteral("en")),
                         token(QStringLiteral("Buenos"), true, true, QStringLiteral("es")),
                         token(QStringLiteral(" morning"), true, false, QStringLiteral("en"))}));
    state.apply(message({token(QStringLiteral(" días"), true, true)}));

    QCOMPARE(lineTexts(state.lines()), (QStringList{QStringLiteral("Good"), QStringLiteral("Buenos"), QStringLiteral(" morning"),
                                        QStringLiteral(" días")}));
    const QList<bool> kinds = {false, true, false, true};
    for (int i = 0; i < kinds.size(); ++i)
        QCOMPARE(state.lines().at(i).isTranslation, kinds.at(i));
    QVERIFY(!state.lines().at(0).complete); // never completed, yet closed by the switch
}

void TestTranscriptAssembly::longLineBreaksOnlyBeforeASpace_data()
{
    QTest::addColumn<QStringList>("lineTokens"); // builds the last line
    QTest::addColumn<QString>("next");
    QTest::addColumn<int>("lines");

    const QStringList exactly320 = {repeated(QStringLiteral("a"), 320)};
    const QStringList exactly321 = {repeated(QStringLiteral("a"), 321)};
    QTest::newRow("320, space") << exactly320 << QStringLiteral(" next") << 1;
    QTest::newRow("321, space") << exactly321 << QStringLiteral(" next") << 2;
    QTest::newRow("320, no space") << exactly320 << QStringLiteral("next") << 1;
    QTest::newRow("321, no space") << exactly321 << QStringLiteral("next") << 1;
    QTest::newRow("321, no-break space is not a space") << exactly321 << QStringLiteral("\u00A0next") << 1;

    // Wide characters count once each, however many code units they take.
    QTest::newRow("320 emoji") << QStringList{repeated(QStringLiteral("🙂"), 320)} << QStringLiteral(" next") << 1;
    QTest::newRow("321 emoji") << QStringList{repeated(QStringLiteral("🙂"), 321)} << QStringLiteral(" next") << 2;
    QTest::newRow("320 families") << QStringList{repeated(QStringLiteral("👨‍👩‍👧"), 320)} << QStringLiteral(" next") << 1;

    // Characters split across tokens still count once.
    QStringList flags640;
    for (int i = 0; i < 320; ++i)
        flags640 << QStringLiteral("\U0001F1FA") << QStringLiteral("\U0001F1F8");
    QTest::newRow("320 flags, one indicator a token") << flags640 << QStringLiteral(" next") << 1;
    QStringList flags642 = flags640;
    flags642 << QStringLiteral("\U0001F1EA") << QStringLiteral("\U0001F1F8");
    QTest::newRow("321 flags, one indicator a token") << flags642 << QStringLiteral(" next") << 2;
    QStringList accents;
    for (int i = 0; i < 320; ++i)
        accents << QStringLiteral("e") << QStringLiteral("\u0301");
    QTest::newRow("320 accented letters, accent a token") << accents << QStringLiteral(" next") << 1;
    accents << QStringLiteral("e");
    QTest::newRow("321 accented letters, accent a token") << accents << QStringLiteral(" next") << 2;
}

void TestTranscriptAssembly::longLineBreaksOnlyBeforeASpace()
{
    QFETCH(QStringList, lineTokens);
    QFETCH(QString, next);
    QFETCH(int, lines);

    Transcript state;
    state.apply(finalSource(QStringLiteral("Before.")));
    for (const QString &piece : lineTokens)
        state.apply(finalSource(piece));
    QCOMPARE(state.lines().size(), 2);

    state.apply(finalSource(next));
    QCOMPARE(state.lines().size(), 1 + lines);
    QCOMPARE(state.lines().last().text.endsWith(next), true);
}

void TestTranscriptAssembly::lineKeepsItsIdentityLanguageAndTimeAsItGrows()
{
    Transcript state;
    state.apply(message({token(QStringLiteral("Bonjour"), true, false, QStringLiteral("fr"))}));
    const TranscriptLine opened = state.lines().first();
    QVERIFY(!opened.id.isNull());
    QVERIFY(opened.t.isValid());

    state.apply(message({token(QStringLiteral(" everyone"), true, false, QStringLiteral("en")),
                         token(QStringLiteral("!"), true)}));
    QCOMPARE(state.lines().size(), 1);
    const TranscriptLine grown = state.lines().first();
    QCOMPARE(grown.text, QStringLiteral("Bonjour everyone!"));
    QCOMPARE(grown.id, opened.id);
    QCOMPARE(grown.lang, QStringLiteral("fr"));
    QCOMPARE(grown.t, opened.t);
    QVERIFY(grown.complete);

    state.apply(finalSource(QStringLiteral("Same text")));
    state.apply(finalSource(QStringLiteral(".")));
    state.apply(finalSource(QStringLiteral("Same text")));
    QCOMPARE(state.lines().at(2).text, state.lines().at(1).text.chopped(1));
    QVERIFY(state.lines().at(1).id != state.lines().at(2).id);
    QVERIFY(!state.lines().at(1).lang); // a token without a language opens a line without one
}

void TestTranscriptAssembly::provisionalTokensOfBothKindsJoinInOrder()
{
    Transcript state;
    state.apply(message({token(QStringLiteral("Good"), false), token(QStringLiteral("Bue"), false, true),
                         token(QStringLiteral("Yes."), true), token(QStringLiteral(" mor"), false)}));
    QCOMPARE(state.partial(), QStringLiteral("GoodBue mor"));
    QCOMPARE(lineTexts(state.lines()), QStringList{QStringLiteral("Yes.")});

    state.apply(message({token(QStringLiteral(" Fine"), true)}));
    QCOMPARE(state.partial(), QString());
}

void TestTranscriptAssembly::emptyFinalTokenOpensAnEmptyLine()
{
    Transcript state;
    state.apply(finalSource(QString()));
    QCOMPARE(lineTexts(state.lines()), QStringList{QString()});
    QVERIFY(!state.lines().first().complete);
    state.apply(finalSource(QStringLiteral("Then.")));
    QCOMPARE(lineTexts(state.lines()), QStringList{QStringLiteral("Then.")});
}

void TestTranscriptAssembly::viewsHearEachChangeOnce()
{
    Transcript state;
    QSignalSpy appended(&state, &Transcript::lineAppended);
    QSignalSpy grown(&state, &Transcript::lastLineChanged);
    QSignalSpy partial(&state, &Transcript::partialChanged);

    state.apply(message({token(QStringLiteral("One"), true), token(QStringLiteral("."), true),
                         token(QStringLiteral(" Two"), true), token(QStringLiteral(" thr"), false)}));
    QCOMPARE(appended.count(), 2);
    QCOMPARE(appended.at(0).at(0).value<qsizetype>(), 0);
    QCOMPARE(appended.at(1).at(0).value<qsizetype>(), 1);
    QCOMPARE(grown.count(), 1);
    QCOMPARE(grown.at(0).at(0).value<qsizetype>(), 0);
    QCOMPARE(partial.count(), 1);

    state.apply(message({token(QStringLiteral(" thr"), false)}));
    QCOMPARE(partial.count(), 1); // the same text is no change
}

void TestTranscriptAssembly::recordedExchangeBecomesItsLines()
{
    // Source and translation interleaved as the server sends them, with
    // provisional text running ahead of the finals.
    const QJsonObject recorded = fixture(QStringLiteral("bilingual-exchange.json")).toObject();
    Transcript state;
    for (const QJsonValue frame : recorded[QStringLiteral("messages")].toArray()) {
        const std::optional<SonioxMessage> decoded =
            SonioxMessage::decode(QJsonDocument(frame.toObject()).toJson(QJsonDocument::Compact));
        QVERIFY(decoded);
        state.apply(decoded->toUpdate());
    }
    const QJsonArray expected = recorded[QStringLiteral("lines")].toArray();
    QCOMPARE(state.lines().size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const QJsonObject want = expected.at(i).toObject();
        const TranscriptLine &line = state.lines().at(i);
        QCOMPARE(line.text, want[QStringLiteral("text")].toString());
        QCOMPARE(line.isTranslation, want[QStringLiteral("translation")].toBool());
        QCOMPARE(line.lang.value_or(QString()), want[QStringLiteral("lang")].toString());
        QCOMPARE(line.complete, want[QStringLiteral("complete")].toBool());
    }
    QCOMPARE(state.partial(), recorded[QStringLiteral("partial")].toString());
}

void TestTranscriptAssembly::anotherVoiceStartsALine_data()
{
    QTest::addColumn<QList<SpokenPiece>>("pieces");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("labels"); // shown above each line

    const Side mic = Side::Mic;
    const Side sys = Side::System;
    QTest::newRow("the user alone")
        << QList<SpokenPiece>{voiced("So", mic, ""), voiced(" far", mic, "")} << QStringList{"So far"} << QStringList{""};
    QTest::newRow("the other side answers")
        << QList<SpokenPiece>{voiced("Hi", mic, ""), voiced(" there", sys, "")} << QStringList{"Hi", " there"}
        << QStringList{"", "Others"};
    QTest::newRow("the other side first")
        << QList<SpokenPiece>{voiced("Hello", sys, "2"), voiced(" yes", mic, "1")} << QStringList{"Hello", " yes"}
        << QStringList{"Speaker 2", "You"};
    QTest::newRow("two speakers on the call")
        << QList<SpokenPiece>{voiced("One", sys, "1"), voiced(" two", sys, "2"), voiced(" more", sys, "2")}
        << QStringList{"One", " two more"} << QStringList{"Speaker 1", "Speaker 2"};
    QTest::newRow("a label where diarization starts")
        << QList<SpokenPiece>{voiced("A", sys, ""), voiced(" B", sys, "3")} << QStringList{"A", " B"}
        << QStringList{"Others", "Speaker 3"};
    QTest::newRow("two labels of the microphone read the same")
        << QList<SpokenPiece>{voiced("Me", mic, "1"), voiced(" too", mic, "2")} << QStringList{"Me", " too"}
        << QStringList{"", ""};
    QTest::newRow("an open line of the same voice goes on across sides' silence")
        << QList<SpokenPiece>{voiced("Wait", sys, "2"), voiced(" what", sys, "2")} << QStringList{"Wait what"}
        << QStringList{"Speaker 2"};
    SpokenPiece translated = voiced(" Hola", sys, "2");
    translated.translation = true;
    QTest::newRow("a translation carries no label")
        << QList<SpokenPiece>{voiced("Hello", sys, "2"), translated, voiced(" bye", sys, "2")}
        << QStringList{"Hello", " Hola", " bye"} << QStringList{"Speaker 2", "", ""};
}

void TestTranscriptAssembly::anotherVoiceStartsALine()
{
    QFETCH(QList<SpokenPiece>, pieces);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, labels);

    Transcript state;
    for (const SpokenPiece &piece : pieces)
        state.apply(message({piece}));
    QCOMPARE(lineTexts(state.lines()), lines);
    QStringList shown;
    for (qsizetype row = 0; row < state.lines().size(); ++row)
        shown.append(shownSpeakerLabel(state.lines(), row));
    QCOMPARE(shown, labels);
    // Each line keeps the side and speaker of its first words.
    const SpokenPiece &first = pieces.first();
    QCOMPARE(state.lines().first().source, first.source);
    QCOMPARE(state.lines().first().speaker, first.speaker);
}

void TestTranscriptAssembly::piecesAreMarkedWithTheSideThatSpokeMore_data()
{
    QTest::addColumn<QString>("chunks");
    QTest::addColumn<qint64>("startMs");
    QTest::addColumn<qint64>("endMs");
    QTest::addColumn<Side>("side");

    QTest::newRow("microphone alone: nothing known") << QString() << 0LL << 500LL << Side::Mic;
    QTest::newRow("the computer within one chunk") << "MSM" << 120LL << 180LL << Side::System;
    QTest::newRow("across chunks, the computer longer") << "MMSSS." << 150LL << 450LL << Side::System;
    QTest::newRow("across chunks, the microphone longer") << "MMSSS." << 50LL << 250LL << Side::Mic;
    QTest::newRow("an even split is the user's") << "MS" << 50LL << 150LL << Side::Mic;
    QTest::newRow("silence is the user's") << "..." << 0LL << 300LL << Side::Mic;
    QTest::newRow("silence around the computer's voice") << "..S.." << 0LL << 500LL << Side::System;
    QTest::newRow("both talking, the computer louder") << "bbb" << 0LL << 300LL << Side::System;
    QTest::newRow("both talking, the user louder") << "BBB" << 0LL << 300LL << Side::Mic;
    QTest::newRow("an echo under the computer's voice") << "MbbbbM" << 0LL << 600LL << Side::System;
    QTest::newRow("a word without length") << "MSM" << 150LL << 150LL << Side::System;
    QTest::newRow("beyond the end: as much of the end") << "MMMSS" << 900LL << 1100LL << Side::System;
    QTest::newRow("far beyond the end, longer than all") << "SSSM" << 5000LL << 9000LL << Side::System;
}

void TestTranscriptAssembly::piecesAreMarkedWithTheSideThatSpokeMore()
{
    QFETCH(QString, chunks);
    QFETCH(qint64, startMs);
    QFETCH(qint64, endMs);
    QFETCH(Side, side);

    SideTimeline timeline;
    fill(timeline, chunks);
    QCOMPARE(timeline.sideOf(startMs, endMs), side);
}

void TestTranscriptAssembly::piecesWithoutTimesFollowTheWordsBefore()
{
    SideTimeline timeline;
    fill(timeline, QStringLiteral("MMMMSSSS"));
    auto timed = [](const QString &text, qint64 start, qint64 end) {
        SpokenPiece piece = token(text, true);
        piece.startMs = start;
        piece.endMs = end;
        return piece;
    };
    SpokenPiece untimed = token(QStringLiteral(" dos"), true, true);
    SpokenPiece provisional = token(QStringLiteral(" tres"), false);
    provisional.startMs = 450;
    provisional.endMs = 700;
    HeardBefore last;
    QList<SpokenPiece> pieces = {token(QStringLiteral("Before"), true), timed(QStringLiteral("Hi"), 0, 300),
                                 timed(QStringLiteral(" two"), 450, 700), untimed, provisional};
    pieces[2].speaker = QStringLiteral("2");
    markSides(pieces, &timeline, last);
    const QList<Side> sides = {Side::Mic, Side::Mic, Side::System, Side::System, Side::Mic};
    for (int i = 0; i < sides.size(); ++i)
        QCOMPARE(pieces.at(i).source, sides.at(i));
    QCOMPARE(pieces.at(3).speaker, std::optional<QString>(QStringLiteral("2")));

    // The next update's translation still belongs to the words before it.
    QList<SpokenPiece> later = {token(QStringLiteral(" más"), true, true)};
    markSides(later, &timeline, last);
    QCOMPARE(later.first().source, Side::System);
}

// Two hours of sides that change every chunk, marked as the words come: the
// timeline keeps what lies behind the last words for a while, not all of it.
void TestTranscriptAssembly::aLongMeetingKeepsALittleOfItsSides()
{
    SideTimeline timeline;
    HeardBefore last;
    const qint64 chunks = 2 * 3600 * 10; // of 100 ms
    for (qint64 i = 0; i < chunks; ++i) {
        fill(timeline, i % 2 ? QStringLiteral("M") : QStringLiteral("S"));
        if (i % 100 == 99) {
            SpokenPiece word = token(QStringLiteral(" word"), true);
            word.startMs = i * 100;
            word.endMs = i * 100 + 100;
            QList<SpokenPiece> pieces{word};
            markSides(pieces, &timeline, last);
            QCOMPARE(pieces.first().source, i % 2 ? Side::Mic : Side::System);
        }
    }
    QVERIFY2(timeline.runs() <= 700, qPrintable(QString::number(timeline.runs())));
}

QTEST_GUILESS_MAIN(TestTranscriptAssembly)
#include "tst_transcriptassembly.moc"
