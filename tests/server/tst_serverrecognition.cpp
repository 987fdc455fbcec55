#include "socketprobe.h"
#include "testservice.h"
#include "translator.h"

#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QThread>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int bytesPerMs = 32; // 16 kHz mono s16
constexpr int chunkMs = 85;
// "go forward ten meters", a real recording shipped with pocketsphinx-testdata.
const QString recording = u"/usr/share/pocketsphinx/test/data/goforward.raw"_s;
constexpr int speechEndsMs = 2200; // the recording is quiet after this

QByteArray loadRecording()
{
    QFile file(recording);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Sends audio as a microphone would: one 85 ms chunk every 85 ms.
void streamInRealTime(SocketProbe &probe, const QByteArray &audio)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    qsizetype offset = 0;
    QEventLoop loop;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        const QByteArray chunk = audio.mid(offset, chunkMs * bytesPerMs);
        offset += chunk.size();
        probe.socket.sendBinaryMessage(chunk);
        probe.audioSentMs = offset / bytesPerMs;
        if (offset >= audio.size())
            loop.quit();
    });
    timer.start(chunkMs);
    loop.exec();
}

// Sends audio faster than speech: the recogniser hears the same samples.
void streamQuickly(SocketProbe &probe, const QByteArray &audio)
{
    for (qsizetype offset = 0; offset < audio.size(); offset += chunkMs * bytesPerMs) {
        probe.socket.sendBinaryMessage(audio.mid(offset, chunkMs * bytesPerMs));
        probe.audioSentMs = (offset + chunkMs * bytesPerMs) / bytesPerMs;
        QTest::qWait(5);
    }
}

bool isSourceFinalMessage(const ReceivedMessage &message)
{
    const QJsonArray tokens = message.json.value("tokens").toArray();
    return !tokens.isEmpty() && tokens.first().toObject().value("is_final").toBool()
        && tokens.first().toObject().value("translation_status").toString() == u"original"_s;
}

} // namespace

class TestServerRecognition : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void speechGivesProvisionalThenFinalWords();
    void finalizeMakesEverythingFinal();
    void spanishTranslationFollowsEachUtterance();
    void finalizeIsAnsweredAfterTheTranslation();
    void eachSentenceOfAnUtteranceIsFollowedByItsTranslation();
    void firstUtteranceAfterAQuietStartReadsWell_data();
    void firstUtteranceAfterAQuietStartReadsWell();
    void translatorAnswersEveryRequestInOrder();
    void wordTimesCountFromTheStartOfTheConnection_data();
    void wordTimesCountFromTheStartOfTheConnection();

private:
    QByteArray m_audio;
    std::unique_ptr<TestService> m_server;
    QString m_token;
};

void TestServerRecognition::initTestCase()
{
    m_audio = loadRecording();
    QVERIFY2(m_audio.size() > 2 * 16000 * 2, "pocketsphinx-testdata is not installed (scripts/setup installs it)");
}

void TestServerRecognition::init()
{
    m_server = std::make_unique<TestService>();
    QVERIFY(m_server->start());
    m_token = m_server->accessTokenFor(u"ada@example.org"_s);
}

