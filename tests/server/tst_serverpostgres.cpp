// What only the PostgreSQL store meets: instances creating the schema at
// once, a database that goes away under a running service and comes back.
#include "notesfixture.h"
#include "pgstore.h"
#include "socketprobe.h"
#include "testservice.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <thread>

using namespace Qt::StringLiterals;

class TestServerPostgres : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void instancesStartingTogetherMakeTheSchemaOnce();
    void aNewerSchemaIsLeftAsItIs();
    void aStoreFindsARestartedDatabaseByItself();
    void searchMindsAccentsWhereUnaccentCannotBeMade();
    void aLostDatabaseAnswers503UntilItIsBack_data();
    void aLostDatabaseAnswers503UntilItIsBack();
    void aLostDatabaseAsksLiveConnectionsToComeBackLater();

private:
    PostgresCluster *m_cluster = nullptr;
};

void TestServerPostgres::initTestCase()
{
    m_cluster = PostgresCluster::shared();
    if (!m_cluster)
        QSKIP(qPrintable(u"skip: %1"_s.arg(PostgresCluster::skipReason())));
    // Every service of this program keeps its data in the cluster.
    qputenv("ZARNO_TEST_STORE", "postgresql");
}

void TestServerPostgres::instancesStartingTogetherMakeTheSchemaOnce()
{
    const QString url = m_cluster->createDatabase();
    QVERIFY(!url.isEmpty());
    QString error;
    const auto address = PgAddress::parse(url, &error);
    QVERIFY2(address, qPrintable(error));
    // Each thread its own store and connection, as two services would have.
    constexpr int instances = 4;
    bool opened[instances] = {};
    QString errors[instances];
    std::vector<std::thread> threads;
    for (int i = 0; i < instances; ++i) {
        threads.emplace_back([&, i] {
            PgStore store(*address);
            opened[i] = store.open();
            errors[i] = store.errorText();
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < instances; ++i)
        QVERIFY2(opened[i], qPrintable(errors[i]));

    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"inspect"_s);
    db.setHostName(address->host);
    db.setPort(address->port);
    db.setUserName(address->user);
    db.setDatabaseName(address->database);
    QVERIFY(db.open());
    {
        QSqlQuery query(u"SELECT count(*), max(version) FROM zarno_schema"_s, db);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 1);
        QCOMPARE(query.value(1).toInt(), 2);
    }
    db.close();
    db = {};
    QSqlDatabase::removeDatabase(u"inspect"_s);
}

void TestServerPostgres::aNewerSchemaIsLeftAsItIs()
{
    TestService first;
    QVERIFY(first.start());
    QCOMPARE(first.signIn(u"ada@example.org"_s).status, 200);
    first.stop();
    {
        QSqlDatabase db = TestService::openStoreDatabase(first.dataDir(), u"newer"_s);
        QVERIFY(QSqlQuery(db).exec(u"UPDATE zarno_schema SET version = 9"_s));
        db.close();
    }
    QSqlDatabase::removeDatabase(u"newer"_s);

    TestService again(first.dataDir());
    QVERIFY(!again.start());
    QVERIFY2(again.service().errorText().endsWith(u"was written by a newer zarno-server (schema 9)."_s),
             qPrintable(again.service().errorText()));
}

void TestServerPostgres::aStoreFindsARestartedDatabaseByItself()
{
    QString error;
    const auto address = PgAddress::parse(m_cluster->createDatabase(), &error);
    QVERIFY2(address, qPrintable(error));
    PgStore store(*address);
    QVERIFY2(store.open(), qPrintable(store.errorText()));
    const auto created = store.createAccount(u"ada@example.org"_s, StoredPassword{"$argon2id$stand-in", {}, 0}, 1000);
    QVERIFY(created);
    QVERIFY(m_cluster->kill());
    QVERIFY2(m_cluster->restart(), qPrintable(m_cluster->errorText()));
    // The first call after the restart meets the dead connection, opens a new one and asks again.
    const auto account = store.account(created->id);
    QVERIFY(account);
    QCOMPARE(account->email, u"ada@example.org"_s);
}

