// Summaries from a language model: what is asked of it, which answers are
// taken, and every way the model server can fail.

#include "fakechatmodel.h"
#include "summarizer.h"
#include "testservice.h"

#include <QCoroTask>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString secretKey = u"sk-test-0123456789"_s;

NoteEntry entry(qint64 t, const QString &text, const QString &lang = u"en"_s, bool translated = false)
{
    return {t, text, lang, translated};
}

NotesBody note(const QList<NoteEntry> &entries, const QString &source = u"en"_s, const QString &target = u"es"_s,
               bool onlyTranscript = true)
{
    NotesBody body;
    body.sourceClientId = u"test"_s;
    body.startedAt = 1'765'285'200'000; // 2025-12-09 13:00 UTC
    body.endedAt = entries.isEmpty() ? body.startedAt : entries.last().t;
    body.sourceLanguage = source;
    body.targetLanguage = target;
    body.onlyTranscript = onlyTranscript;
    body.timezone = u"Europe/Berlin"_s;
    body.entries = entries;
    return body;
}

const QString goodJson = uR"({"overview":"The team planned the launch.","decisions":["Launch on Monday"],)"
                          uR"("actionItems":[{"task":"Write the notes","owner":"Ana","due":"Friday"},)"
                          uR"({"task":"Book a room","owner":null,"due":null}]})"_s;

Summary goodSummary()
{
    return {u"The team planned the launch."_s,
            {u"Launch on Monday"_s},
            {{u"Write the notes"_s, u"Ana"_s, u"Friday"_s}, {u"Book a room"_s, {}, {}}}};
}

QString summaryJson(const QString &overview)
{
    return uR"({"overview":"%1","decisions":[],"actionItems":[]})"_s.arg(overview);
}

const QByteArray savedNotes = R"({"sourceClientId":"mac_1765285200_ab12c","startedAt":1765285200000,)"
                              R"("endedAt":1765285205000,"sourceLanguage":"en","targetLanguage":"es","onlyTranscript":true,)"
                              R"("timezone":"Europe/Berlin","entries":[{"t":1765285205000,"text":"We launch on Monday.",)"
                              R"("lang":"en","translated":false}]})";

// A service with the fake model behind it (none: summaries are off) and one signed-in account.
struct ServiceWithModel
{
    explicit ServiceWithModel(const FakeChatModel *model)
    {
        if (model)
            service.options().summaries = {model->baseUrl(), u"tiny"_s, secretKey, 120000};
    }
    bool start()
    {
        if (!service.start())
            return false;
        token = service.accessTokenFor(u"ana@example.org"_s);
        return !token.isEmpty();
    }
    QString save() { return service.withBearer("POST", u"/api/sessions"_s, token, savedNotes).json[u"session"_s][u"id"_s].toString(); }
    QJsonObject note(const QString &id)
    {
        return service.withBearer("GET", u"/api/sessions/"_s + id, token).json.value(u"session"_s).toObject();
    }
    HttpResult askAgain(const QString &id)
    {
        return service.withBearer("POST", u"/api/sessions/%1/summary"_s.arg(id), token, "{}");
    }
    QJsonObject summary(const QString &id) { return note(id).value(u"summary"_s).toObject(); }
    QString status(const QString &id) { return summary(id).value(u"status"_s).toString(); }

    TestService service;
    QString token;
};

} // namespace

Q_DECLARE_METATYPE(NotesBody)
Q_DECLARE_METATYPE(FakeChatModel::Reply)

class TestServerSummary : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void modelIsAskedForTheSummary_data();
    void modelIsAskedForTheSummary();
    void longMeetingIsSummarisedInPartsAndMerged();
    void answersAreReadOrRefused_data();
    void answersAreReadOrRefused();
    void summaryIsWrittenInTheNotesLanguage_data();
    void summaryIsWrittenInTheNotesLanguage();
    void savedNoteGetsItsSummaryBesideIt_data();
    void savedNoteGetsItsSummaryBesideIt();
    void summaryIsAskedAgainAndKeepsTicks();
    void restartTakesUpPendingSummaries();
    void startOptionsAreChecked_data();
    void startOptionsAreChecked();
};

