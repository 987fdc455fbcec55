#include "sonioxmessage.h"

#include <QTest>

class TestSonioxMessage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void frameDecodesOrIsDropped_data();
    void frameDecodesOrIsDropped();
    void tokenFieldsKeepWhatTheServerSaid();
    void onlyExactTranslationStatusMarksATranslation_data();
    void onlyExactTranslationStatusMarksATranslation();
    void binaryFrameReadsAsUtf8_data();
    void binaryFrameReadsAsUtf8();
    void updateSpeaksTheCoresLanguage_data();
    void updateSpeaksTheCoresLanguage();
};

void TestSonioxMessage::frameDecodesOrIsDropped_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<int>("tokens"); // -1: no "tokens" at all
    QTest::addColumn<QString>("errorText"); // empty: a token message

    QTest::newRow("empty object") << QByteArray("{}") << true << -1 << QString();
    QTest::newRow("empty token list") << QByteArray(R"({"tokens":[]})") << true << 0 << QString();
    QTest::newRow("tokens null is absence") << QByteArray(R"({"tokens":null})") << true << -1 << QString();
    QTest::newRow("extra keys at both levels")
        << QByteArray(R"({"tokens":[{"text":"a","start_ms":10,"confidence":0.9}],"final_audio_proc_ms":5})") << true << 1
        << QString();
    QTest::newRow("keys are matched exactly") << QByteArray(R"({"Tokens":[{"Text":1}],"ERROR_CODE":1})") << true << -1
                                              << QString();
    QTest::newRow("finished") << QByteArray(R"({"tokens":[],"finished":true})") << true << 0 << QString();

    QTest::newRow("error code alone") << QByteArray(R"({"error_code":401})") << true << -1
                                      << QStringLiteral("Server error 401: unknown");
    QTest::newRow("error code zero") << QByteArray(R"({"error_code":0})") << true << -1
                                     << QStringLiteral("Server error 0: unknown");
    QTest::newRow("error with tokens is an error")
        << QByteArray(R"({"error_code":503,"error_message":"Busy, try later.","tokens":[{"text":"hi","is_final":true}]})")
        << true << 1 << QStringLiteral("Server error 503: Busy, try later.");
    QTest::newRow("error message null") << QByteArray(R"({"error_code":-7,"error_message":null})") << true << -1
                                        << QStringLiteral("Server error -7: unknown");
    QTest::newRow("error code null is absence") << QByteArray(R"({"error_code":null})") << true << -1 << QString();
    QTest::newRow("largest code") << QByteArray(R"({"error_code":9223372036854775807})") << true << -1
                                  << QStringLiteral("Server error 9223372036854775807: unknown");
    QTest::newRow("smallest code") << QByteArray(R"({"error_code":-9223372036854775808})") << true << -1
                                   << QStringLiteral("Server error -9223372036854775808: unknown");
    QTest::newRow("integral code in exponent form") << QByteArray(R"({"error_code":4.01e2})") << true << -1
                                                    << QStringLiteral("Server error 401: unknown");
    QTest::newRow("percent signs stay") << QByteArray(R"({"error_code":1,"error_message":"%1 %2"})") << true << -1
                                        << QStringLiteral("Server error 1: %1 %2");

    QTest::newRow("not JSON") << QByteArray("hello") << false << 0 << QString();
    QTest::newRow("empty frame") << QByteArray() << false << 0 << QString();
    QTest::newRow("truncated") << QByteArray(R"({"tokens":[{"text":"a"})") << false << 0 << QString();
    QTest::newRow("top level array") << QByteArray(R"([{"text":"a"}])") << false << 0 << QString();
    QTest::newRow("top level null") << QByteArray("null") << false << 0 << QString();
    QTest::newRow("top level string") << QByteArray(R"("tokens")") << false << 0 << QString();
    QTest::newRow("tokens an object") << QByteArray(R"({"tokens":{"text":"a"}})") << false << 0 << QString();
    QTest::newRow("tokens hold a string") << QByteArray(R"({"tokens":["a"]})") << false << 0 << QString();
    QTest::newRow("one token without text")
        << QByteArray(R"({"tokens":[{"text":"a","is_final":true},{"is_final":true}]})") << false << 0 << QString();
    QTest::newRow("text null") << QByteArray(R"({"tokens":[{"text":null}]})") << false << 0 << QString();
    QTest::newRow("text a number") << QByteArray(R"({"tokens":[{"text":5}]})") << false << 0 << QString();
    QTest::newRow("is_final a string") << QByteArray(R"({"tokens":[{"text":"a","is_final":"true"}]})") << false << 0
                                       << QString();
    QTest::newRow("is_final a number") << QByteArray(R"({"tokens":[{"text":"a","is_final":1}]})") << false << 0
                                       << QString();
    QTest::newRow("language a number") << QByteArray(R"({"tokens":[{"text":"a","language":1}]})") << false << 0
                                       << QString();
    QTest::newRow("translation_status a bool")
        << QByteArray(R"({"tokens":[{"text":"a","translation_status":true}]})") << false << 0 << QString();
    QTest::newRow("finished a string") << QByteArray(R"({"finished":"yes"})") << false << 0 << QString();
    QTest::newRow("error code a string") << QByteArray(R"({"error_code":"401"})") << false << 0 << QString();
    QTest::newRow("error code a fraction") << QByteArray(R"({"error_code":1.5})") << false << 0 << QString();
    QTest::newRow("error code past 64 bits") << QByteArray(R"({"error_code":9223372036854775808})") << false << 0
                                             << QString();
    QTest::newRow("error code huge") << QByteArray(R"({"error_code":1e300})") << false << 0 << QString();
    QTest::newRow("error code a bool") << QByteArray(R"({"error_code":true})") << false << 0 << QString();
    QTest::newRow("error message a number") << QByteArray(R"({"error_code":1,"error_message":2})") << false << 0
                                            << QString();
}

