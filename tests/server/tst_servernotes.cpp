#include "fakechatmodel.h"
#include "notesfixture.h"
#include "testservice.h"

#include <QJsonArray>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Notes of spoken lines, each followed by its translation when it has one,
// a second apart from the start.
QJsonObject spoken(qint64 startedAt, const QList<QPair<QString, QString>> &lines)
{
    QJsonObject body = notes(startedAt);
    QJsonArray entries;
    qint64 t = startedAt;
    for (const auto &[text, translation] : lines) {
        t += 1000;
        entries.append(QJsonObject{{"t", t}, {"text", text}, {"lang", "en"}, {"translated", false}});
        if (!translation.isEmpty())
            entries.append(QJsonObject{{"t", t}, {"text", translation}, {"lang", "es"}, {"translated", true}});
    }
    body.insert("entries", entries);
    return body;
}

QStringList titlesOf(const QJsonObject &list)
{
    QStringList titles;
    for (const QJsonValue &session : list.value("sessions").toArray())
        titles.append(session.toObject().value("title").toString());
    return titles;
}

} // namespace

// Notes worth coming back to: titles, search, rename, delete and export.
class TestServerNotes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void notesAreTitledFromTheirFirstSentence_data();
    void notesAreTitledFromTheirFirstSentence();
    void aReadySummaryNamesTheNoteUntilTheUserDoes();
    void searchFindsWordsStartsAnyCaseAndAccent_data();
    void searchFindsWordsStartsAnyCaseAndAccent();
    void aTitleOutranksTheLines();
    void savingTheSameSessionAgainReplacesItsLines();
    void renameSetsOrRestoresTheTitle_data();
    void renameSetsOrRestoresTheTitle();
    void deletedNotesAreGoneEverywhere();
    void notesExportAsFiles_data();
    void notesExportAsFiles();
    void linesKeepTheirSpeakerAndSide();

private:
    QString save(const QString &token, const QJsonObject &body);
    QJsonObject search(const QString &token, const QString &words);

    std::unique_ptr<TestService> m_server;
    QString m_token;
};

void TestServerNotes::init()
{
    m_server = std::make_unique<TestService>();
    QVERIFY(m_server->start());
    m_token = m_server->accessTokenFor(u"ada@example.org"_s);
    QVERIFY(!m_token.isEmpty());
}

QString TestServerNotes::save(const QString &token, const QJsonObject &body)
{
    return m_server->withBearer("POST", u"/api/sessions"_s, token, compact(body)).json.value("session").toObject().value("id").toString();
}

QJsonObject TestServerNotes::search(const QString &token, const QString &words)
{
    const HttpResult found = m_server->withBearer("GET", u"/api/sessions?q="_s + QString::fromLatin1(QUrl::toPercentEncoding(words)), token);
    [&] { QCOMPARE(found.status, 200); }();
    return found.json;
}

void TestServerNotes::notesAreTitledFromTheirFirstSentence_data()
{
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<QString>("title");
    QTest::newRow("one sentence") << u"Let's start with the roadmap."_s << u"Let's start with the roadmap"_s;
    QTest::newRow("two sentences") << u"Welcome back! Today we plan the launch."_s << u"Welcome back!"_s;
    QTest::newRow("a decimal stays") << u"Version 3.5 ships in May. Then 4."_s << u"Version 3.5 ships in May"_s;
    QTest::newRow("long, cut on a word")
        << u"We need to decide which of the three suppliers gets the contract for the new building"_s
        << u"We need to decide which of the three suppliers gets the…"_s;
    QTest::newRow("one endless word") << QString(70, u'x') << QString(59, u'x') + u'…';
    QTest::newRow("nothing said but a translation") << u"  "_s << u"Hola a todos"_s;
}

void TestServerNotes::notesAreTitledFromTheirFirstSentence()
{
    QFETCH(QString, firstLine);
    QFETCH(QString, title);
    const QString id = save(m_token, notes(1000, firstLine));
    QVERIFY(title.size() <= 60);
    QCOMPARE(titlesOf(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json), QStringList{title});
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + id, m_token).json.value("session").toObject().value("title").toString(), title);
}