void TestServerSummary::modelIsAskedForTheSummary_data()
{
    QTest::addColumn<QList<FakeChatModel::Reply>>("replies");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("overview"); // empty: the summary fails
    QTest::addColumn<QString>("reason");

    using Fake = FakeChatModel;
    QTest::newRow("good") << QList{Fake::completion(goodJson)} << 120000 << goodSummary().overview << QString();
    QTest::newRow("fenced") << QList{Fake::completion(u"Here it is:\n```json\n%1\n```\n"_s.arg(goodJson))} << 120000
                            << goodSummary().overview << QString();
    QTest::newRow("garbage") << QList{Fake::completion(u"The meeting was about a launch."_s)} << 120000 << QString()
                             << u"The model's answer was not the JSON object it was asked for."_s;
    QTest::newRow("not a completion") << QList{Fake::Reply{200, "<html>proxy login</html>"}} << 120000 << QString()
                                      << u"The model server's answer was not a chat completion."_s;
    QTest::newRow("500") << QList{Fake::error(500, u"out of memory"_s)} << 120000 << QString()
                         << u"The model server failed (HTTP 500): out of memory."_s;
    QTest::newRow("404 names the model") << QList{Fake::error(404, u"model \"tiny\" not found."_s)} << 120000 << QString()
                                         << u"The model server refused the request (HTTP 404): model \"tiny\" not found."_s;
    QTest::newRow("key refused, never repeated") << QList{Fake::error(401, u"Incorrect API key: %1"_s.arg(secretKey))}
        << 120000 << QString() << u"The model server refused the key (HTTP 401); check --llm-key-file or ZARNO_LLM_API_KEY."_s;
    QTest::newRow("400 echoing the key") << QList{Fake::error(400, u"bad key %1 here"_s.arg(secretKey))} << 120000
                                         << QString() << u"The model server refused the request (HTTP 400): bad key … here."_s;
    QTest::newRow("schema refused, asked plainly")
        << QList{Fake::error(400, u"response_format json_schema is not supported"_s), Fake::completion(goodJson)}
        << 120000 << goodSummary().overview << QString();
    QTest::newRow("timeout") << QList{Fake::silence()} << 300 << QString()
                             << u"The model server did not answer within 0.3 s."_s;
    // No reply at all: the row stands for a server that is not running.
    QTest::newRow("unreachable") << QList<Fake::Reply>() << 120000 << QString()
                                 << u"The model server at 127.0.0.1:%1 could not be reached: Connection refused."_s;
}

void TestServerSummary::modelIsAskedForTheSummary()
{
    QFETCH(QList<FakeChatModel::Reply>, replies);
    QFETCH(int, timeoutMs);
    QFETCH(QString, overview);
    QFETCH(QString, reason);

    FakeChatModel model;
    model.replies = replies;
    QUrl baseUrl = model.baseUrl();
    if (replies.isEmpty()) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        baseUrl.setPort(closed.serverPort());
        reason = reason.arg(closed.serverPort());
    }
    Summarizer summarizer({baseUrl, u"tiny"_s, secretKey, timeoutMs});
    const SummaryOutcome outcome = QCoro::waitFor(summarizer.summarize(
        note({entry(1'765'285'205'000, u"We launch on Monday."_s),
              entry(1'765'285'290'000, u"Ana writes the notes by Friday."_s)})));

    QCOMPARE(outcome.reason, reason);
    QVERIFY(!outcome.reason.contains(secretKey));
    if (overview.isEmpty()) {
        QVERIFY(!outcome.summary);
    } else {
        QVERIFY(outcome.summary);
        QCOMPARE(*outcome.summary, goodSummary());
    }

    if (replies.isEmpty())
        return;
    QCOMPARE(model.requests.size(), replies.size());
    QJsonObject plain = model.requests.first().body;
    plain.remove(u"response_format"_s);
    if (replies.size() == 2) // the second time without the schema, the same otherwise
        QCOMPARE(model.requests.last().body, plain);
    const FakeChatModel::Request &request = model.requests.first();
    QCOMPARE(request.body.value(u"model"_s).toString(), u"tiny"_s);
    QCOMPARE(request.authorization, "Bearer " + secretKey.toUtf8());
    QCOMPARE(request.body.value(u"stream"_s).toBool(true), false);
    const QString transcript = request.message(u"user"_s);
    QVERIFY(transcript.contains(u"[00:05] We launch on Monday.\n[01:30] Ana writes the notes by Friday."_s));
    QVERIFY(transcript.contains(u"2025-12-09 14:00, Tuesday (Europe/Berlin)"_s));
    // Plain instructions for servers that ignore the schema, and the schema for those that keep to it.
    QVERIFY(request.message(u"system"_s).contains(u"\"actionItems\""_s));
    const QJsonObject format = request.body.value(u"response_format"_s).toObject();
    QCOMPARE(format.value(u"type"_s).toString(), u"json_schema"_s);
    const QJsonObject schema = format[u"json_schema"_s][u"schema"_s].toObject();
    QCOMPARE(schema.value(u"required"_s).toArray(), (QJsonArray{u"overview"_s, u"decisions"_s, u"actionItems"_s}));
    const QJsonObject item = schema[u"properties"_s][u"actionItems"_s][u"items"_s].toObject();
    QCOMPARE(item[u"properties"_s][u"owner"_s][u"type"_s].toArray(), (QJsonArray{u"string"_s, u"null"_s}));
}

