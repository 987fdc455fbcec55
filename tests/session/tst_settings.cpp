#include "settings.h"
#include "usersettings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <unistd.h>

class TestSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void missingKeysGiveTheDefaults();
    void storedValuesAreRead_data();
    void storedValuesAreRead();
    void handWrittenValuesAreRead_data();
    void handWrittenValuesAreRead();
    void unreadableStoreIsNamed_data();
    void unreadableStoreIsNamed();
    void standardStoreIsTheUsersConfigFile();
    void transcribeAddress_data();
    void transcribeAddress();
    void tokenSurvivesEncoding_data();
    void tokenSurvivesEncoding();
    void serviceAddressKeepsTheQuery();
    void targetLanguagesInMenuOrder();
    void userSettingsTellOnlyOfChanges_data();
    void userSettingsTellOnlyOfChanges();
    void autostartEntryQuotesItsProgram_data();
    void autostartEntryQuotesItsProgram();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSettings> m_store;
};

void TestSettings::init()
{
    m_store.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<QSettings>(m_dir->filePath(QStringLiteral("zarno.conf")), QSettings::IniFormat);
}

void TestSettings::missingKeysGiveTheDefaults()
{
    const ZarnoSettings settings = ZarnoSettings::load(*m_store);
    QCOMPARE(settings.serverURL, QStringLiteral("http://127.0.0.1:8790"));
    QCOMPARE(settings.languageA, QStringLiteral("any"));
    QCOMPARE(settings.languageB, QStringLiteral("en"));
    QCOMPARE(settings.transcriptOnly, false);
}

void TestSettings::storedValuesAreRead_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("read");

    QTest::newRow("server") << "serverURL" << QVariant(QStringLiteral("http://localhost:3000")) << QVariant(QStringLiteral("http://localhost:3000"));
    QTest::newRow("server with a comma") << "serverURL" << QVariant(QStringLiteral("http://h:1/a,b"))
                                         << QVariant(QStringLiteral("http://h:1/a,b"));
    QTest::newRow("spoken language") << "languageA" << QVariant(QStringLiteral("fr")) << QVariant(QStringLiteral("fr"));
    QTest::newRow("empty language stays empty") << "languageA" << QVariant(QString()) << QVariant(QString());
    QTest::newRow("target language") << "languageB" << QVariant(QStringLiteral("ja")) << QVariant(QStringLiteral("ja"));
    QTest::newRow("number as a language") << "languageB" << QVariant(42) << QVariant(QStringLiteral("42"));
    QTest::newRow("list as a language") << "languageB" << QVariant(QStringList{QStringLiteral("a"), QStringLiteral("b")})
                                        << QVariant(QStringLiteral("en"));
    QTest::newRow("transcript only true") << "transcriptOnly" << QVariant(true) << QVariant(true);
    QTest::newRow("transcript only false") << "transcriptOnly" << QVariant(false) << QVariant(false);
    QTest::newRow("transcript only 1") << "transcriptOnly" << QVariant(QStringLiteral("1")) << QVariant(true);
    QTest::newRow("transcript only YES") << "transcriptOnly" << QVariant(QStringLiteral("YES")) << QVariant(true);
    QTest::newRow("transcript only garbage") << "transcriptOnly" << QVariant(QStringLiteral("maybe")) << QVariant(false);
    QTest::newRow("transcript only no") << "transcriptOnly" << QVariant(QStringLiteral("no")) << QVariant(false);
    QTest::newRow("transcript only 0") << "transcriptOnly" << QVariant(0) << QVariant(false);
}

