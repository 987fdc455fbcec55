#include "notesfixture.h"
#include "testservice.h"

#include <QFile>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using namespace Qt::StringLiterals;

class TestServerSessions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void notesNeedAValidBearer_data();
    void notesNeedAValidBearer();
    void savedNotesAreListedNewestFirst();
    void savedNotesReadBackLineByLine();
    void notesStayWithTheirAccount();
    void aSourceClientIdIsOneNote_data();
    void aSourceClientIdIsOneNote();
    void repeatedNotesOfAnOlderStoreAreMerged();
    void anUnusableStoreIsLeftAsItIs_data();
    void anUnusableStoreIsLeftAsItIs();
    void malformedNotesAreRefusedWhole_data();
    void malformedNotesAreRefusedWhole();
    void failureSwitchAnswers500UntilCleared();
    void failureSwitchIsReachableOverHttpOnlyWhenEnabled();

private:
    std::unique_ptr<TestService> m_server;
    QString m_token;
};

void TestServerSessions::init()
{
    m_server = std::make_unique<TestService>();
    QVERIFY(m_server->start());
    m_token = m_server->accessTokenFor(u"ada@example.org"_s);
    QVERIFY(!m_token.isEmpty());
}

void TestServerSessions::notesNeedAValidBearer_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<qint64>("laterSeconds");
    QTest::newRow("none") << QByteArray() << qint64(0);
    QTest::newRow("not a bearer") << QByteArray("Basic YWRhOnNlY3JldA==") << qint64(0);
    QTest::newRow("unknown token") << QByteArray("Bearer not-a-token") << qint64(0);
    QTest::newRow("empty bearer") << QByteArray("Bearer ") << qint64(0);
    QTest::newRow("expired token") << QByteArray("TOKEN") << qint64(3600);
}

void TestServerSessions::notesNeedAValidBearer()
{
    QFETCH(QByteArray, authorization);
    QFETCH(qint64, laterSeconds);
    if (authorization == "TOKEN")
        authorization = "Bearer " + m_token.toUtf8();
    m_server->advance(laterSeconds);
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!authorization.isEmpty())
        headers.append({"Authorization", authorization});
    QCOMPARE(m_server->request("POST", u"/api/sessions"_s, compact(notes(1000)), headers).status, 401);
    QCOMPARE(m_server->request("GET", u"/api/sessions"_s, {}, headers).status, 401);
    // Nothing was stored by the refused upload.
    const QString fresh = m_server->accessTokenFor(u"ada@example.org"_s);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, fresh).json.value("sessions").toArray().size(), 0);
}

void TestServerSessions::savedNotesAreListedNewestFirst()
{
    QStringList ids;
    for (qint64 started : {1'700'000'100'000LL, 1'700'000'300'000LL, 1'700'000'200'000LL}) {
        const HttpResult saved = m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(notes(started)));
        QCOMPARE(saved.status, 200);
        const QString id = saved.json.value("session").toObject().value("id").toString();
        QVERIFY(!id.isEmpty());
        QVERIFY(!ids.contains(id));
        ids.append(id);
    }
    const QJsonArray listed = m_server->withBearer("GET", u"/api/sessions"_s, m_token).json.value("sessions").toArray();
    QCOMPARE(listed.size(), 3);
    QCOMPARE(listed.at(0).toObject().value("id").toString(), ids.at(1));
    QCOMPARE(listed.at(1).toObject().value("id").toString(), ids.at(2));
    QCOMPARE(listed.at(2).toObject().value("id").toString(), ids.at(0));
    const QJsonObject newest = listed.at(0).toObject();
    QCOMPARE(newest.value("startedAt").toInteger(), 1'700'000'300'000LL);
    QCOMPARE(newest.value("entryCount").toInteger(), 3);
    QCOMPARE(newest.value("preview").toString(), u"Hello everyone."_s);
    QCOMPARE(newest.value("timezone").toString(), u"Europe/Berlin"_s);
}

