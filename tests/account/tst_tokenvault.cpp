#include "authsession.h"
#include "settings.h"
#include "tokenvault.h"

#include <QFile>
#include <QSettings>
#include <QTest>

#include <qt6keychain/keychain.h>

// The sign-in kept in a real keyring: a private GNOME keyring on a private
// session bus (see with-private-keyring.sh). Without one, tst_authsession
// shows the settings file taking its place.
class TestTokenVault : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void tokensInTheFileMoveToTheKeyringOnce();
    void renewalsAndSignOutReachTheKeyringOnly();

private:
    // What the keyring itself holds, asked afresh.
    static std::optional<QByteArray> inKeyring();
};

std::optional<QByteArray> TestTokenVault::inKeyring()
{
    QKeychain::ReadPasswordJob job(TokenVault::keyringService);
    job.setAutoDelete(false);
    job.setKey(TokenVault::keyringKey);
    QEventLoop loop;
    connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    if (job.error() != QKeychain::NoError)
        return std::nullopt;
    return job.binaryData();
}

void TestTokenVault::initTestCase()
{
    // A sign-in left in the file by an earlier zarno, before anything asked
    // the keyring.
    QSettings store = ZarnoSettings::standardStore();
    store.clear();
    store.setValue("authAccessToken", "file-access");
    store.setValue("authRefreshToken", "file-refresh");
    store.setValue("authExpiresAt", 4e9);
    store.setValue("authEmail", "ada@example.org");
    store.sync();
}

void TestTokenVault::tokensInTheFileMoveToTheKeyringOnce()
{
    TokenVault &vault = TokenVault::shared();
    QCOMPARE(vault.place(), TokenVault::Place::Keyring);
    QCOMPARE(vault.tokens().access, QString("file-access"));
    QCOMPARE(vault.tokens().refresh, QString("file-refresh"));

    QSettings store = ZarnoSettings::standardStore();
    store.sync();
    QVERIFY(!store.contains("authAccessToken"));
    QVERIFY(!store.contains("authRefreshToken"));
    QCOMPARE(store.value("authEmail").toString(), QString("ada@example.org")); // not a secret: stays
    const std::optional<QByteArray> kept = inKeyring();
    QVERIFY(kept);
    QVERIFY(kept->contains("file-refresh"));

    AuthSession session;
    QVERIFY(session.isSignedIn());
}

void TestTokenVault::renewalsAndSignOutReachTheKeyringOnly()
{
    AuthSession session;
    session.adopt("new-access", "new-refresh", 4e9, QString("ada@example.org"));
    TokenVault::shared().flush();
    const std::optional<QByteArray> kept = inKeyring();
    QVERIFY(kept);
    QVERIFY(kept->contains("new-refresh"));
    QFile file(ZarnoSettings::standardStore().fileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!file.readAll().contains("new-"));

    session.signOut();
    TokenVault::shared().flush();
    QVERIFY(!session.isSignedIn());
    QVERIFY(!inKeyring());
}

QTEST_GUILESS_MAIN(TestTokenVault)
#include "tst_tokenvault.moc"