void TestSettings::storedValuesAreRead()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, read);

    m_store->setValue(key, stored);
    m_store->sync();
    // Read back through a fresh store, as from the file on disk.
    const QSettings reopened(m_store->fileName(), QSettings::IniFormat);
    const ZarnoSettings settings = ZarnoSettings::load(reopened);
    const QVariant actual = key == QLatin1StringView("serverURL") ? QVariant(settings.serverURL)
        : key == QLatin1StringView("languageA")                   ? QVariant(settings.languageA)
        : key == QLatin1StringView("languageB")                   ? QVariant(settings.languageB)
                                                                  : QVariant(settings.transcriptOnly);
    QCOMPARE(actual, read);
}

void TestSettings::handWrittenValuesAreRead_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("read");
    QTest::newRow("address with a comma") << QByteArray("serverURL=http://h:1/a,b") << "serverURL" << "http://h:1/a,b";
    QTest::newRow("address with a quoted comma") << QByteArray("serverURL=\"http://h:1/a,b\"") << "serverURL"
                                                 << "http://h:1/a,b";
    QTest::newRow("address with a trailing comma") << QByteArray("serverURL=http://h:1/a,") << "serverURL"
                                                   << "http://h:1/a,";
    QTest::newRow("token with a comma") << QByteArray("authRefreshToken=r1,r2") << "authRefreshToken" << "r1,r2";
}

void TestSettings::handWrittenValuesAreRead()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, key);
    QFETCH(QString, read);
    QFile file(m_store->fileName());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\n" + line + "\n");
    file.close();
    const QSettings store(file.fileName(), QSettings::IniFormat);
    QCOMPARE(storedText(store, key), read);
    if (key == QLatin1StringView("serverURL"))
        QCOMPARE(ZarnoSettings::load(store).serverURL, read);
}

void TestSettings::unreadableStoreIsNamed_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<bool>("named");
    QTest::newRow("a folder in its place") << "folder" << true;
    QTest::newRow("no permission to read") << "mode 000" << true;
    QTest::newRow("not there yet") << "missing" << false;
    QTest::newRow("a readable file") << "file" << false;
}

void TestSettings::unreadableStoreIsNamed()
{
    QFETCH(QString, what);
    QFETCH(bool, named);
    const QString path = m_store->fileName();
    m_store.reset();
    if (what == QLatin1StringView("mode 000") && geteuid() == 0)
        QSKIP("root reads a file of any mode");
    if (what == QLatin1StringView("folder"))
        QVERIFY(QDir().mkpath(path));
    if (what == QLatin1StringView("file") || what == QLatin1StringView("mode 000")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nlanguageB=ja\n");
        file.close();
        QVERIFY(file.setPermissions(what == QLatin1StringView("file") ? QFile::ReadOwner | QFile::WriteOwner
                                                                       : QFile::Permissions()));
    }
    const QSettings store(path, QSettings::IniFormat);
    const std::optional<QString> problem = ZarnoSettings::storeProblem(store);
    QCOMPARE(problem.has_value(), named);
    if (named)
        QVERIFY2(problem->contains(path), qPrintable(*problem));
}

void TestSettings::standardStoreIsTheUsersConfigFile()
{
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    QVERIFY2(!configHome.isEmpty(), "tests run with a private XDG_CONFIG_HOME");
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("zarno"), QStringLiteral("zarno"));
        QCOMPARE(QDir::cleanPath(store.fileName()), QDir::cleanPath(configHome + QStringLiteral("/zarno/zarno.conf")));
        store.setValue(QStringLiteral("languageB"), QStringLiteral("de"));
    }
    QCOMPARE(ZarnoSettings::load().languageB, QStringLiteral("de"));
}