void TestServerNotes::aReadySummaryNamesTheNoteUntilTheUserDoes()
{
    FakeChatModel model;
    model.replies = {FakeChatModel::completion(
        uR"({"overview":"The team chose Lisbon for the offsite. Flights next.","decisions":[],"actionItems":[]})"_s)};
    TestService service;
    service.options().summaries.baseUrl = model.baseUrl();
    service.options().summaries.model = u"tiny"_s;
    QVERIFY(service.start());
    const QString token = service.accessTokenFor(u"ada@example.org"_s);
    const QString id = service.withBearer("POST", u"/api/sessions"_s, token, compact(notes(1000)))
                           .json.value("session").toObject().value("id").toString();
    const auto noteTitle = [&] {
        return service.withBearer("GET", u"/api/sessions/"_s + id, token).json.value("session").toObject().value("title").toString();
    };
    QTRY_COMPARE(noteTitle(), u"The team chose Lisbon for the offsite"_s);
    QCOMPARE(titlesOf(service.withBearer("GET", u"/api/sessions"_s, token).json), QStringList{u"The team chose Lisbon for the offsite"_s});
    // The overview is searched with the title.
    QCOMPARE(titlesOf(service.withBearer("GET", u"/api/sessions?q=lisb"_s, token).json), QStringList{u"The team chose Lisbon for the offsite"_s});
    QCOMPARE(service.withBearer("PATCH", u"/api/sessions/"_s + id, token, R"({"title":"Offsite"})").status, 200);
    QCOMPARE(noteTitle(), u"Offsite"_s);
}

void TestServerNotes::searchFindsWordsStartsAnyCaseAndAccent_data()
{
    QTest::addColumn<QString>("words");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QString>("marked");
    const QStringList budget{u"We reviewed the Budget at the café"_s};
    const QStringList none;
    QTest::newRow("other case") << u"BUDGET"_s << budget << u"<mark>Budget</mark>"_s;
    QTest::newRow("accent left out") << u"cafe"_s << budget << u"<mark>café</mark>"_s;
    QTest::newRow("accent given") << u"CAFÉ"_s << budget << u"<mark>café</mark>"_s;
    QTest::newRow("a word's start") << u"budg"_s << budget << u"<mark>Budget</mark>"_s;
    QTest::newRow("not a word's middle") << u"udget"_s << none << QString();
    QTest::newRow("in a translation") << u"presupuesto"_s << budget << u"<mark>presupuesto</mark>"_s;
    QTest::newRow("every word must be there") << u"budget quarterly"_s << none << QString();
    QTest::newRow("words in any order") << u"ready plans"_s << QStringList{u"Quarterly plans are ready"_s} << u"<mark>plans</mark>"_s;
    QTest::newRow("another account's words") << u"secret"_s << none << QString();
    QTest::newRow("double quote") << u"\"budget"_s << budget << u"<mark>Budget</mark>"_s;
    QTest::newRow("single quotes") << u"'budget'"_s << budget << u"<mark>Budget</mark>"_s;
    QTest::newRow("star") << u"bud*"_s << budget << u"<mark>Budget</mark>"_s;
    QTest::newRow("NEAR(") << u"NEAR( budget"_s << none << QString();
    QTest::newRow("minus") << u"-budget"_s << budget << u"<mark>Budget</mark>"_s;
    QTest::newRow("OR is a word") << u"budget OR plans"_s << none << QString();
    QTest::newRow("column filter") << u"title:budget"_s << none << QString();
    QTest::newRow("percent") << u"%"_s << none << QString();
    QTest::newRow("sql") << u"';DROP TABLE sessions;--"_s << none << QString();
    QTest::newRow("markup in a line") << u"tags"_s << QStringList{u"Quarterly plans are ready"_s} << u"&lt;b&gt;<mark>tags</mark>&lt;/b&gt;"_s;
}