void TestServerSummary::longMeetingIsSummarisedInPartsAndMerged()
{
    // About 3300 tokens of speech against a context of 2048: three parts.
    QList<NoteEntry> entries;
    for (int i = 0; i < 120; ++i)
        entries.append(entry(1'765'285'200'000 + i * 10'000,
                             u"Line %1 of the long meeting, where people say a good many words."_s.arg(i)));
    FakeChatModel model;
    for (const char *part : {"first", "second", "third"})
        model.replies.append(FakeChatModel::completion(summaryJson(QString::fromLatin1(part))));
    model.replies.append(FakeChatModel::completion(goodJson));
    Summarizer summarizer({model.baseUrl(), u"tiny"_s, {}, 120000, 2048});
    const SummaryOutcome outcome = QCoro::waitFor(summarizer.summarize(note(entries)));

    QVERIFY2(outcome.summary, qPrintable(outcome.reason));
    QCOMPARE(*outcome.summary, goodSummary());
    QCOMPARE(model.requests.size(), 4);
    QVERIFY(model.requests.first().authorization.isEmpty()); // a local server needs no key
    // Every line goes to the model once, in order, and no request outgrows the context.
    QString sent;
    for (int i = 0; i < 3; ++i) {
        const QString user = model.requests.at(i).message(u"user"_s);
        QVERIFY(user.contains(u"Part %1 of 3 of the transcript"_s.arg(i + 1)));
        QVERIFY(estimatedTokens(user + model.requests.at(i).message(u"system"_s)) <= 2048 * 3 / 4);
        sent += user.mid(user.indexOf(u":\n["_s) + 2) + QLatin1Char('\n');
    }
    QCOMPARE(sent.count(u" of the long meeting"_s), 120);
    QVERIFY(sent.indexOf(u"Line 0 "_s) < sent.indexOf(u"Line 119 "_s));
    const QString merge = model.requests.last().message(u"user"_s);
    for (const char *part : {"first", "second", "third"})
        QVERIFY(merge.contains(u"\"overview\":\"%1\""_s.arg(QString::fromLatin1(part))));
    QVERIFY(model.requests.last().message(u"system"_s).contains(u"combine"_s));
}

void TestServerSummary::answersAreReadOrRefused_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("reason");

    QTest::newRow("bare") << goodJson << true << QString();
    QTest::newRow("fence without a language") << u"```\n%1\n```"_s.arg(goodJson) << true << QString();
    QTest::newRow("thoughts first") << u"<think>Launch... Monday.</think>\n%1"_s.arg(goodJson) << true << QString();
    QTest::newRow("lists left out") << uR"({"overview":"Short."})"_s << true << QString();
    QTest::newRow("prose around bare JSON") << u"Sure! %1 Hope it helps."_s.arg(goodJson) << false
                                            << u"The model's answer was not the JSON object it was asked for."_s;
    QTest::newRow("array") << u"[1, 2]"_s << false << u"The model's answer was not the JSON object it was asked for."_s;
    QTest::newRow("empty") << u"  "_s << false << u"The model's answer was empty."_s;
    QTest::newRow("no overview") << uR"({"decisions":[]})"_s << false << u"The model's answer has no overview."_s;
    QTest::newRow("decisions as text") << uR"({"overview":"x","decisions":"none"})"_s << false
                                       << u"The model's answer has decisions that are not a list."_s;
    QTest::newRow("to-do without task") << uR"({"overview":"x","actionItems":[{"owner":"Ana"}]})"_s
                                        << false << u"The model's answer has a to-do without a task."_s;
    QTest::newRow("owner as number") << uR"({"overview":"x","actionItems":[{"task":"t","owner":3}]})"_s
                                     << false << u"The model's answer has a to-do without a task."_s;
}