void TestSonioxMessage::frameDecodesOrIsDropped()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    QFETCH(int, tokens);
    QFETCH(QString, errorText);

    const std::optional<SonioxMessage> message = SonioxMessage::fromTextFrame(QString::fromUtf8(json));
    QCOMPARE(message.has_value(), decodes);
    if (!decodes)
        return;
    QCOMPARE(message->tokens.has_value(), tokens >= 0);
    if (tokens >= 0)
        QCOMPARE(message->tokens->size(), tokens);
    QCOMPARE(message->isError(), !errorText.isEmpty());
    if (message->isError())
        QCOMPARE(message->errorText(), errorText);
}

void TestSonioxMessage::tokenFieldsKeepWhatTheServerSaid()
{
    const auto message = SonioxMessage::fromTextFrame(QStringLiteral(
        R"({"tokens":[{"text":" Hello","is_final":true,"language":"en"},)"
        R"({"text":" hola","is_final":false,"language":"es","translation_status":"translation"},)"
        R"({"text":"x","is_final":null,"language":null,"translation_status":null}]})"));
    QVERIFY(message);
    QCOMPARE(message->tokens->size(), 3);

    const SonioxToken &first = message->tokens->at(0);
    QCOMPARE(first.text, QStringLiteral(" Hello"));
    QVERIFY(first.isFinal());
    QCOMPARE(first.language, QStringLiteral("en"));
    QVERIFY(!first.translation_status);
    QVERIFY(!first.isTranslation());

    const SonioxToken &second = message->tokens->at(1);
    QVERIFY(!second.isFinal());
    QVERIFY(second.isTranslation());

    const SonioxToken &third = message->tokens->at(2);
    QVERIFY(!third.is_final);
    QVERIFY(!third.isFinal());
    QVERIFY(!third.language);
}

void TestSonioxMessage::onlyExactTranslationStatusMarksATranslation_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("translation");
    QTest::newRow("translation") << QStringLiteral("translation") << true;
    QTest::newRow("capitalised") << QStringLiteral("Translation") << false;
    QTest::newRow("original") << QStringLiteral("original") << false;
    QTest::newRow("none") << QStringLiteral("none") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestSonioxMessage::onlyExactTranslationStatusMarksATranslation()
{
    QFETCH(QString, status);
    QFETCH(bool, translation);
    const QString json = QStringLiteral(R"({"tokens":[{"text":"a","is_final":true,"translation_status":"%1"}]})").arg(status);
    const auto message = SonioxMessage::fromTextFrame(json);
    QVERIFY(message);
    QCOMPARE(message->tokens->at(0).isTranslation(), translation);
}