void TestSettings::transcribeAddress_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("transcriptOnly");
    QTest::addColumn<QString>("address"); // empty: none

    const QString query = QStringLiteral("/ws/transcribe?a=any&b=en&token=tok");
    QTest::newRow("http gives ws") << "http://127.0.0.1:3000" << false << "ws://127.0.0.1:3000" + query;
    QTest::newRow("https gives wss") << "https://localhost" << false << "wss://localhost" + query;
    QTest::newRow("no scheme gives wss") << "//localhost:3000" << false << "wss://localhost:3000" + query;
    QTest::newRow("only lower-case http is plain") << "HTTP://localhost" << false << "wss://localhost" + query;
    QTest::newRow("path, query and fragment replaced") << "http://localhost/app?x=1#top" << false
                                                       << "ws://localhost" + query;
    QTest::newRow("user info stays") << "http://me:pw@localhost:1" << false << "ws://me:pw@localhost:1" + query;
    QTest::newRow("IPv6 host") << "http://[::1]:8790" << false << "ws://[::1]:8790" + query;
    QTest::newRow("transcript only") << "http://localhost" << true << "ws://localhost" + query + "&onlyTranscript=true";

    QTest::newRow("empty") << "" << false << "";
    QTest::newRow("words") << "not a url" << false << "";
    QTest::newRow("host and port without scheme") << "localhost:8790" << false << "";
    QTest::newRow("relative path") << "/app" << false << "";
    QTest::newRow("scheme only") << "http://" << false << "";
    QTest::newRow("space in host") << "http://local host" << false << "";
    QTest::newRow("unclosed IPv6") << "http://[::1" << false << "";
    QTest::newRow("bad port") << "http://localhost:port" << false << "";
    QTest::newRow("ftp") << "ftp://localhost" << false << "";
    QTest::newRow("file") << "file://localhost/etc" << false << "";
    QTest::newRow("ws is not the page's address") << "ws://localhost:8790" << false << "";
}

void TestSettings::transcribeAddress()
{
    QFETCH(QString, server);
    QFETCH(bool, transcriptOnly);
    QFETCH(QString, address);

    ZarnoSettings settings = ZarnoSettings::load(*m_store);
    settings.serverURL = server;
    settings.transcriptOnly = transcriptOnly;
    const std::optional<QUrl> url = settings.transcribeURL(QStringLiteral("tok"));
    QCOMPARE(url.has_value(), !address.isEmpty());
    if (url)
        QCOMPARE(url->toString(QUrl::FullyEncoded), address);
    QCOMPARE(settings.baseURL().has_value(), !address.isEmpty());
}

void TestSettings::tokenSurvivesEncoding_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("languageA");
    QTest::addColumn<QString>("encodedToken");

    QTest::newRow("plus and ampersand") << "a+b&token=x" << "any" << "a%2Bb%26token%3Dx";
    QTest::newRow("JWT") << "eyJhbGci.eyJzdWIi.sig-_" << "any" << "eyJhbGci.eyJzdWIi.sig-_";
    QTest::newRow("space, slash, hash, percent") << "a b/c#d%e" << "any" << "a%20b%2Fc%23d%25e";
    QTest::newRow("non-ASCII") << "jeton-é" << "zh-Hans" << "jeton-%C3%A9";
}

void TestSettings::tokenSurvivesEncoding()
{
    QFETCH(QString, token);
    QFETCH(QString, languageA);
    QFETCH(QString, encodedToken);

    ZarnoSettings settings = ZarnoSettings::load(*m_store);
    settings.languageA = languageA;
    const std::optional<QUrl> url = settings.transcribeURL(token);
    QVERIFY(url);
    QVERIFY(url->query(QUrl::FullyEncoded).endsWith(QLatin1StringView("&token=") + encodedToken));

    const QUrlQuery query(*url);
    const auto items = query.queryItems(QUrl::FullyDecoded);
    QCOMPARE(items.size(), 3);
    QCOMPARE(items.at(0), qMakePair(QStringLiteral("a"), languageA));
    QCOMPARE(items.at(1), qMakePair(QStringLiteral("b"), QStringLiteral("en")));
    QCOMPARE(items.at(2), qMakePair(QStringLiteral("token"), token));
}

