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

namespace {

const QString secretKey = QStringLiteral("sk-test-0123456789");

NoteEntry entry(qint64 t, const QString &text, const QString &lang = QStringLiteral("en"), bool translated = false)
{
    return {t, text, lang, translated};
}

NotesBody note(const QList<NoteEntry> &entries, const QString &source = QStringLiteral("en"),
               const QString &target = QStringLiteral("es"), bool onlyTranscript = true)
{
    NotesBody body;
    body.sourceClientId = QStringLiteral("test");
    body.startedAt = 1'765'285'200'000; // 2025-12-09 13:00 UTC
    body.endedAt = entries.isEmpty() ? body.startedAt : entries.last().t;
    body.sourceLanguage = source;
    body.targetLanguage = target;
    body.onlyTranscript = onlyTranscript;
    body.timezone = QStringLiteral("Europe/Berlin");
    body.entries = entries;
    return body;
}

const QString goodJson = QStringLiteral(
    R"({"overview":"The team planned the launch.","decisions":["Launch on Monday"],)"
    R"("actionItems":[{"task":"Write the notes","owner":"Ana","due":"Friday"},{"task":"Book a room","owner":null,"due":null}]})");

Summary goodSummary()
{
    return {QStringLiteral("The team planned the launch."),
            {QStringLiteral("Launch on Monday")},
            {{QStringLiteral("Write the notes"), QStringLiteral("Ana"), QStringLiteral("Friday")},
             {QStringLiteral("Book a room"), {}, {}}}};
}

QString summaryJson(const QString &overview)
{
    return QStringLiteral(R"({"overview":"%1","decisions":[],"actionItems":[]})").arg(overview);
}

QByteArray savedNotes()
{
    const QJsonObject line{{QStringLiteral("t"), qint64(1'765'285'205'000)}, {QStringLiteral("text"), QStringLiteral("We launch on Monday.")},
                           {QStringLiteral("lang"), QStringLiteral("en")}, {QStringLiteral("translated"), false}};
    const QJsonObject body{{QStringLiteral("sourceClientId"), QStringLiteral("mac_1765285200_ab12c")},
                           {QStringLiteral("startedAt"), qint64(1'765'285'200'000)},
                           {QStringLiteral("endedAt"), qint64(1'765'285'205'000)},
                           {QStringLiteral("sourceLanguage"), QStringLiteral("en")},
                           {QStringLiteral("targetLanguage"), QStringLiteral("es")},
                           {QStringLiteral("onlyTranscript"), true},
                           {QStringLiteral("timezone"), QStringLiteral("Europe/Berlin")},
                           {QStringLiteral("entries"), QJsonArray{line}}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

// A service with the fake model behind it (none: summaries are off) and one signed-in account.
struct ServiceWithModel
{
    explicit ServiceWithModel(const FakeChatModel *model)
    {
        if (model)
            service.options().summaries = {model->baseUrl(), QStringLiteral("tiny"), secretKey, 120000};
    }
    bool start()
    {
        if (!service.start())
            return false;
        token = service.accessTokenFor(QStringLiteral("ana@example.org"));
        return !token.isEmpty();
    }
    QString save() { return service.withBearer("POST", QStringLiteral("/api/sessions"), token, savedNotes()).json
                                 [QLatin1StringView("session")][QLatin1StringView("id")].toString(); }
    QJsonObject note(const QString &id)
    {
        return service.withBearer("GET", QStringLiteral("/api/sessions/") + id, token).json
            .value(QLatin1StringView("session")).toObject();
    }
    QJsonObject summary(const QString &id) { return note(id).value(QLatin1StringView("summary")).toObject(); }
    QString status(const QString &id) { return summary(id).value(QLatin1StringView("status")).toString(); }

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
    void modelOptionsAreCheckedAtStart_data();
    void modelOptionsAreCheckedAtStart();
};

void TestServerSummary::modelIsAskedForTheSummary_data()
{
    QTest::addColumn<QList<FakeChatModel::Reply>>("replies");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("overview"); // empty: the summary fails
    QTest::addColumn<QString>("reason");

    using Fake = FakeChatModel;
    QTest::newRow("good") << QList{Fake::completion(goodJson)} << 120000 << goodSummary().overview << QString();
    QTest::newRow("fenced") << QList{Fake::completion(QStringLiteral("Here it is:\n```json\n%1\n```\n").arg(goodJson))}
                            << 120000 << goodSummary().overview << QString();
    QTest::newRow("garbage") << QList{Fake::completion(QStringLiteral("The meeting was about a launch."))} << 120000
                             << QString() << QStringLiteral("The model's answer was not the JSON object it was asked for.");
    QTest::newRow("not a completion") << QList{Fake::Reply{200, "<html>proxy login</html>"}} << 120000 << QString()
                                      << QStringLiteral("The model server's answer was not a chat completion.");
    QTest::newRow("500") << QList{Fake::error(500, QStringLiteral("out of memory"))} << 120000 << QString()
                         << QStringLiteral("The model server failed (HTTP 500): out of memory.");
    QTest::newRow("404 names the model") << QList{Fake::error(404, QStringLiteral("model \"tiny\" not found."))}
                                         << 120000 << QString()
                                         << QStringLiteral("The model server refused the request (HTTP 404): model \"tiny\" not found.");
    QTest::newRow("key refused, never repeated")
        << QList{Fake::error(401, QStringLiteral("Incorrect API key provided: %1").arg(secretKey))} << 120000
        << QString()
        << QStringLiteral("The model server refused the key (HTTP 401); check --llm-key-file or ZARNO_LLM_API_KEY.");
    QTest::newRow("400 echoing the key") << QList{Fake::error(400, QStringLiteral("bad key %1 here").arg(secretKey))}
                                         << 120000 << QString()
                                         << QStringLiteral("The model server refused the request (HTTP 400): bad key … here.");
    QTest::newRow("timeout") << QList{Fake::silence()} << 300 << QString()
                             << QStringLiteral("The model server did not answer within 0.3 s.");
    // No reply at all: the row stands for a server that is not running.
    QTest::newRow("unreachable") << QList<Fake::Reply>() << 120000 << QString()
                                 << QStringLiteral("The model server at 127.0.0.1:%1 could not be reached: Connection refused.");
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
    Summarizer summarizer({baseUrl, QStringLiteral("tiny"), secretKey, timeoutMs});
    const SummaryOutcome outcome = QCoro::waitFor(summarizer.summarize(
        note({entry(1'765'285'205'000, QStringLiteral("We launch on Monday.")),
              entry(1'765'285'290'000, QStringLiteral("Ana writes the notes by Friday."))})));

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
    QCOMPARE(model.requests.size(), 1);
    const FakeChatModel::Request &request = model.requests.first();
    QCOMPARE(request.body.value(QLatin1StringView("model")).toString(), QStringLiteral("tiny"));
    QCOMPARE(request.authorization, "Bearer " + secretKey.toUtf8());
    QCOMPARE(request.body.value(QLatin1StringView("stream")).toBool(true), false);
    const QString transcript = request.message(QStringLiteral("user"));
    QVERIFY(transcript.contains(QStringLiteral("[00:05] We launch on Monday.\n[01:30] Ana writes the notes by Friday.")));
    QVERIFY(transcript.contains(QStringLiteral("2025-12-09 14:00, Tuesday (Europe/Berlin)")));
    // Plain instructions for servers that ignore the schema, and the schema for those that keep to it.
    QVERIFY(request.message(QStringLiteral("system")).contains(QStringLiteral("\"actionItems\"")));
    const QJsonObject format = request.body.value(QLatin1StringView("response_format")).toObject();
    QCOMPARE(format.value(QLatin1StringView("type")).toString(), QStringLiteral("json_schema"));
    const QJsonObject schema = format[QLatin1StringView("json_schema")][QLatin1StringView("schema")].toObject();
    QCOMPARE(schema.value(QLatin1StringView("required")).toArray(),
             (QJsonArray{QStringLiteral("overview"), QStringLiteral("decisions"), QStringLiteral("actionItems")}));
    const QJsonObject item = schema[QLatin1StringView("properties")][QLatin1StringView("actionItems")]
                                   [QLatin1StringView("items")].toObject();
    QCOMPARE(item[QLatin1StringView("properties")][QLatin1StringView("owner")][QLatin1StringView("type")].toArray(),
             (QJsonArray{QStringLiteral("string"), QStringLiteral("null")}));
}

void TestServerSummary::longMeetingIsSummarisedInPartsAndMerged()
{
    // About 3300 tokens of speech against a context of 2048: three parts.
    QList<NoteEntry> entries;
    for (int i = 0; i < 120; ++i)
        entries.append(entry(1'765'285'200'000 + i * 10'000,
                             QStringLiteral("Line %1 of the long meeting, where people say a good many words.").arg(i)));
    FakeChatModel model;
    for (const char *part : {"first", "second", "third"})
        model.replies.append(FakeChatModel::completion(summaryJson(QString::fromLatin1(part))));
    model.replies.append(FakeChatModel::completion(goodJson));
    Summarizer summarizer({model.baseUrl(), QStringLiteral("tiny"), {}, 120000, 2048});
    const SummaryOutcome outcome = QCoro::waitFor(summarizer.summarize(note(entries)));

    QVERIFY2(outcome.summary, qPrintable(outcome.reason));
    QCOMPARE(*outcome.summary, goodSummary());
    QCOMPARE(model.requests.size(), 4);
    QVERIFY(model.requests.first().authorization.isEmpty()); // a local server needs no key
    // Every line goes to the model once, in order, and no request outgrows the context.
    QString sent;
    for (int i = 0; i < 3; ++i) {
        const QString user = model.requests.at(i).message(QStringLiteral("user"));
        QVERIFY(user.contains(QStringLiteral("Part %1 of 3 of the transcript").arg(i + 1)));
        QVERIFY(estimatedTokens(user + model.requests.at(i).message(QStringLiteral("system"))) <= 2048 * 3 / 4);
        sent += user.mid(user.indexOf(QStringLiteral(":\n[")) + 2) + QLatin1Char('\n');
    }
    QCOMPARE(sent.count(QStringLiteral(" of the long meeting")), 120);
    QVERIFY(sent.indexOf(QStringLiteral("Line 0 ")) < sent.indexOf(QStringLiteral("Line 119 ")));
    const QString merge = model.requests.last().message(QStringLiteral("user"));
    for (const char *part : {"first", "second", "third"})
        QVERIFY(merge.contains(QStringLiteral("\"overview\":\"%1\"").arg(QString::fromLatin1(part))));
    QVERIFY(model.requests.last().message(QStringLiteral("system")).contains(QStringLiteral("combine")));
}

void TestServerSummary::answersAreReadOrRefused_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("reason");

    QTest::newRow("bare") << goodJson << true << QString();
    QTest::newRow("fence without a language") << QStringLiteral("```\n%1\n```").arg(goodJson) << true << QString();
    QTest::newRow("thoughts first") << QStringLiteral("<think>Launch... Monday.</think>\n%1").arg(goodJson) << true
                                    << QString();
    QTest::newRow("lists left out") << QStringLiteral(R"({"overview":"Short."})") << true << QString();
    QTest::newRow("prose around bare JSON") << QStringLiteral("Sure! %1 Hope it helps.").arg(goodJson) << false
                                            << QStringLiteral("The model's answer was not the JSON object it was asked for.");
    QTest::newRow("array") << QStringLiteral("[1, 2]") << false
                           << QStringLiteral("The model's answer was not the JSON object it was asked for.");
    QTest::newRow("empty") << QStringLiteral("  ") << false << QStringLiteral("The model's answer was empty.");
    QTest::newRow("no overview") << QStringLiteral(R"({"decisions":[]})") << false
                                 << QStringLiteral("The model's answer has no overview.");
    QTest::newRow("decisions as text") << QStringLiteral(R"({"overview":"x","decisions":"none"})") << false
                                       << QStringLiteral("The model's answer has decisions that are not a list.");
    QTest::newRow("to-do without task") << QStringLiteral(R"({"overview":"x","actionItems":[{"owner":"Ana"}]})")
                                        << false << QStringLiteral("The model's answer has a to-do without a task.");
    QTest::newRow("owner as number") << QStringLiteral(R"({"overview":"x","actionItems":[{"task":"t","owner":3}]})")
                                     << false << QStringLiteral("The model's answer has a to-do without a task.");
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
    const QList<NoteEntry> translated{entry(t0 + 1000, QStringLiteral("Good morning.")),
                                      entry(t0 + 1000, QStringLiteral("Buenos días."), QStringLiteral("es"), true)};
    QTest::newRow("translated: the target language, the spoken lines")
        << note(translated, QStringLiteral("en"), QStringLiteral("es"), false) << QStringLiteral("Spanish")
        << QStringList{QStringLiteral("[00:01] Good morning.")};
    QTest::newRow("transcript only: the language spoken")
        << note({entry(t0, QStringLiteral("Guten Tag."), QStringLiteral("de"))}, QStringLiteral("de"),
                QStringLiteral("en"), true)
        << QStringLiteral("German") << QStringList{QStringLiteral("[00:00] Guten Tag.")};
    QTest::newRow("any spoken language: what most lines are in")
        << note({entry(t0, QStringLiteral("Bonjour."), QStringLiteral("fr")),
                 entry(t0 + 3'723'000, QStringLiteral("Ça va ?\nOui."), QStringLiteral("fr")),
                 entry(t0 + 3'724'000, QStringLiteral("OK."), QStringLiteral("en"))},
                QStringLiteral("any"), QStringLiteral("en"), true)
        << QStringLiteral("French")
        << QStringList{QStringLiteral("[00:00] Bonjour."), QStringLiteral("[1:02:03] Ça va ? Oui."),
                       QStringLiteral("[1:02:04] OK.")};
    QTest::newRow("unknown: left to the model")
        << note({entry(t0, QStringLiteral("Hm."), QString()), entry(t0, QStringLiteral("  "), QString())},
                QStringLiteral("any"), QStringLiteral("en"), true)
        << QString() << QStringList{QStringLiteral("[00:00] Hm.")};
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
    QTest::newRow("ready") << QList{Fake::completion(goodJson)} << true << QStringLiteral("ready") << QJsonValue();
    QTest::newRow("pending while the model thinks") << QList{Fake::silence()} << true << QStringLiteral("pending")
                                                    << QJsonValue();
    QTest::newRow("failed") << QList{Fake::error(503, QStringLiteral("loading model"))} << true
                            << QStringLiteral("failed")
                            << QJsonValue(QStringLiteral("The model server failed (HTTP 503): loading model."));
    QTest::newRow("off") << QList<Fake::Reply>() << false << QStringLiteral("off") << QJsonValue();
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
    QCOMPARE(summary.value(QLatin1StringView("reason")), reason.isUndefined() ? QJsonValue(QJsonValue::Null) : reason);
    const QJsonObject expected = status == QLatin1StringView("ready") ? goodSummary().toJson() : Summary().toJson();
    for (const char *key : {"overview", "decisions", "actionItems"})
        QCOMPARE(summary.value(QLatin1StringView(key)), expected.value(QLatin1StringView(key)));
    if (modelOn)
        QVERIFY(model.requests.first().message(QStringLiteral("user")).contains(QStringLiteral("We launch on Monday.")));
    // The note itself reads as it was saved, whatever the model did.
    const QJsonObject sent = QJsonDocument::fromJson(savedNotes()).object();
    const QJsonObject note = service.note(id);
    for (const QString &key : sent.keys())
        QCOMPARE(note.value(key), sent.value(key));
    const HttpResult again = service.service.withBearer("POST", QStringLiteral("/api/sessions/%1/summary").arg(id),
                                                        service.token, "{}");
    QCOMPARE(again.status, modelOn ? 202 : 409);
}

void TestServerSummary::summaryIsAskedAgainAndKeepsTicks()
{
    FakeChatModel model;
    model.replies = {FakeChatModel::completion(goodJson)};
    ServiceWithModel service(&model);
    QVERIFY(service.start());
    const QString id = service.save();
    QTRY_COMPARE(service.status(id), QStringLiteral("ready"));

    const auto tick = [&](const QString &item, const QByteArray &body) {
        return service.service.withBearer("PATCH", QStringLiteral("/api/sessions/%1/summary/actionItems/%2").arg(id, item),
                                          service.token, body);
    };
    const HttpResult ticked = tick(QStringLiteral("0"), R"({"done":true})");
    QCOMPARE(ticked.status, 200);
    QCOMPARE(ticked.json[QLatin1StringView("summary")][QLatin1StringView("actionItems")][0][QLatin1StringView("done")]
                 .toBool(), true);
    QCOMPARE(tick(QStringLiteral("2"), R"({"done":true})").status, 404);
    QCOMPARE(tick(QStringLiteral("x"), R"({"done":true})").status, 404);
    QCOMPARE(tick(QStringLiteral("1"), R"({"done":"yes"})").status, 400);
    QCOMPARE(service.service.request("PATCH", QStringLiteral("/api/sessions/%1/summary/actionItems/0").arg(id),
                                     R"({"done":false})").status, 401);
    QCOMPARE(service.summary(id)[QLatin1StringView("actionItems")][0][QLatin1StringView("done")].toBool(), true);

    // A new summary that keeps a to-do keeps its tick; a to-do that is new starts unticked.
    model.replies = {FakeChatModel::completion(QString(goodJson).replace(QStringLiteral("Book a room"),
                                                                         QStringLiteral("Order cake")))};
    const HttpResult asked = service.service.withBearer("POST", QStringLiteral("/api/sessions/%1/summary").arg(id),
                                                        service.token, "{}");
    QCOMPARE(asked.status, 202);
    QCOMPARE(asked.json[QLatin1StringView("summary")][QLatin1StringView("status")].toString(), QStringLiteral("pending"));
    QTRY_COMPARE(service.status(id), QStringLiteral("ready"));
    QCOMPARE(model.requests.size(), 2);
    const QJsonArray items = service.summary(id).value(QLatin1StringView("actionItems")).toArray();
    QCOMPARE(items[0][QLatin1StringView("done")].toBool(), true);
    QCOMPARE(items[1][QLatin1StringView("task")].toString(), QStringLiteral("Order cake"));
    QCOMPARE(items[1][QLatin1StringView("done")].toBool(), false);
}

void TestServerSummary::restartTakesUpPendingSummaries()
{
    FakeChatModel stuck;
    stuck.replies = {FakeChatModel::silence()};
    ServiceWithModel service(&stuck);
    QVERIFY(service.start());
    const QString id = service.save();
    QTRY_COMPARE(stuck.requests.size(), 1);
    QCOMPARE(service.status(id), QStringLiteral("pending"));
    service.service.stop();

    // Without a model the pending summary is off, and left pending for later.
    service.service.options().summaries = {};
    QVERIFY(service.service.start());
    QCOMPARE(service.status(id), QStringLiteral("off"));
    service.service.stop();

    FakeChatModel model;
    model.replies = {FakeChatModel::completion(goodJson)};
    service.service.options().summaries.baseUrl = model.baseUrl();
    service.service.options().summaries.model = QStringLiteral("tiny");
    QVERIFY(service.service.start());
    QTRY_COMPARE(service.status(id), QStringLiteral("ready"));
    QCOMPARE(model.requests.size(), 1);
    service.service.stop();

    // A kept summary that cannot be read is told as such, never as a crash or an empty summary.
    {
        QSqlDatabase file = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("garbage"));
        file.setDatabaseName(service.service.dataDir() + QStringLiteral("/zarno.sqlite"));
        QVERIFY(file.open());
        QVERIFY(QSqlQuery(file).exec(QStringLiteral("UPDATE summaries SET content = 'not json'")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("garbage"));
    QVERIFY(service.service.start());
    QCOMPARE(service.summary(id).value(QLatin1StringView("reason")).toString(),
             QStringLiteral("The kept summary could not be read; summarise again."));
}

void TestServerSummary::modelOptionsAreCheckedAtStart_data()
{
    QTest::addColumn<QStringList>("arguments"); // KEYFILE stands for a key file, 0600 unless told
    QTest::addColumn<bool>("keyFileShared");
    QTest::addColumn<int>("exitCode");          // -1: the service runs
    QTest::addColumn<QString>("said");

    const QString url = QStringLiteral("http://127.0.0.1:11434/v1");
    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << false << 0 << QStringLiteral("ZARNO_LLM_API_KEY");
    QTest::newRow("no model") << QStringList{QStringLiteral("--llm-url"), url} << false << 2
                              << QStringLiteral("--llm-url needs --llm-model, the name of the model to ask.");
    QTest::newRow("not http") << QStringList{QStringLiteral("--llm-url"), QStringLiteral("ftp://x/v1"),
                                             QStringLiteral("--llm-model"), QStringLiteral("m")}
                              << false << 2
                              << QStringLiteral("--llm-url needs an http:// or https:// address such as http://127.0.0.1:11434/v1.");
    QTest::newRow("tiny context") << QStringList{QStringLiteral("--llm-url"), url, QStringLiteral("--llm-model"),
                                                 QStringLiteral("m"), QStringLiteral("--llm-context"), QStringLiteral("512")}
                                  << false << 2 << QStringLiteral("--llm-context needs a number of tokens from 1024.");
    QTest::newRow("missing key file") << QStringList{QStringLiteral("--llm-url"), url, QStringLiteral("--llm-model"),
                                                     QStringLiteral("m"), QStringLiteral("--llm-key-file"),
                                                     QStringLiteral("/nonexistent/key")}
                                      << false << 2 << QStringLiteral("The key file /nonexistent/key cannot be read.");
    QTest::newRow("shared key file") << QStringList{QStringLiteral("--llm-url"), url, QStringLiteral("--llm-model"),
                                                    QStringLiteral("m"), QStringLiteral("--llm-key-file"),
                                                    QStringLiteral("KEYFILE")}
                                     << true << -1 << QStringLiteral("is readable by other users; chmod 600 it.");
    QTest::newRow("key sent in clear") << QStringList{QStringLiteral("--llm-url"), QStringLiteral("http://models.example/v1"),
                                                      QStringLiteral("--llm-model"), QStringLiteral("m"),
                                                      QStringLiteral("--llm-key-file"), QStringLiteral("KEYFILE")}
                                       << false << -1
                                       << QStringLiteral("the model key goes to models.example unencrypted; prefer an https:// address.");
}

void TestServerSummary::modelOptionsAreCheckedAtStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, keyFileShared);
    QFETCH(int, exitCode);
    QFETCH(QString, said);

    QTemporaryDir data;
    QFile key(data.filePath(QStringLiteral("llm.key")));
    QVERIFY(key.open(QIODevice::WriteOnly));
    key.write(secretKey.toUtf8() + '\n');
    key.close();
    key.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                       | (keyFileShared ? QFileDevice::ReadGroup | QFileDevice::ReadOther : QFileDevice::Permissions()));
    arguments.replaceInStrings(QStringLiteral("KEYFILE"), key.fileName());

    QProcess server;
    server.setProgram(QStringLiteral(ZARNO_SERVER_BINARY));
    server.setArguments(arguments + QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data-dir"),
                                                data.filePath(QStringLiteral("data"))});
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
    QVERIFY2(output.contains(said), qPrintable(output));
    QVERIFY(!output.contains(secretKey));
}

QTEST_GUILESS_MAIN(TestServerSummary)
#include "tst_serversummary.moc"
