#include "settings.h"
#include "settingswindow.h"
#include "usersettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHttpServer>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTcpServer>
#include <QTest>

#include <QCoroNetworkReply>

using namespace Qt::StringLiterals;

namespace {

// Stands where the service client will: one GET, the answer as it came.
QCoro::Task<SettingsWindow::ServerAnswer> askOverHttp(QNetworkAccessManager *network, QUrl url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(5000);
    std::unique_ptr<QNetworkReply> reply(network->get(request));
    co_await qCoro(reply.get()).waitForFinished(std::chrono::seconds(10));
    SettingsWindow::ServerAnswer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    answer.reached = status.isValid();
    answer.status = status.toInt();
    answer.body = reply->readAll();
    co_return answer;
}

QPushButton *buttonNamed(const QWidget &window, const QString &text)
{
    for (auto *button : window.findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

const QByteArray localEngine = "{\"supabaseUrl\":\"http://127.0.0.1:1\",\"supabaseAnonKey\":\"k\","
                               "\"engine\":{\"name\":\"local\",\"sourceLanguages\":[\"en\"],"
                               "\"translationTargets\":[\"es\"]}}";

} // namespace

class TestSettingsWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void invalidServerAddressIsRefusedWithASentence_data();
    void invalidServerAddressIsRefusedWithASentence();
    void validServerAddressIsStoredAsTyped();
    void testSaysWhatTheServerServes_data();
    void testSaysWhatTheServerServes();
    void spokenLanguageOffersWhatTheServerHears();
    void storedChoicesThatCannotBeUsedAreSaid_data();
    void storedChoicesThatCannotBeUsedAreSaid();
    void signOutLeavesNobodySignedIn();
    void microphoneNotConnectedMeansTheDefault_data();
    void microphoneNotConnectedMeansTheDefault();
    void callSoundIsTheMenusSwitch();

private:
    std::unique_ptr<SettingsWindow> makeWindow();

    UserSettings m_settings;
    QNetworkAccessManager m_network;
    QString m_signedIn;
    QList<SettingsWindow::Input> m_inputs;
};

void TestSettingsWindow::init()
{
    QSettings store = ZarnoSettings::standardStore();
    store.clear();
    store.sync();
    m_signedIn = u"ada@example.org"_s;
    m_inputs = {{u"alsa_input.usb-mic"_s, u"USB Microphone"_s}};
}

std::unique_ptr<SettingsWindow> TestSettingsWindow::makeWindow()
{
    SettingsWindow::Parts parts;
    parts.signedInAs = [this] { return m_signedIn; };
    parts.signOut = [this] { m_signedIn.clear(); };
    parts.askServer = [this](QUrl url) { return askOverHttp(&m_network, url); };
    parts.inputs = [this] { return m_inputs; };
    auto window = std::make_unique<SettingsWindow>(m_settings, std::move(parts));
    window->show();
    return window;
}

void TestSettingsWindow::invalidServerAddressIsRefusedWithASentence_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << "";
    QTest::newRow("blank") << "   ";
    QTest::newRow("no scheme") << "localhost:8790";
    QTest::newRow("ftp") << "ftp://example.org";
    QTest::newRow("a space in the host") << "http://exa mple.org";
    QTest::newRow("no host") << "http://";
    QTest::newRow("a file") << "file:///etc/passwd";
}

void TestSettingsWindow::invalidServerAddressIsRefusedWithASentence()
{
    QFETCH(QString, typed);
    const QString before = m_settings.serverAddress();
    auto window = makeWindow();
    auto *address = window->findChild<QLineEdit *>();
    address->clear();
    QTest::keyClicks(address, typed);
    QTest::keyClick(address, Qt::Key_Return);
    QCOMPARE(m_settings.serverAddress(), before);
    const QString sentence = window->problem(u"server"_s);
    QVERIFY2(sentence.endsWith(u'.') && sentence.contains(ZarnoSettings::defaultServerURL()), qPrintable(sentence));

    // Test refuses it too, without asking anyone.
    QSignalSpy tested(window.get(), &SettingsWindow::serverTested);
    QTest::mouseClick(buttonNamed(*window, u"Test"_s), Qt::LeftButton);
    QVERIFY(tested.count() >= 1);
    QCOMPARE(window->problem(u"server"_s), sentence);
}

void TestSettingsWindow::validServerAddressIsStoredAsTyped()
{
    auto window = makeWindow();
    QSignalSpy changed(&m_settings, &UserSettings::serverAddressChanged);
    auto *address = window->findChild<QLineEdit *>();
    address->clear();
    QTest::keyClicks(address, u"  https://notes.example.org:8443/base  "_s);
    QTest::keyClick(address, Qt::Key_Return);
    QCOMPARE(m_settings.serverAddress(), u"https://notes.example.org:8443/base"_s);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(window->problem(u"server"_s), QString());
}

void TestSettingsWindow::testSaysWhatTheServerServes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("said");

    QTest::newRow("the local engine") << 200 << localEngine
                                      << "A zarno server answers with its local engine, hearing English, "
                                         "translating into Spanish.";
    QTest::newRow("no engine said") << 200 << QByteArray("{\"supabaseUrl\":\"u\",\"supabaseAnonKey\":\"k\"}")
                                    << "A zarno server answers; it does not say which languages it serves.";
    QTest::newRow("not a configuration") << 200 << QByteArray("<html>hello</html>")
                                         << "%1 answered, but not as a zarno server does.";
    QTest::newRow("a server error") << 500 << QByteArray("{}")
                                    << "%1 answered with status 500: it is not a zarno server, or it has a problem.";
    QTest::newRow("nobody there") << 0 << QByteArray()
                                  << "No answer from %1: check the address, and that the server runs.";
}