void TestServerPostgres::searchMindsAccentsWhereUnaccentCannotBeMade()
{
    // A role that may make tables but not extensions.
    const QString url = m_cluster->createDatabase();
    PgAddress address = *PgAddress::parse(url, nullptr);
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(u"QPSQL"_s, u"admin"_s);
        admin.setHostName(address.host);
        admin.setPort(address.port);
        admin.setUserName(address.user);
        admin.setDatabaseName(address.database);
        QVERIFY(admin.open());
        QSqlQuery query(admin);
        QVERIFY(query.exec(u"DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'plain')"
                           " THEN CREATE ROLE plain LOGIN; END IF; END $$"_s));
        QVERIFY(query.exec(u"GRANT CREATE ON SCHEMA public TO plain"_s));
        admin.close();
    }
    QSqlDatabase::removeDatabase(u"admin"_s);
    address.user = u"plain"_s;
    PgStore store(address);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"unaccent extension is not available .*; search will mind accents"_s));
    QVERIFY2(store.open(), qPrintable(store.errorText()));

    const auto account = store.createAccount(u"ada@example.org"_s, StoredPassword{"$argon2id$stand-in", {}, 0}, 1000);
    QVERIFY(account);
    NotesBody body{u"mac_1_ab12c"_s, 1000, 2000, u"en"_s, u"es"_s, false, u"UTC"_s,
                   {NoteEntry{1000, u"Coffee at the Café Central."_s, u"en"_s, false}}};
    QVERIFY(store.saveNote(account->id, body, u"note-1"_s, 3000));
    QCOMPARE(store.searchNotes(account->id, {u"COFFEE"_s, u"CAFÉ"_s}).size(), 1);
    QCOMPARE(store.searchNotes(account->id, {u"cafe"_s}).size(), 0);
}

void TestServerPostgres::aLostDatabaseAnswers503UntilItIsBack_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("withNotes");
    QTest::addColumn<int>("statusBack");
    QTest::newRow("list") << QByteArray("GET") << u"/api/sessions"_s << false << 200;
    QTest::newRow("search") << QByteArray("GET") << u"/api/sessions?q=everyone"_s << false << 200;
    QTest::newRow("save") << QByteArray("POST") << u"/api/sessions"_s << true << 200;
    QTest::newRow("sign-out") << QByteArray("POST") << u"/auth/v1/logout"_s << false << 204;
}

void TestServerPostgres::aLostDatabaseAnswers503UntilItIsBack()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(bool, withNotes);
    QFETCH(int, statusBack);

    TestService service;
    QVERIFY(service.start());
    const QString token = service.accessTokenFor(u"ada@example.org"_s);
    QCOMPARE(service.withBearer("POST", u"/api/sessions"_s, token, compact(notes(5000))).status, 200);
    const QByteArray body = withNotes ? compact(notes(9000)) : QByteArray();
    const QList<QPair<QByteArray, QByteArray>> headers{{"Authorization", "Bearer " + token.toUtf8()},
                                                       {"apikey", service.service().publicKey().toUtf8()}};

    QVERIFY(m_cluster->kill());
    const HttpResult down = service.request(method, path, body, headers);
    const bool restarted = m_cluster->restart();
    QVERIFY2(restarted, qPrintable(m_cluster->errorText()));
    QCOMPARE(down.status, 503);
    QCOMPARE(down.json.value(u"error"_s).toString(), u"database_unavailable"_s);
    QCOMPARE(down.json.value(u"message"_s).toString(),
             u"The database at 127.0.0.1:%1 cannot be reached; try again shortly."_s.arg(m_cluster->port()));
    QCOMPARE(down.retryAfter, QByteArray("5"));

    // The next request finds the database again, with everything kept before.
    QCOMPARE(service.request(method, path, body, headers).status, statusBack);
    const QJsonArray listed = service.withBearer("GET", u"/api/sessions"_s, token).json.value(u"sessions"_s).toArray();
    QCOMPARE(listed.size(), statusBack == 204 ? 0 : (withNotes ? 2 : 1));
}

void TestServerPostgres::aLostDatabaseAsksLiveConnectionsToComeBackLater()
{
    TestService service;
    QVERIFY(service.start());
    const QString token = service.accessTokenFor(u"ada@example.org"_s);
    QVERIFY(m_cluster->kill());
    SocketProbe probe(service.transcribeUrl(token));
    QTRY_VERIFY(probe.disconnected);
    QVERIFY2(m_cluster->restart(), qPrintable(m_cluster->errorText()));
    // Not 4401 or 4403: the app keeps its sign-in and tries again.
    QCOMPARE(probe.closeCode, 4013);
    QCOMPARE(probe.closeReason, u"The database at 127.0.0.1:%1 cannot be reached; try again shortly."_s.arg(m_cluster->port()));
}

QTEST_GUILESS_MAIN(TestServerPostgres)
#include "tst_serverpostgres.moc"