void TestServerNotes::searchFindsWordsStartsAnyCaseAndAccent()
{
    QFETCH(QString, words);
    QFETCH(QStringList, titles);
    QFETCH(QString, marked);
    save(m_token, spoken(1'700'000'100'000LL, {{u"We reviewed the Budget at the café."_s, u"Revisamos el presupuesto en el café."_s}}));
    save(m_token, spoken(1'700'000'200'000LL, {{u"Quarterly plans are ready."_s, {}}, {u"No <b>tags</b> here."_s, {}}}));
    save(m_server->accessTokenFor(u"grace@example.org"_s), spoken(1'700'000'300'000LL, {{u"Budget secrets."_s, {}}}));
    const QJsonObject found = search(m_token, words);
    QCOMPARE(titlesOf(found), titles);
    if (!marked.isEmpty())
        QVERIFY2(found.value("sessions")[0].toObject().value("snippet").toString().contains(marked), qPrintable(QJsonDocument(found).toJson()));
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json.value("sessions").toArray().size(), 2);
}

void TestServerNotes::aTitleOutranksTheLines()
{
    const QString titled = save(m_token, spoken(1'700'000'100'000LL, {{u"Nothing else came up."_s, {}}}));
    save(m_token, spoken(1'700'000'200'000LL, {{u"The budget came up once."_s, {}}}));
    QCOMPARE(titlesOf(search(m_token, u"budget"_s)), QStringList{u"The budget came up once"_s});
    QCOMPARE(m_server->withBearer("PATCH", u"/api/sessions/"_s + titled, m_token, R"({"title":"Budget review"})").status, 200);
    // The older note comes first now: its title names the word.
    QCOMPARE(titlesOf(search(m_token, u"budget"_s)), (QStringList{u"Budget review"_s, u"The budget came up once"_s}));
}

void TestServerNotes::savingTheSameSessionAgainReplacesItsLines()
{
    const QString id = save(m_token, spoken(1000, {{u"The first draft."_s, {}}}));
    QCOMPARE(save(m_token, spoken(1000, {{u"The final version."_s, u"La versión final."_s}})), id);
    QCOMPARE(titlesOf(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json), QStringList{u"The final version"_s});
    QCOMPARE(titlesOf(search(m_token, u"draft"_s)), QStringList());
    QCOMPARE(titlesOf(search(m_token, u"version"_s)), QStringList{u"The final version"_s});
    // Another account's session of the same name is a note of its own.
    QVERIFY(save(m_server->accessTokenFor(u"grace@example.org"_s), spoken(1000, {{u"Hers."_s, {}}})) != id);
}

void TestServerNotes::renameSetsOrRestoresTheTitle_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("title");
    const QString automatic = u"Hello everyone"_s;
    const auto titled = [](const QString &title) { return compact(QJsonObject{{"title", title}}); };
    QTest::newRow("trimmed") << titled(u"  Launch plan \n"_s) << 200 << u"Launch plan"_s;
    QTest::newRow("200 characters") << titled(QString(200, u'é')) << 200 << QString(200, u'é');
    QTest::newRow("201 characters") << titled(QString(201, u'a')) << 400 << u"Old name"_s;
    QTest::newRow("spaces around 200") << titled(u"  "_s + QString(200, u'a') + u"  "_s) << 200 << QString(200, u'a');
    QTest::newRow("empty brings the automatic title back") << titled(QString()) << 200 << automatic;
    QTest::newRow("blank too") << titled(u"   "_s) << 200 << automatic;
    QTest::newRow("a number") << QByteArray(R"({"title": 5})") << 400 << u"Old name"_s;
    QTest::newRow("no title") << QByteArray("{}") << 400 << u"Old name"_s;
    QTest::newRow("not json") << QByteArray("title=x") << 400 << u"Old name"_s;
}