void TestServerSummary::answersAreReadOrRefused()
{
    QFETCH(QString, content);
    QFETCH(bool, accepted);
    QFETCH(QString, reason);

    const ParsedSummary parsed = summaryFromReply(content);
    QCOMPARE(bool(parsed.summary), accepted);
    QCOMPARE(parsed.reason, reason);
    // What is kept reads back the same, ticks included.
    if (parsed.summary) {
        Summary ticked = *parsed.summary;
        for (ActionItem &item : ticked.actionItems)
            item.done = true;
        QCOMPARE(*summaryFromJson(ticked.toJson()).summary, ticked);
    }
}

void TestServerSummary::summaryIsWrittenInTheNotesLanguage_data()
{
    QTest::addColumn<NotesBody>("body");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("lines");

    const qint64 t0 = 1'765'285'200'000;
    const QList<NoteEntry> translated{entry(t0 + 1000, u"Good morning."_s), entry(t0 + 1000, u"Buenos días."_s, u"es"_s, true)};
    QTest::newRow("translated: the target language, the spoken lines")
        << note(translated, u"en"_s, u"es"_s, false) << u"Spanish"_s << QStringList{u"[00:01] Good morning."_s};
    QTest::newRow("transcript only: the language spoken")
        << note({entry(t0, u"Guten Tag."_s, u"de"_s)}, u"de"_s) << u"German"_s << QStringList{u"[00:00] Guten Tag."_s};
    QTest::newRow("any spoken language: what most lines are in")
        << note({entry(t0, u"Bonjour."_s, u"fr"_s), entry(t0 + 3'723'000, u"Ça va ?\nOui."_s, u"fr"_s),
                 entry(t0 + 3'724'000, u"OK."_s, u"en"_s)}, u"any"_s)
        << u"French"_s << QStringList{u"[00:00] Bonjour."_s, u"[1:02:03] Ça va ? Oui."_s, u"[1:02:04] OK."_s};
    QTest::newRow("unknown: left to the model")
        << note({entry(t0, u"Hm."_s, QString()), entry(t0, u"  "_s, QString())}, u"any"_s) << QString()
        << QStringList{u"[00:00] Hm."_s};
}

void TestServerSummary::summaryIsWrittenInTheNotesLanguage()
{
    QFETCH(NotesBody, body);
    QFETCH(QString, language);
    QFETCH(QStringList, lines);

    const MeetingText meeting = meetingText(body);
    QCOMPARE(meeting.language, language);
    QCOMPARE(meeting.lines, lines);
}

void TestServerSummary::savedNoteGetsItsSummaryBesideIt_data()
{
    QTest::addColumn<QList<FakeChatModel::Reply>>("replies");
    QTest::addColumn<bool>("modelOn");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QJsonValue>("reason");

    using Fake = FakeChatModel;
    QTest::newRow("ready") << QList{Fake::completion(goodJson)} << true << u"ready"_s << QJsonValue();
    QTest::newRow("pending while the model thinks") << QList{Fake::silence()} << true << u"pending"_s << QJsonValue();
    QTest::newRow("failed") << QList{Fake::error(503, u"loading model"_s)} << true << u"failed"_s
                            << QJsonValue(u"The model server failed (HTTP 503): loading model."_s);
    QTest::newRow("off") << QList<Fake::Reply>() << false << u"off"_s << QJsonValue();
}

void TestServerSummary::savedNoteGetsItsSummaryBesideIt()
{
    QFETCH(QList<FakeChatModel::Reply>, replies);
    QFETCH(bool, modelOn);
    QFETCH(QString, status);
    QFETCH(QJsonValue, reason);

    FakeChatModel model;
    model.replies = replies;
    ServiceWithModel service(modelOn ? &model : nullptr);
    QVERIFY(service.start());
    // The save answers before the model does.
    const QString id = service.save();
    QVERIFY(!id.isEmpty());
    QTRY_COMPARE(model.requests.size(), modelOn ? 1 : 0);
    QTRY_COMPARE(service.status(id), status);

    const QJsonObject summary = service.summary(id);
    QCOMPARE(summary.value(u"reason"_s), reason.isUndefined() ? QJsonValue(QJsonValue::Null) : reason);
    const QJsonObject expected = status == u"ready"_s ? goodSummary().toJson() : Summary().toJson();
    for (const char *key : {"overview", "decisions", "actionItems"})
        QCOMPARE(summary.value(QLatin1StringView(key)), expected.value(QLatin1StringView(key)));
    if (modelOn)
        QVERIFY(model.requests.first().message(u"user"_s).contains(u"We launch on Monday."_s));
    // The note itself reads as it was saved, whatever the model did.
    const QJsonObject sent = QJsonDocument::fromJson(savedNotes).object();
    const QJsonObject note = service.note(id);
    for (const QString &key : sent.keys())
        QCOMPARE(note.value(key), sent.value(key));
    QCOMPARE(service.askAgain(id).status, modelOn ? 202 : 409);
}