void TestServerRecognition::speechGivesProvisionalThenFinalWords()
{
    SocketProbe probe(m_server->transcribeUrl(m_token));
    QTRY_VERIFY(probe.connected);
    // A second of silence after the words lets the recogniser end the utterance itself.
    streamInRealTime(probe, m_audio + QByteArray(1000 * bytesPerMs, '\0'));
    QTRY_VERIFY_WITH_TIMEOUT(!probe.finalTokens(false).isEmpty(), 15000);

    qsizetype firstFinal = -1;
    for (qsizetype i = 0; i < probe.messages.size() && firstFinal < 0; ++i) {
        if (isSourceFinalMessage(probe.messages.at(i)))
            firstFinal = i;
    }
    QVERIFY2(firstFinal > 0, "provisional tokens come before the final ones");
    const ReceivedMessage &provisional = probe.messages.first();
    QVERIFY(!provisional.json.value("tokens").toArray().first().toObject().value("is_final").toBool());
    QVERIFY2(provisional.audioSentMs < speechEndsMs, "the first provisional words arrive while speech is still streaming");

    const QList<QJsonObject> finals = probe.finalTokens(false);
    const QString text = SocketProbe::textOf(finals);
    QVERIFY2(text.contains(u"forward"_s, Qt::CaseInsensitive), qPrintable(text));
    QVERIFY2(text.endsWith(u'.'), qPrintable(text));
    qint64 previousStart = -1;
    for (const QJsonObject &token : probe.tokens()) {
        const QString word = token.value("text").toString();
        QVERIFY2(word.startsWith(u' ') && word.size() > 1, qPrintable(word));
        for (const QString &marker : {u"<"_s, u"["_s, u"("_s, u"++"_s})
            QVERIFY2(!word.contains(marker), qPrintable(word));
        QCOMPARE(token.value("language").toString(), u"en"_s);
        QCOMPARE(token.value("translation_status").toString(), u"original"_s);
        if (token.value("is_final").toBool()) {
            const qint64 start = token.value("start_ms").toInteger(-1);
            QVERIFY(start > previousStart);
            QVERIFY(token.value("end_ms").toInteger() > start);
            QVERIFY(token.value("end_ms").toInteger() <= probe.audioSentMs);
            previousStart = start;
        }
    }
    // Only the last word of the utterance carries the full stop.
    for (qsizetype i = 0; i + 1 < finals.size(); ++i)
        QVERIFY(!finals.at(i).value("text").toString().endsWith(u'.'));
}

void TestServerRecognition::finalizeMakesEverythingFinal()
{
    SocketProbe probe(m_server->transcribeUrl(m_token));
    QTRY_VERIFY(probe.connected);
    // The stream stops right after the words, as when the user pauses.
    streamInRealTime(probe, m_audio.left(speechEndsMs * bytesPerMs));
    probe.socket.sendTextMessage(u"{\"type\":\"finalize\"}"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!probe.messages.isEmpty() && isSourceFinalMessage(probe.messages.last()), 15000);

    const QString text = SocketProbe::textOf(probe.finalTokens(false));
    QVERIFY2(text.contains(u"forward"_s, Qt::CaseInsensitive), qPrintable(text));
    QVERIFY2(text.endsWith(u'.'), qPrintable(text));
    // The last message leaves nothing provisional behind, and the answer
    // to the finalize follows it.
    for (const QJsonValue &token : probe.messages.last().json.value("tokens").toArray())
        QVERIFY(token.toObject().value("is_final").toBool());
    QTRY_COMPARE(probe.finAfterMessages, QList<qsizetype>{probe.messages.size()});

    // The connection keeps listening after a finalize.
    const qsizetype before = probe.messages.size();
    streamInRealTime(probe, m_audio + QByteArray(1000 * bytesPerMs, '\0'));
    QTRY_VERIFY_WITH_TIMEOUT(probe.messages.size() > before && isSourceFinalMessage(probe.messages.last()), 15000);
    QVERIFY(!probe.disconnected);
}

void TestServerRecognition::spanishTranslationFollowsEachUtterance()
{
    SocketProbe probe(m_server->transcribeUrl(m_token, u"es"_s));
    QTRY_VERIFY(probe.connected);
    streamInRealTime(probe, m_audio + QByteArray(1000 * bytesPerMs, '\0'));
    QTRY_VERIFY_WITH_TIMEOUT(!probe.finalTokens(true).isEmpty(), 20000);

    qsizetype sourceAt = -1;
    qsizetype translationAt = -1;
    for (qsizetype i = 0; i < probe.messages.size(); ++i) {
        const QJsonArray tokens = probe.messages.at(i).json.value("tokens").toArray();
        if (isSourceFinalMessage(probe.messages.at(i)) && sourceAt < 0)
            sourceAt = i;
        if (tokens.first().toObject().value("translation_status").toString() == u"translation"_s && translationAt < 0)
            translationAt = i;
    }
    QVERIFY(sourceAt >= 0);
    QVERIFY2(translationAt > sourceAt, "the translation follows its utterance");

    const QList<QJsonObject> translation = probe.finalTokens(true);
    for (const QJsonObject &token : translation) {
        QCOMPARE(token.value("language").toString(), u"es"_s);
        QVERIFY(token.value("is_final").toBool());
        QVERIFY(token.value("text").toString().startsWith(u' '));
    }
    const QString spanish = SocketProbe::textOf(translation);
    qInfo("heard \"%s\", translated \"%s\"", qUtf8Printable(SocketProbe::textOf(probe.finalTokens(false))), qUtf8Printable(spanish));
    QVERIFY2(spanish.endsWith(u'.'), qPrintable(spanish));
    QVERIFY2(spanish.trimmed() != SocketProbe::textOf(probe.finalTokens(false)).trimmed(), qPrintable(spanish));
}