void TestSonioxMessage::binaryFrameReadsAsUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<QString>("text");

    QTest::newRow("ascii") << QByteArray(R"({"tokens":[{"text":" ok"}]})") << true << QStringLiteral(" ok");
    QTest::newRow("multibyte") << QByteArray(R"({"tokens":[{"text":"本当？ 🙂"}]})") << true
                               << QStringLiteral("本当？ 🙂");
    QTest::newRow("invalid byte") << QByteArray("{\"tokens\":[{\"text\":\"\xff\"}]}") << false << QString();
    QTest::newRow("cut multibyte sequence") << QByteArray("{\"tokens\":[{\"text\":\"\xe6\x9c\"}]}") << false
                                            << QString();
    QTest::newRow("encoded surrogate") << QByteArray("{\"tokens\":[{\"text\":\"\xed\xa0\x80\"}]}") << false
                                       << QString();
}

void TestSonioxMessage::binaryFrameReadsAsUtf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, decodes);
    QFETCH(QString, text);

    const auto message = SonioxMessage::fromBinaryFrame(bytes);
    QCOMPARE(message.has_value(), decodes);
    if (!decodes)
        return;
    QCOMPARE(message->tokens->at(0).text, text);
    const auto asText = SonioxMessage::fromTextFrame(QString::fromUtf8(bytes));
    QVERIFY(asText);
    QCOMPARE(asText->tokens->at(0).text, text);
}

void TestSonioxMessage::updateSpeaksTheCoresLanguage_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("pieces"); // text|final|translation|start-end|speaker, ";" between pieces
    QTest::addColumn<bool>("finalizeDone");
    QTest::addColumn<bool>("finished");
    QTest::newRow("words") << QByteArray(R"({"tokens":[{"text":"Hi","is_final":true},{"text":" th"}]})")
                           << "Hi|1|0|-|; th|0|0|-|" << false << false;
    QTest::newRow("translation") << QByteArray(R"({"tokens":[{"text":" Hola","is_final":true,"translation_status":"translation"}]})")
                                 << " Hola|1|1|-|" << false << false;
    QTest::newRow("the answer to a finalize is no word")
        << QByteArray(R"({"tokens":[{"text":" done.","is_final":true},{"text":"<fin>","is_final":true}]})")
        << " done.|1|0|-|" << true << false;
    QTest::newRow("a pause of the speaker is no word")
        << QByteArray(R"({"tokens":[{"text":"<end>","is_final":true}]})") << QString() << false << false;
    QTest::newRow("end of the stream") << QByteArray(R"({"tokens":[],"finished":true})") << QString() << false << true;
    QTest::newRow("time and speaker")
        << QByteArray(R"({"tokens":[{"text":"Go","is_final":true,"start_ms":120,"end_ms":480,"speaker":"2"}]})")
        << "Go|1|0|120-480|2" << false << false;
    QTest::newRow("a number for the speaker") << QByteArray(R"({"tokens":[{"text":"Go","speaker":3}]})")
                                              << "Go|0|0|-|3" << false << false;
    // Detail of the wrong type is left out; the word is kept.
    QTest::newRow("ill-typed time") << QByteArray(R"({"tokens":[{"text":"Go","start_ms":"soon","end_ms":1.5}]})")
                                    << "Go|0|0|-|" << false << false;
}

void TestSonioxMessage::updateSpeaksTheCoresLanguage()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, pieces);
    QFETCH(bool, finalizeDone);
    QFETCH(bool, finished);
    const std::optional<SonioxMessage> message = SonioxMessage::decode(json);
    QVERIFY(message);
    const TranscriptUpdate update = message->toUpdate();
    QStringList described;
    for (const SpokenPiece &piece : update.pieces) {
        const QString time = piece.startMs && piece.endMs
            ? QString::number(*piece.startMs) + u'-' + QString::number(*piece.endMs)
            : QStringLiteral("-");
        described << QStringList{piece.text, QString::number(piece.final), QString::number(piece.translation), time,
                                 piece.speaker.value_or(QString())}
                         .join(u'|');
    }
    QCOMPARE(described.join(u';'), pieces);
    QCOMPARE(update.finalizeDone, finalizeDone);
    QCOMPARE(update.finished, finished);
}

QTEST_GUILESS_MAIN(TestSonioxMessage)
#include "tst_sonioxmessage.moc"