void TestServerSummary::summaryIsAskedAgainAndKeepsTicks()
{
    FakeChatModel model;
    model.replies = {FakeChatModel::completion(goodJson)};
    ServiceWithModel service(&model);
    QVERIFY(service.start());
    const QString id = service.save();
    QTRY_COMPARE(service.status(id), u"ready"_s);

    const auto tick = [&](const QString &item, const QByteArray &body) {
        return service.service.withBearer("PATCH", u"/api/sessions/%1/summary/actionItems/%2"_s.arg(id, item),
                                          service.token, body);
    };
    const HttpResult ticked = tick(u"0"_s, R"({"done":true})");
    QCOMPARE(ticked.status, 200);
    QCOMPARE(ticked.json[u"summary"_s][u"actionItems"_s][0][u"done"_s].toBool(), true);
    QCOMPARE(tick(u"2"_s, R"({"done":true})").status, 404);
    QCOMPARE(tick(u"x"_s, R"({"done":true})").status, 404);
    QCOMPARE(tick(u"1"_s, R"({"done":"yes"})").status, 400);
    QCOMPARE(service.service.request("PATCH", u"/api/sessions/%1/summary/actionItems/0"_s.arg(id),
                                     R"({"done":false})").status, 401);
    QCOMPARE(service.summary(id)[u"actionItems"_s][0][u"done"_s].toBool(), true);

    // A new summary that keeps a to-do keeps its tick; a to-do that is new starts unticked.
    model.replies = {FakeChatModel::completion(QString(goodJson).replace(u"Book a room"_s, u"Order cake"_s))};
    const HttpResult asked = service.askAgain(id);
    QCOMPARE(asked.status, 202);
    QCOMPARE(asked.json[u"summary"_s][u"status"_s].toString(), u"pending"_s);
    QTRY_COMPARE(service.status(id), u"ready"_s);
    QCOMPARE(model.requests.size(), 2);
    const QJsonArray items = service.summary(id).value(u"actionItems"_s).toArray();
    QCOMPARE(items[0][u"done"_s].toBool(), true);
    QCOMPARE(items[1][u"task"_s].toString(), u"Order cake"_s);
    QCOMPARE(items[1][u"done"_s].toBool(), false);
}

void TestServerSummary::restartTakesUpPendingSummaries()
{
    FakeChatModel stuck;
    stuck.replies = {FakeChatModel::silence()};
    ServiceWithModel service(&stuck);
    QVERIFY(service.start());
    const QString id = service.save();
    QTRY_COMPARE(stuck.requests.size(), 1);
    QCOMPARE(service.status(id), u"pending"_s);
    service.service.stop();

    // Without a model the pending summary is off, and left pending for later.
    service.service.options().summaries = {};
    QVERIFY(service.service.start());
    QCOMPARE(service.status(id), u"off"_s);
    service.service.stop();

    FakeChatModel model;
    model.replies = {FakeChatModel::completion(goodJson)};
    service.service.options().summaries.baseUrl = model.baseUrl();
    service.service.options().summaries.model = u"tiny"_s;
    QVERIFY(service.service.start());
    QTRY_COMPARE(service.status(id), u"ready"_s);
    QCOMPARE(model.requests.size(), 1);
    service.service.stop();

    // A kept summary that cannot be read is told as such, never as a crash or an empty summary.
    {
        QSqlDatabase file = TestService::openStoreDatabase(service.service.dataDir(), u"garbage"_s);
        QVERIFY(file.isOpen());
        QVERIFY(QSqlQuery(file).exec(u"UPDATE summaries SET content = 'not json'"_s));
    }
    QSqlDatabase::removeDatabase(u"garbage"_s);
    QVERIFY(service.service.start());
    QCOMPARE(service.summary(id).value(u"reason"_s).toString(), u"The kept summary could not be read; summarise again."_s);
}