void TestServerRecognition::finalizeIsAnsweredAfterTheTranslation()
{
    SocketProbe probe(m_server->transcribeUrl(m_token, u"es"_s));
    QTRY_VERIFY(probe.connected);
    // Cut as the speech ends: the finalize closes the utterance, whose
    // translation is still to come when the recogniser is done.
    streamInRealTime(probe, m_audio.left(speechEndsMs * bytesPerMs));
    probe.socket.sendTextMessage(u"{\"type\":\"finalize\"}"_s);
    QTRY_COMPARE_WITH_TIMEOUT(probe.finAfterMessages.size(), 1, 20000);
    QVERIFY(!probe.finalTokens(true).isEmpty());
    // Nothing of it comes after the answer.
    QCOMPARE(probe.finAfterMessages.first(), probe.messages.size());
}

void TestServerRecognition::eachSentenceOfAnUtteranceIsFollowedByItsTranslation()
{
    SocketProbe probe(m_server->transcribeUrl(m_token, u"es"_s));
    QTRY_VERIFY(probe.connected);
    // "Go forward ten meters", a breath too short to end the utterance, and the same again:
    // one utterance of two sentences.
    const QByteArray speech = m_audio.left(speechEndsMs * bytesPerMs);
    streamInRealTime(probe, speech + m_audio.mid(speechEndsMs * bytesPerMs, 150 * bytesPerMs) + speech
                                + QByteArray(1000 * bytesPerMs, '\0'));
    probe.socket.sendTextMessage(u"{\"type\":\"finalize\"}"_s);
    QTRY_VERIFY_WITH_TIMEOUT(probe.finalTokens(true).size() >= 2 && !isSourceFinalMessage(probe.messages.last()), 20000);

    // Final messages alternate: a sentence, its translation, the next sentence, its translation.
    QStringList kinds;
    QStringList texts;
    for (const ReceivedMessage &message : std::as_const(probe.messages)) {
        const QJsonArray tokens = message.json.value("tokens").toArray();
        if (tokens.isEmpty() || !tokens.first().toObject().value("is_final").toBool())
            continue;
        kinds.append(tokens.first().toObject().value("translation_status").toString());
        QString text;
        for (const QJsonValue &token : tokens)
            text += token.toObject().value("text").toString();
        texts.append(text);
    }
    QCOMPARE(kinds, (QStringList{u"original"_s, u"translation"_s, u"original"_s, u"translation"_s}));
    for (const QString &text : std::as_const(texts))
        QVERIFY2(text.endsWith(u'.') && text.at(1).isUpper(), qPrintable(texts.join(u'|')));
    QVERIFY2(texts.at(1) != texts.at(0), qPrintable(texts.join(u'|')));
}

void TestServerRecognition::firstUtteranceAfterAQuietStartReadsWell_data()
{
    QTest::addColumn<QByteArray>("before");
    QByteArray dither(3 * 16000 * 2, '\0');
    QByteArray noise;
    // The microphone path's floor when nothing plays: its resampler's dither.
    quint32 state = 1;
    for (qsizetype i = 0; i < dither.size(); i += 2) {
        state = state * 1664525u + 1013904223u;
        const qint16 sample = qint16(int((state >> 16) % 5) - 2) / 2; // -1, 0 or 1
        dither[i] = char(sample & 0xff);
        dither[i + 1] = char((sample >> 8) & 0xff);
    }
    // A room's noise: the recording's own first 300 ms, over and over.
    while (noise.size() < dither.size())
        noise += loadRecording().left(300 * bytesPerMs);
    QTest::newRow("digital silence") << QByteArray(3 * 16000 * 2, '\0');
    QTest::newRow("capture dither") << dither;
    QTest::newRow("room noise") << noise.left(dither.size());
}

void TestServerRecognition::firstUtteranceAfterAQuietStartReadsWell()
{
    QFETCH(QByteArray, before);
    SocketProbe probe(m_server->transcribeUrl(m_token));
    QTRY_VERIFY(probe.connected);
    streamQuickly(probe, before + m_audio + QByteArray(1000 * bytesPerMs, '\0'));
    probe.socket.sendTextMessage(u"{\"type\":\"finalize\"}"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!probe.finalTokens(false).isEmpty()
                                 && SocketProbe::textOf(probe.finalTokens(false)).endsWith(u'.'), 20000);
    QTest::qWait(300); // nothing else follows
    QCOMPARE(SocketProbe::textOf(probe.finalTokens(false)), u" Go forward ten meters."_s);
}