void TestSettings::serviceAddressKeepsTheQuery()
{
    ZarnoSettings settings = ZarnoSettings::load(*m_store);
    settings.serverURL = QStringLiteral("https://localhost:8443/app?tenant=a");
    QCOMPARE(settings.serviceURL(QStringLiteral("/api/sessions"))->toString(QUrl::FullyEncoded),
             QStringLiteral("https://localhost:8443/api/sessions?tenant=a"));
    settings.serverURL = QStringLiteral("localhost");
    QVERIFY(!settings.serviceURL(QStringLiteral("/app")));
}

void TestSettings::targetLanguagesInMenuOrder()
{
    QStringList codes;
    QStringList names;
    for (const TargetLanguage &language : supportedTargetLanguages()) {
        codes << language.code;
        names << language.name;
    }
    QCOMPARE(codes, QString(QStringLiteral("en zh es ja ko fr de pt")).split(u' '));
    QCOMPARE(names.first(), QStringLiteral("English"));
    QCOMPARE(names.last(), QStringLiteral("Portuguese"));
}

void TestSettings::userSettingsTellOnlyOfChanges_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("chosen");
    QTest::addColumn<bool>("told");

    QTest::newRow("mode changes") << "transcriptOnly" << QVariant() << QVariant(true) << true;
    QTest::newRow("mode stays") << "transcriptOnly" << QVariant(true) << QVariant(true) << false;
    QTest::newRow("mode written by hand stays") << "transcriptOnly" << QVariant(QStringLiteral("yes")) << QVariant(true)
                                                << false;
    QTest::newRow("mode back to translate") << "transcriptOnly" << QVariant(true) << QVariant(false) << true;
    QTest::newRow("language chosen first") << "languageB" << QVariant() << QVariant(QStringLiteral("ja")) << true;
    QTest::newRow("language stays") << "languageB" << QVariant(QStringLiteral("ja")) << QVariant(QStringLiteral("ja"))
                                    << false;
    QTest::newRow("unknown language replaced") << "languageB" << QVariant(QStringLiteral("xx"))
                                               << QVariant(QStringLiteral("en")) << true;
}

void TestSettings::userSettingsTellOnlyOfChanges()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, chosen);
    QFETCH(bool, told);
    {
        QSettings store = ZarnoSettings::standardStore();
        store.clear();
        if (stored.isValid())
            store.setValue(key, stored);
    }
    UserSettings settings;
    QSignalSpy mode(&settings, &UserSettings::transcriptOnlyChanged);
    QSignalSpy language(&settings, &UserSettings::targetLanguageChanged);
    if (key == UserSettings::transcriptOnlyKey)
        settings.setTranscriptOnly(chosen.toBool());
    else
        settings.setTargetLanguage(chosen.toString());

    QCOMPARE(mode.size() + language.size(), told ? 1 : 0);
    if (key == UserSettings::transcriptOnlyKey)
        QCOMPARE(settings.transcriptOnly(), chosen.toBool());
    else
        QCOMPARE(settings.targetLanguage(), chosen.toString());
    // The store holds the choice in its plain form.
    QCOMPARE(ZarnoSettings::standardStore().value(key).toString(), chosen.toString());
}

void TestSettings::autostartEntryQuotesItsProgram_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("exec");
    QTest::newRow("plain") << "/usr/bin/zarno" << "Exec=\"/usr/bin/zarno\" --hidden";
    QTest::newRow("spaces") << "/home/ada/my apps/zarno" << "Exec=\"/home/ada/my apps/zarno\" --hidden";
    QTest::newRow("quote, dollar, backquote, backslash")
        << "/opt/a\"b$c`d\\e/zarno" << "Exec=\"/opt/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e/zarno\" --hidden";
}

void TestSettings::autostartEntryQuotesItsProgram()
{
    QFETCH(QString, program);
    QFETCH(QString, exec);
    const QStringList lines = QString::fromUtf8(UserSettings::autostartEntry(program)).split(u'\n');
    QVERIFY2(lines.contains(exec), qPrintable(lines.join(u'|')));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