void TestSettingsWindow::testSaysWhatTheServerServes()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, said);

    QHttpServer server;
    server.route(u"/api/auth/config"_s, [status, body] {
        return QHttpServerResponse("application/json", body, QHttpServerResponse::StatusCode(status));
    });
    auto tcp = std::make_unique<QTcpServer>();
    QVERIFY(tcp->listen(QHostAddress::LocalHost, 0));
    const QString address = u"http://127.0.0.1:%1"_s.arg(tcp->serverPort());
    if (status != 0)
        server.bind(tcp.release());
    else
        tcp.reset(); // the port is closed again: nobody answers there

    auto window = makeWindow();
    auto *field = window->findChild<QLineEdit *>();
    field->clear();
    QTest::keyClicks(field, address);
    QSignalSpy tested(window.get(), &SettingsWindow::serverTested);
    window->testServer();
    QVERIFY(tested.wait(15000));
    QCOMPARE(window->serverReport(), said.contains(u"%1") ? said.arg(address) : said);
    QCOMPARE(m_settings.serverAddress(), address);
}

void TestSettingsWindow::spokenLanguageOffersWhatTheServerHears()
{
    QHttpServer server;
    server.route(u"/api/auth/config"_s, [] { return QHttpServerResponse("application/json", localEngine); });
    const quint16 port = server.listen(QHostAddress::LocalHost, 0);
    QVERIFY(port != 0);
    QVERIFY(!m_settings.setServerAddress(u"http://127.0.0.1:%1"_s.arg(port)));

    auto window = makeWindow();
    auto *spoken = window->findChildren<QComboBox *>().at(0);
    QCOMPARE(spoken->currentText(), SettingsWindow::autoDetectText);
    QSignalSpy tested(window.get(), &SettingsWindow::serverTested);
    window->testServer();
    QVERIFY(tested.wait(15000));
    QCOMPARE(spoken->count(), 2);
    QCOMPARE(spoken->itemText(1), u"English"_s);
    spoken->setFocus();
    QTest::keyClick(spoken, Qt::Key_Down);
    QCOMPARE(m_settings.spokenLanguage(), u"en"_s);

    // Targets the server does not translate into stay in the list, greyed.
    auto *target = window->findChildren<QComboBox *>().at(1);
    auto *model = qobject_cast<QStandardItemModel *>(target->model());
    for (int row = 0; row < target->count(); ++row)
        QCOMPARE(model->item(row)->isEnabled(), target->itemData(row).toString() == u"es");
    // The stored "en" is not served: said once, beside the field.
    QVERIFY(window->problem(u"target"_s).contains(u"does not translate into English"));
}

void TestSettingsWindow::storedChoicesThatCannotBeUsedAreSaid_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("said");

    QTest::newRow("an address written by hand") << "serverURL" << "notes.example.org" << "server"
                                                << "The stored address cannot be used";
    QTest::newRow("a language zarno does not know") << "languageB" << "xx" << "target"
                                                    << "“xx” in the settings file is no language";
    QTest::newRow("a microphone unplugged") << "microphone" << "alsa_input.gone" << "microphone"
                                            << "The chosen microphone is not connected";
}

void TestSettingsWindow::storedChoicesThatCannotBeUsedAreSaid()
{
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(QString, field);
    QFETCH(QString, said);
    {
        QSettings store = ZarnoSettings::standardStore();
        store.setValue(key, stored);
    }
    auto window = makeWindow();
    QVERIFY2(window->problem(field).startsWith(said), qPrintable(window->problem(field)));
    // The stored value stays until the user chooses another.
    QCOMPARE(ZarnoSettings::standardStore().value(key).toString(), stored);
}

void TestSettingsWindow::signOutLeavesNobodySignedIn()
{
    auto window = makeWindow();
    QLabel *account = nullptr;
    for (auto *label : window->findChildren<QLabel *>())
        if (label->text().startsWith(u"Signed in as"))
            account = label;
    QVERIFY(account);
    QCOMPARE(account->text(), u"Signed in as ada@example.org"_s);
    QPushButton *signOut = buttonNamed(*window, u"Sign Out"_s);
    QVERIFY(signOut && signOut->isEnabled());
    QTest::mouseClick(signOut, Qt::LeftButton);
    QVERIFY(m_signedIn.isEmpty());
    QVERIFY(account->text().startsWith(u"Not signed in"));
    QVERIFY(!signOut->isEnabled());
}

void TestSettingsWindow::microphoneNotConnectedMeansTheDefault_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::newRow("none chosen") << "";
    QTest::newRow("unplugged") << "alsa_input.gone";
}

// No sound server runs here: whatever was chosen, the capture is left to
// take the server's default, never told there is no device.
void TestSettingsWindow::microphoneNotConnectedMeansTheDefault()
{
    QFETCH(QString, chosen);
    m_settings.setMicrophone(chosen);
    QCOMPARE(m_settings.microphone(), chosen);
    QVERIFY(!UserSettings::chosenInput());
}

// The same switch as the menu panel's, under the same words.
void TestSettingsWindow::callSoundIsTheMenusSwitch()
{
    auto window = makeWindow();
    QCheckBox *box = nullptr;
    for (auto *candidate : window->findChildren<QCheckBox *>())
        if (candidate->text() == u"Include the call's sound")
            box = candidate;
    QVERIFY(box);
    QVERIFY(box->isEnabled());
    QVERIFY(box->isChecked()); // on until turned off

    box->click();
    QVERIFY(!UserSettings::includesCallSound());
    m_settings.setIncludeCallSound(true); // from the menu panel
    QVERIFY(box->isChecked());
    QVERIFY(UserSettings::includesCallSound());
}

QTEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