void TestServerSummary::startOptionsAreChecked_data()
{
    QTest::addColumn<QString>("arguments"); // KEYFILE stands for a key file, 0600 unless told
    QTest::addColumn<bool>("keyFileShared");
    QTest::addColumn<int>("exitCode");      // -1: the service runs
    QTest::addColumn<QString>("said");

    QTest::newRow("help") << u"--help"_s << false << 0 << u"ZARNO_LLM_API_KEY"_s;
    QTest::newRow("no model") << u"--llm-url http://127.0.0.1:11434/v1"_s << false << 2
                              << u"--llm-url needs --llm-model, the name of the model to ask."_s;
    QTest::newRow("not http") << u"--llm-url ftp://x/v1 --llm-model m"_s << false << 2
                              << u"--llm-url needs an http:// or https:// address such as http://127.0.0.1:11434/v1."_s;
    QTest::newRow("tiny context") << u"--llm-url http://127.0.0.1:1/v1 --llm-model m --llm-context 512"_s << false << 2
                                  << u"--llm-context needs a number of tokens from 1024."_s;
    QTest::newRow("missing key file") << u"--llm-url http://127.0.0.1:1/v1 --llm-model m --llm-key-file /nonexistent/key"_s
                                      << false << 2 << u"The key file /nonexistent/key cannot be read."_s;
    QTest::newRow("shared key file") << u"--llm-url http://127.0.0.1:1/v1 --llm-model m --llm-key-file KEYFILE"_s << true
                                     << -1 << u"is readable by other users; chmod 600 it."_s;
    QTest::newRow("key sent in clear") << u"--llm-url http://models.example/v1 --llm-model m --llm-key-file KEYFILE"_s
                                       << false << -1
                                       << u"the model key goes to models.example unencrypted; prefer an https:// address."_s;
    // Port 1 of the loopback answers nothing: the service gives up at once and says where it looked.
    QTest::newRow("public address with a path") << u"--public-url https://notes.example.org/zarno"_s << false << 2
                                                << u"--public-url needs an address like https://notes.example.org"_s;
    QTest::newRow("public address") << u"--public-url https://notes.example.org/"_s << false << -1 << QString();
    QTest::newRow("database unreachable") << u"--database postgresql://zarno@127.0.0.1:1/zarno"_s << false << 1
                                          << u"zarno-server: The database at 127.0.0.1:1 cannot be reached ("_s;
    QTest::newRow("database password in the address")
        << u"--database postgresql://zarno:%1@127.0.0.1:1/zarno"_s.arg(secretKey) << false << 2
        << u"--database must not carry a password; use PGPASSWORD or --database-password-file."_s;
    QTest::newRow("not a database address") << u"--database mysql://zarno@127.0.0.1/zarno"_s << false << 2
                                            << u"--database needs an address like postgresql://USER@HOST:PORT/DBNAME."_s;
    QTest::newRow("shared database password file")
        << u"--database postgresql://zarno@127.0.0.1:1/zarno --database-password-file KEYFILE"_s << true << 1
        << u"The password file KEYFILE is readable by other users; chmod 600 it."_s;
}

void TestServerSummary::startOptionsAreChecked()
{
    QFETCH(QString, arguments);
    QFETCH(bool, keyFileShared);
    QFETCH(int, exitCode);
    QFETCH(QString, said);

    QTemporaryDir data;
    QFile key(data.filePath(u"llm.key"_s));
    QVERIFY(key.open(QIODevice::WriteOnly));
    key.write(secretKey.toUtf8() + '\n');
    key.close();
    key.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                       | (keyFileShared ? QFileDevice::ReadGroup | QFileDevice::ReadOther : QFileDevice::Permissions()));

    QProcess server;
    server.setProgram(QStringLiteral(ZARNO_SERVER_BINARY));
    server.setArguments(arguments.replace(u"KEYFILE"_s, key.fileName()).split(u' ')
                        + QStringList{u"--port"_s, u"0"_s, u"--data-dir"_s, data.filePath(u"data"_s)});
    server.start();
    QVERIFY(server.waitForStarted());
    if (exitCode >= 0) {
        QVERIFY(server.waitForFinished(20000));
        QCOMPARE(server.exitCode(), exitCode);
    } else {
        QVERIFY(server.waitForReadyRead(20000));
        QVERIFY(server.readAllStandardOutput().startsWith("zarno-server listening on"));
        server.terminate();
        QVERIFY(server.waitForFinished(20000));
    }
    const QString output = QString::fromUtf8(server.readAllStandardOutput() + server.readAllStandardError());
    QVERIFY2(output.contains(said.replace(u"KEYFILE"_s, key.fileName())), qPrintable(output));
    QVERIFY(!output.contains(secretKey));
}

QTEST_GUILESS_MAIN(TestServerSummary)
#include "tst_serversummary.moc"