void TestServerNotes::renameSetsOrRestoresTheTitle()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, title);
    const QString id = save(m_token, notes(1000));
    QCOMPARE(m_server->withBearer("PATCH", u"/api/sessions/"_s + id, m_token, R"({"title":"Old name"})").status, 200);
    const HttpResult renamed = m_server->withBearer("PATCH", u"/api/sessions/"_s + id, m_token, body);
    QCOMPARE(renamed.status, status);
    QCOMPARE(titlesOf(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json), QStringList{title});
    if (status == 200)
        QCOMPARE(renamed.json.value("session").toObject().value("title").toString(), title);
    // The index follows the title: the old name no longer finds it.
    QCOMPARE(titlesOf(search(m_token, u"old name"_s)), title == u"Old name"_s ? QStringList{title} : QStringList());
    const QString other = m_server->accessTokenFor(u"grace@example.org"_s);
    QCOMPARE(m_server->withBearer("PATCH", u"/api/sessions/"_s + id, other, R"({"title":"Mine"})").status, 404);
}

void TestServerNotes::deletedNotesAreGoneEverywhere()
{
    const QString kept = save(m_token, spoken(1000, {{u"Budget one."_s, {}}}));
    const QString gone = save(m_token, spoken(2000, {{u"Budget two."_s, {}}}));
    const QString other = m_server->accessTokenFor(u"grace@example.org"_s);
    QCOMPARE(m_server->withBearer("DELETE", u"/api/sessions/"_s + gone, other).status, 404);
    const HttpResult deleted = m_server->withBearer("DELETE", u"/api/sessions/"_s + gone, m_token);
    QCOMPARE(deleted.status, 204);
    QVERIFY(deleted.body.isEmpty());
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + gone, m_token).status, 404);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + gone + u"/export?format=txt"_s, m_token).status, 404);
    QCOMPARE(m_server->withBearer("DELETE", u"/api/sessions/"_s + gone, m_token).status, 404);
    QCOMPARE(titlesOf(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json), QStringList{u"Budget one"_s});
    QCOMPARE(titlesOf(search(m_token, u"budget"_s)), QStringList{u"Budget one"_s});
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + kept, m_token).status, 200);
}

void TestServerNotes::notesExportAsFiles_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("voices"); // the user says good morning, the call's second speaker answers
    QTest::newRow("srt") << u"srt"_s << 200 << QByteArray("application/x-subrip; charset=utf-8")
                         << u"1\n00:00:01,000 --> 00:00:02,000\nGood morning.\nBuenos días.\n\n"
                            "2\n00:00:02,000 --> 00:00:06,000\nThe café opens at nine.\n\n"_s << false;
    QTest::newRow("vtt") << u"vtt"_s << 200 << QByteArray("text/vtt; charset=utf-8")
                         << u"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nGood morning.\nBuenos días.\n\n"
                            "00:00:02.000 --> 00:00:06.000\nThe café opens at nine.\n\n"_s << false;
    QTest::newRow("txt") << u"txt"_s << 200 << QByteArray("text/plain; charset=utf-8")
                         << u"Café plans\n2023-11-14 23:13\n\n[00:01] Good morning.\n    Buenos días.\n[00:02] The café opens at nine.\n"_s << false;
    QTest::newRow("md") << u"md"_s << 200 << QByteArray("text/markdown; charset=utf-8")
                        << u"# Café plans\n\n2023-11-14 23:13\n\n## Transcript\n\n**00:01** Good morning.  \n*Buenos días.*\n\n"
                           "**00:02** The café opens at nine.  \n\n"_s << false;
    QTest::newRow("srt, voices") << u"srt"_s << 200 << QByteArray("application/x-subrip; charset=utf-8")
                                 << u"1\n00:00:01,000 --> 00:00:02,000\nYou: Good morning.\nBuenos días.\n\n"
                                    "2\n00:00:02,000 --> 00:00:06,000\nSpeaker 2: The café opens at nine.\n\n"_s
                                 << true;
    QTest::newRow("vtt, voices") << u"vtt"_s << 200 << QByteArray("text/vtt; charset=utf-8")
                                 << u"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\n<v You>Good morning.\nBuenos días.\n\n"
                                    "00:00:02.000 --> 00:00:06.000\n<v Speaker 2>The café opens at nine.\n\n"_s
                                 << true;
    QTest::newRow("txt, voices") << u"txt"_s << 200 << QByteArray("text/plain; charset=utf-8")
                                 << u"Café plans\n2023-11-14 23:13\n\n[00:01] You: Good morning.\n    Buenos días.\n"
                                    "[00:02] Speaker 2: The café opens at nine.\n"_s
                                 << true;
    QTest::newRow("md, voices") << u"md"_s << 200 << QByteArray("text/markdown; charset=utf-8")
                                << u"# Café plans\n\n2023-11-14 23:13\n\n## Transcript\n\n**00:01** You: Good morning.  \n"
                                   "*Buenos días.*\n\n**00:02** Speaker 2: The café opens at nine.  \n\n"_s
                                << true;
    QTest::newRow("unknown") << u"pdf"_s << 400 << QByteArray("application/json") << QString() << false;
    QTest::newRow("none") << QString() << 400 << QByteArray("application/json") << QString() << false;
}