void TestServerSessions::savedNotesReadBackLineByLine()
{
    const QJsonObject sent = notes(1'700'000'000'000LL, u"Ünïcödé — “quoted” \t text"_s);
    const QString id = m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(sent))
                           .json.value("session").toObject().value("id").toString();
    const HttpResult read = m_server->withBearer("GET", u"/api/sessions/"_s + id, m_token);
    QCOMPARE(read.status, 200);
    const QJsonObject session = read.json.value("session").toObject();
    QCOMPARE(session.value("id").toString(), id);
    QCOMPARE(session.value("entries").toArray(), sent.value("entries").toArray());
    for (const char *key : {"sourceClientId", "startedAt", "endedAt", "sourceLanguage", "targetLanguage", "onlyTranscript", "timezone"})
        QCOMPARE(session.value(QLatin1StringView(key)), sent.value(QLatin1StringView(key)));
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/no-such-notes"_s, m_token).status, 404);
}

void TestServerSessions::notesStayWithTheirAccount()
{
    const QString id = m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(notes(5000)))
                           .json.value("session").toObject().value("id").toString();
    const QString other = m_server->accessTokenFor(u"grace@example.org"_s);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, other).json.value("sessions").toArray().size(), 0);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + id, other).status, 404);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions/"_s + id, m_token).status, 200);
}

void TestServerSessions::aSourceClientIdIsOneNote_data()
{
    QTest::addColumn<bool>("otherAccount");
    QTest::addColumn<int>("moreLines");
    QTest::newRow("saved again as it was") << false << 0;
    QTest::newRow("a resumed session saved again, longer") << false << 2;
    QTest::newRow("another account's same client id") << true << 0;
}

void TestServerSessions::aSourceClientIdIsOneNote()
{
    QFETCH(bool, otherAccount);
    QFETCH(int, moreLines);
    const qint64 started = 1'700'000'000'000LL;
    const QJsonObject first = notes(started);
    QJsonObject second = first;
    QJsonArray lines = first.value("entries").toArray();
    for (int i = 0; i < moreLines; ++i)
        lines.append(QJsonObject{{"t", started + 70000 + i}, {"text", u"After the pause %1."_s.arg(i)}, {"lang", "en"}, {"translated", false}});
    second.insert("entries", lines);
    second.insert("endedAt", started + 90000);

    const QString secondToken = otherAccount ? m_server->accessTokenFor(u"grace@example.org"_s) : m_token;
    const HttpResult saved = m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(first));
    const HttpResult again = m_server->withBearer("POST", u"/api/sessions"_s, secondToken, compact(second));
    QCOMPARE(saved.status, 200);
    QCOMPARE(again.status, 200);
    const QString id = saved.json.value("session").toObject().value("id").toString();
    const QString againId = again.json.value("session").toObject().value("id").toString();
    QCOMPARE(againId == id, !otherAccount);

    const QJsonArray listed = m_server->withBearer("GET", u"/api/sessions"_s, m_token).json.value("sessions").toArray();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.at(0).toObject().value("id").toString(), id);
    const QJsonObject read = m_server->withBearer("GET", u"/api/sessions/"_s + id, m_token).json.value("session").toObject();
    const QJsonObject expected = otherAccount ? first : second;
    QCOMPARE(read.value("entries").toArray(), expected.value("entries").toArray());
    QCOMPARE(read.value("endedAt"), expected.value("endedAt"));
    QCOMPARE(listed.at(0).toObject().value("entryCount").toInteger(), expected.value("entries").toArray().size());
    if (otherAccount)
        QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, secondToken).json.value("sessions").toArray().size(), 1);
}