void TestServerRecognition::translatorAnswersEveryRequestInOrder()
{
    // One pipeline answers request after request; the stream's own special
    // characters pass through it as text; an empty request answers empty.
    const QList<QPair<QString, QString>> requests = {
        {u"Go forward ten meters."_s, u"Va de frente diez metros."_s},
        {QString(), QString()},
        {u"Go [forward] ^ten$ <meters> / @home."_s, u"^diez$ <"_s},
        {u"Go forward ten meters."_s, u"Va de frente diez metros."_s},
    };
    QThread thread;
    auto *translator = new Translator(u"/usr/share/apertium/modes/eng-spa.mode"_s);
    translator->moveToThread(&thread);
    connect(&thread, &QThread::finished, translator, &QObject::deleteLater);
    thread.start();
    const auto stop = qScopeGuard([&thread] {
        thread.quit();
        thread.wait();
    });
    QList<QPair<quint64, QString>> answers;
    connect(translator, &Translator::translated, this,
            [&answers](quint64 ticket, const QString &text) { answers.append({ticket, text}); });
    for (qsizetype i = 0; i < requests.size(); ++i)
        QMetaObject::invokeMethod(translator, "translate", Q_ARG(quint64, quint64(i + 1)), Q_ARG(QString, requests.at(i).first));
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), requests.size(), 20000);
    for (qsizetype i = 0; i < requests.size(); ++i) {
        QCOMPARE(answers.at(i).first, quint64(i + 1));
        QVERIFY2(answers.at(i).second.contains(requests.at(i).second), qPrintable(answers.at(i).second));
    }
    QVERIFY(answers.at(1).second.isEmpty());

    // Without its pipeline a translator answers empty, and does not crash.
    Translator missing(u"/nonexistent/eng-spa.mode"_s);
    QSignalSpy spy(&missing, &Translator::translated);
    missing.translate(7, u"Go forward."_s);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(1).toString(), QString());
}

void TestServerRecognition::wordTimesCountFromTheStartOfTheConnection_data()
{
    QTest::addColumn<int>("beforeMs"); // of silence before the first words
    QTest::addColumn<int>("betweenMs");
    QTest::newRow("words at once, then after a pause") << 0 << 1500;
    QTest::newRow("a quiet start, then a long pause") << 3000 << 4000;
}

// The same recording twice: each utterance's words are placed where they were
// in the stream, whatever silence came before them.
void TestServerRecognition::wordTimesCountFromTheStartOfTheConnection()
{
    QFETCH(int, beforeMs);
    QFETCH(int, betweenMs);
    SocketProbe probe(m_server->transcribeUrl(m_token));
    QTRY_VERIFY(probe.connected);
    const QByteArray silence(1, '\0');
    streamQuickly(probe, silence.repeated(beforeMs * bytesPerMs) + m_audio + silence.repeated(betweenMs * bytesPerMs)
                             + m_audio + silence.repeated(1000 * bytesPerMs));
    probe.socket.sendTextMessage(u"{\"type\":\"finalize\"}"_s);
    const auto starts = [&probe] {
        QList<qint64> found;
        for (const QJsonObject &token : probe.finalTokens(false)) {
            if (token.value("text").toString().trimmed().compare(u"go"_s, Qt::CaseInsensitive) == 0)
                found.append(token.value("start_ms").toInteger(-1));
        }
        return found;
    };
    QTRY_VERIFY_WITH_TIMEOUT(starts().size() == 2, 30000);
    const qint64 first = starts().at(0);
    const qint64 second = starts().at(1);
    // Within a frame or two of the truth.
    const qint64 apart = m_audio.size() / bytesPerMs + betweenMs;
    QVERIFY2(std::abs(second - first - apart) <= 30, qPrintable(u"%1 then %2"_s.arg(first).arg(second)));
    QVERIFY2(first >= beforeMs && first < beforeMs + speechEndsMs, qPrintable(QString::number(first)));
}

QTEST_GUILESS_MAIN(TestServerRecognition)
#include "tst_serverrecognition.moc"