void TestServerNotes::notesExportAsFiles()
{
    QFETCH(QString, format);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QString, body);
    QFETCH(bool, voices);
    QJsonObject note = spoken(1'700'000'000'000LL, {{u"Good morning."_s, u"Buenos días."_s}, {u"The café opens at nine."_s, {}}, {u" "_s, {}}});
    if (voices) {
        QJsonArray entries = note.value("entries").toArray();
        QJsonObject mine = entries.at(0).toObject();
        mine.insert("source", "mic");
        mine.insert("speaker", "1");
        QJsonObject theirs = entries.at(2).toObject();
        theirs.insert("source", "system");
        theirs.insert("speaker", "2");
        entries.replace(0, mine);
        entries.replace(2, theirs);
        note.insert("entries", entries);
    }
    const QString id = save(m_token, note);
    QCOMPARE(m_server->withBearer("PATCH", u"/api/sessions/"_s + id, m_token, compact(QJsonObject{{"title", u"Café plans"_s}})).status, 200);
    const HttpResult file = m_server->withBearer("GET", u"/api/sessions/%1/export?format=%2"_s.arg(id, format), m_token);
    QCOMPARE(file.status, status);
    QCOMPARE(file.contentType, contentType);
    if (status != 200)
        return;
    QCOMPARE(QString::fromUtf8(file.body), body);
    QCOMPARE(file.contentDisposition,
             "attachment; filename=\"Cafe plans." + format.toLatin1() + "\"; filename*=UTF-8''Caf%C3%A9%20plans." + format.toLatin1());
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/%1/export?format=txt"_s.arg(id), m_server->accessTokenFor(u"grace@example.org"_s)).status, 404);
}

void TestServerNotes::linesKeepTheirSpeakerAndSide()
{
    QJsonObject body = notes(1000);
    QJsonArray entries = body.value("entries").toArray();
    QJsonObject first = entries.at(0).toObject();
    first.insert("speaker", "  Ana ");
    first.insert("source", "mic");
    entries.replace(0, first);
    QJsonObject second = entries.at(1).toObject();
    second.insert("speaker", 7); // not a label: left out, the line kept
    entries.replace(1, second);
    body.insert("entries", entries);
    const QString id = save(m_token, body);
    const QJsonArray read = m_server->withBearer("GET", u"/api/sessions/"_s + id, m_token).json[u"session"_s][u"entries"_s].toArray();
    QCOMPARE(read.size(), 3);
    QCOMPARE(read.at(0)[u"speaker"_s].toString(), u"Ana"_s);
    QCOMPARE(read.at(0)[u"source"_s].toString(), u"mic"_s);
    QVERIFY(!read.at(1).toObject().contains("speaker"));
    QCOMPARE(read.at(1)[u"text"_s].toString(), u"Hola a todos."_s);
}

QTEST_GUILESS_MAIN(TestServerNotes)
#include "tst_servernotes.moc"