void TestServerSessions::repeatedNotesOfAnOlderStoreAreMerged()
{
    if (TestService::onPostgres())
        QSKIP("PostgreSQL databases begin at a schema that keeps one note per client id");
    // A store from before notes were known by their client id, holding the
    // same note twice: the later copy has one line more.
    const QString kept = m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(notes(5000)))
                             .json.value("session").toObject().value("id").toString();
    QCOMPARE(m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(notes(9000))).status, 200);
    const QString dir = m_server->dataDir();
    m_server->stop();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"older"_s);
        db.setDatabaseName(dir + u"/zarno.sqlite"_s);
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const QString &statement : {
                 u"DROP INDEX sessions_by_client"_s,
                 u"INSERT INTO sessions SELECT 'older', account_id, source_client_id, started_at, ended_at,"
                 " source_language, target_language, only_transcript, timezone, created_at - 1, title FROM sessions WHERE id = '%1'"_s.arg(kept),
                 u"INSERT INTO entries SELECT 'older', position, t, text, lang, translated, speaker, source FROM entries"
                 " WHERE session_id = '%1' AND position < 2"_s.arg(kept),
                 u"PRAGMA user_version = 1"_s})
            QVERIFY2(query.exec(statement), qPrintable(statement));
        db.close();
    }
    QSqlDatabase::removeDatabase(u"older"_s);

    TestService again(dir);
    QVERIFY(again.start());
    const QString token = again.accessTokenFor(u"ada@example.org"_s);
    QJsonArray listed = again.withBearer("GET", u"/api/sessions"_s, token).json.value("sessions").toArray();
    QCOMPARE(listed.size(), 2);
    QCOMPARE(again.withBearer("GET", u"/api/sessions/older"_s, token).status, 404);
    QCOMPARE(again.withBearer("GET", u"/api/sessions/"_s + kept, token).json.value("session").toObject()
                 .value("entries").toArray().size(), 3);
    // The key holds from now on.
    const HttpResult saved = again.withBearer("POST", u"/api/sessions"_s, token, compact(notes(5000)));
    QCOMPARE(saved.json.value("session").toObject().value("id").toString(), kept);
    QCOMPARE(again.withBearer("GET", u"/api/sessions"_s, token).json.value("sessions").toArray().size(), 2);
    // Notes saved before the search index existed are found.
    QCOMPARE(again.withBearer("GET", u"/api/sessions?q=everyone"_s, token).json.value("sessions").toArray().size(), 2);
}

void TestServerSessions::anUnusableStoreIsLeftAsItIs_data()
{
    QTest::addColumn<QByteArray>("garbage"); // empty: a store of a later version
    QTest::addColumn<QString>("reason");
    QTest::newRow("not a database") << QByteArray(4096, 'z') << u"file is not a database"_s;
    QTest::newRow("from a newer service") << QByteArray() << u"it was written by a newer zarno-server (schema 9)."_s;
}

void TestServerSessions::anUnusableStoreIsLeftAsItIs()
{
    QFETCH(QByteArray, garbage);
    QFETCH(QString, reason);
    if (TestService::onPostgres())
        QSKIP("the SQLite file only");
    const QString file = m_server->dataDir() + u"/zarno.sqlite"_s;
    m_server->stop();
    if (garbage.isEmpty()) {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"newer"_s);
        db.setDatabaseName(file);
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec(u"PRAGMA user_version = 9"_s));
        db.close();
        db = {};
        QSqlDatabase::removeDatabase(u"newer"_s);
    } else {
        QFile::remove(file + u"-wal"_s);
        QFile::remove(file + u"-shm"_s);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(garbage);
    }
    QFile before(file);
    QVERIFY(before.open(QIODevice::ReadOnly));
    const QByteArray stored = before.readAll();

    TestService again(m_server->dataDir());
    QVERIFY(!again.start());
    QVERIFY2(again.service().errorText().startsWith(u"The database cannot be opened: "_s), qPrintable(again.service().errorText()));
    QVERIFY2(again.service().errorText().contains(reason), qPrintable(again.service().errorText()));
    again.stop();
    QFile after(file);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), stored);
}

void TestServerSessions::malformedNotesAreRefusedWhole_data()
{
    QTest::addColumn<QByteArray>("body");
    const QJsonObject good = notes(1000);
    const auto without = [&](const char *key) {
        QJsonObject o = good;
        o.remove(QLatin1StringView(key));
        return compact(o);
    };
    const auto with = [&](const char *key, const QJsonValue &value) {
        QJsonObject o = good;
        o.insert(QLatin1StringView(key), value);
        return compact(o);
    };
    const auto withEntry = [&](const char *key, const QJsonValue &value) {
        QJsonArray entries = good.value("entries").toArray();
        QJsonObject last = entries.last().toObject();
        if (value.isUndefined())
            last.remove(QLatin1StringView(key));
        else
            last.insert(QLatin1StringView(key), value);
        entries.replace(entries.size() - 1, last);
        return with("entries", entries);
    };
    QTest::newRow("empty body") << QByteArray();
    QTest::newRow("not json") << QByteArray("entries=1");
    QTest::newRow("array") << QByteArray("[]");
    QTest::newRow("truncated") << compact(good).chopped(5);
    QTest::newRow("no sourceClientId") << without("sourceClientId");
    QTest::newRow("blank sourceClientId") << with("sourceClientId", "  ");
    QTest::newRow("startedAt as string") << with("startedAt", "1700000000000");
    QTest::newRow("startedAt with fraction") << with("startedAt", 1.5);
    QTest::newRow("no endedAt") << without("endedAt");
    QTest::newRow("onlyTranscript as string") << with("onlyTranscript", "false");
    QTest::newRow("timezone null") << with("timezone", QJsonValue::Null);
    QTest::newRow("no entries") << without("entries");
    QTest::newRow("entries empty") << with("entries", QJsonArray());
    QTest::newRow("entries an object") << with("entries", QJsonObject());
    QTest::newRow("entry a string") << with("entries", QJsonArray{"Hello"});
    QTest::newRow("last entry without text") << withEntry("text", QJsonValue::Undefined);
    QTest::newRow("last entry t as string") << withEntry("t", "5");
    QTest::newRow("last entry translated as number") << withEntry("translated", 1);
    QTest::newRow("last entry lang missing") << withEntry("lang", QJsonValue::Undefined);
}

void TestServerSessions::malformedNotesAreRefusedWhole()
{
    QFETCH(QByteArray, body);
    const HttpResult refused = m_server->withBearer("POST", u"/api/sessions"_s, m_token, body);
    QCOMPARE(refused.status, 400);
    QVERIFY2(refused.json.value("message").toString().endsWith(u'.'), refused.body.constData());
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json.value("sessions").toArray().size(), 0);
}

void TestServerSessions::failureSwitchAnswers500UntilCleared()
{
    m_server->service().setFailSessions(true);
    QCOMPARE(m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(notes(1000))).status, 500);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json.value("sessions").toArray().size(), 0);
    m_server->service().setFailSessions(false);
    QCOMPARE(m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(notes(1000))).status, 200);
    QCOMPARE(m_server->withBearer("GET", u"/api/sessions"_s, m_token).json.value("sessions").toArray().size(), 1);
}

void TestServerSessions::failureSwitchIsReachableOverHttpOnlyWhenEnabled()
{
    QCOMPARE(m_server->request("POST", u"/__test/fail-sessions"_s, R"({"fail":true})").status, 404);
    QCOMPARE(m_server->withBearer("POST", u"/api/sessions"_s, m_token, compact(notes(1000))).status, 200);

    TestService controlled;
    QVERIFY(controlled.start(true));
    const QString token = controlled.accessTokenFor(u"ada@example.org"_s);
    QCOMPARE(controlled.request("POST", u"/__test/fail-sessions"_s, R"({"fail":"yes"})").status, 400);
    QCOMPARE(controlled.request("POST", u"/__test/fail-sessions"_s, R"({"fail":true})").status, 200);
    QCOMPARE(controlled.withBearer("POST", u"/api/sessions"_s, token, compact(notes(1000))).status, 500);
    QCOMPARE(controlled.request("POST", u"/__test/fail-sessions"_s, R"({"fail":false})").status, 200);
    QCOMPARE(controlled.withBearer("POST", u"/api/sessions"_s, token, compact(notes(1000))).status, 200);
}

QTEST_GUILESS_MAIN(TestServerSessions)
#include "tst_serversessions.moc"
