#include "settingswindow.h"

#include "brand.h"
#include "serveroffer.h"
#include "settings.h"
#include "usersettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

// A language's name for a code the server gives ("en", "pt-BR").
QString languageName(const QString &code)
{
    for (const TargetLanguage &language : supportedTargetLanguages()) {
        if (language.code == code)
            return language.name;
    }
    const QLocale locale(code);
    if (locale.language() == QLocale::C)
        return code;
    return QLocale::languageToString(locale.language());
}

QString namesOf(const QStringList &codes)
{
    QStringList names;
    for (const QString &code : codes)
        names.append(languageName(code));
    return QLocale().createSeparatedList(names);
}

QLabel *sentenceLine(QWidget *parent)
{
    auto *line = new QLabel(parent);
    line->setWordWrap(true);
    line->setTextFormat(Qt::PlainText);
    line->setVisible(false);
    return line;
}

void selectData(QComboBox *box, const QString &data)
{
    const int index = box->findData(data);
    box->setCurrentIndex(index >= 0 ? index : 0);
}

} // namespace

SettingsWindow::SettingsWindow(UserSettings &settings, Parts parts, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_settings(settings)
    , m_parts(std::move(parts))
{
    setWindowTitle(QStringLiteral("zarno Settings"));
    auto *column = new QVBoxLayout(this);
    for (QWidget *section : {makeAccount(), makeServer(), makeLanguages(), makeAudio(), makeLogin()})
        column->addWidget(section);
    column->addStretch(1);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    column->addWidget(buttons);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
    refresh();
}

QList<SettingsWindow::Input> SettingsWindow::soundServerInputs()
{
    QList<Input> inputs;
    for (const QAudioDevice &device : QMediaDevices::audioInputs())
        inputs.append({QString::fromUtf8(device.id()), device.description()});
    return inputs;
}

QWidget *SettingsWindow::makeAccount()
{
    auto *box = new QGroupBox(QStringLiteral("Account"), this);
    auto *row = new QHBoxLayout(box);
    m_account = new QLabel(box);
    m_account->setTextFormat(Qt::PlainText);
    m_signOut = new QPushButton(QStringLiteral("Sign Out"), box);
    row->addWidget(m_account, 1);
    row->addWidget(m_signOut);
    connect(m_signOut, &QPushButton::clicked, this, [this] {
        if (m_parts.signOut)
            m_parts.signOut();
        refresh();
    });
    return box;
}

QWidget *SettingsWindow::makeServer()
{
    auto *box = new QGroupBox(QStringLiteral("Server"), this);
    auto *form = new QFormLayout(box);
    auto *row = new QHBoxLayout;
    m_address = new QLineEdit(box);
    m_address->setPlaceholderText(ZarnoSettings::defaultServerURL());
    m_address->setClearButtonEnabled(true);
    m_test = new QPushButton(QStringLiteral("Test"), box);
    row->addWidget(m_address, 1);
    row->addWidget(m_test);
    form->addRow(QStringLiteral("Address:"), row);
    m_serverLine = sentenceLine(box);
    form->addRow(QString(), m_serverLine);
    connect(m_address, &QLineEdit::editingFinished, this, &SettingsWindow::applyServerAddress);
    connect(m_test, &QPushButton::clicked, this, &SettingsWindow::testServer);
    // Offered only where something can ask the server.
    m_test->setVisible(bool(m_parts.askServer));
    return box;
}

QWidget *SettingsWindow::makeLanguages()
{
    auto *box = new QGroupBox(QStringLiteral("Languages"), this);
    auto *form = new QFormLayout(box);
    m_spoken = new QComboBox(box);
    form->addRow(QStringLiteral("Spoken:"), m_spoken);
    m_spokenLine = sentenceLine(box);
    form->addRow(QString(), m_spokenLine);
    m_translate = new QCheckBox(QStringLiteral("Translate into:"), box);
    m_target = new QComboBox(box);
    form->addRow(m_translate, m_target);
    m_targetLine = sentenceLine(box);
    form->addRow(QString(), m_targetLine);

    connect(m_spoken, &QComboBox::activated, this, [this] {
        m_settings.setSpokenLanguage(m_spoken->currentData().toString());
        say(m_spokenLine, {});
    });
    connect(m_translate, &QCheckBox::toggled, this, [this](bool on) {
        m_settings.setTranscriptOnly(!on);
        m_target->setEnabled(on);
    });
    connect(m_target, &QComboBox::activated, this, [this] {
        m_settings.setTargetLanguage(m_target->currentData().toString());
        say(m_targetLine, {});
    });
    return box;
}

QWidget *SettingsWindow::makeAudio()
{
    auto *box = new QGroupBox(QStringLiteral("Audio"), this);
    auto *form = new QFormLayout(box);
    m_input = new QComboBox(box);
    form->addRow(QStringLiteral("Microphone:"), m_input);
    m_inputLine = sentenceLine(box);
    form->addRow(QString(), m_inputLine);
    // The same switch as the menu panel's, from the next leg on.
    m_callSound = new QCheckBox(QStringLiteral("Include the call's sound"), box);
    m_callSound->setToolTip(QStringLiteral("Also hear what this computer plays: the others in a call"));
    m_callSound->setChecked(m_settings.includeCallSound());
    form->addRow(QString(), m_callSound);
    connect(m_callSound, &QCheckBox::toggled, &m_settings, &UserSettings::setIncludeCallSound);
    connect(&m_settings, &UserSettings::includeCallSoundChanged, m_callSound, &QCheckBox::setChecked);
    connect(m_input, &QComboBox::activated, this, [this] {
        m_settings.setMicrophone(m_input->currentData().toString());
        say(m_inputLine, {});
    });
    return box;
}

QWidget *SettingsWindow::makeLogin()
{
    auto *box = new QGroupBox(QStringLiteral("Startup"), this);
    auto *column = new QVBoxLayout(box);
    m_login = new QCheckBox(QStringLiteral("Start zarno when I log in"), box);
    m_loginLine = sentenceLine(box);
    column->addWidget(m_login);
    column->addWidget(m_loginLine);
    connect(m_login, &QCheckBox::clicked, this, [this](bool on) {
        if (m_settings.setStartAtLogin(on)) {
            say(m_loginLine, {});
            return;
        }
        m_login->setChecked(m_settings.startAtLogin());
        say(m_loginLine, QStringLiteral("zarno could not %1 its entry in %2.")
                             .arg(on ? QStringLiteral("write") : QStringLiteral("remove"),
                                  UserSettings::autostartEntryPath()),
            Tone::Problem);
    });
    return box;
}

void SettingsWindow::refresh()
{
    const QString email = m_parts.signedInAs ? m_parts.signedInAs() : QString();
    m_account->setText(email.isEmpty() ? QStringLiteral("Not signed in — sign in from the main window.")
                                       : QStringLiteral("Signed in as %1").arg(email));
    m_signOut->setEnabled(!email.isEmpty());
    m_address->setText(m_settings.serverAddress());
    if (const auto problem = UserSettings::serverAddressProblem(m_settings.serverAddress()))
        say(m_serverLine, QStringLiteral("The stored address cannot be used: ") + *problem, Tone::Problem);
    fillSpoken();
    fillTargets();
    fillInputs();
    m_login->setChecked(m_settings.startAtLogin());
}

void SettingsWindow::applyServerAddress()
{
    const QString typed = m_address->text();
    if (typed.trimmed() == m_settings.serverAddress() && !m_serverLine->isVisible())
        return;
    if (const auto problem = m_settings.setServerAddress(typed)) {
        say(m_serverLine, *problem, Tone::Problem);
        return;
    }
    say(m_serverLine, {});
}

void SettingsWindow::testServer()
{
    const QString typed = m_address->text();
    if (const auto problem = UserSettings::serverAddressProblem(typed)) {
        say(m_serverLine, *problem, Tone::Problem);
        Q_EMIT serverTested();
        return;
    }
    applyServerAddress();
    if (!m_parts.askServer || m_testing)
        return;
    askServer(typed.trimmed());
}

QCoro::Task<> SettingsWindow::askServer(QString address)
{
    QPointer<SettingsWindow> self(this);
    m_testing = true;
    m_test->setEnabled(false);
    say(m_serverLine, QStringLiteral("Asking %1…").arg(address));
    ZarnoSettings settings;
    settings.serverURL = address;
    const ServerAnswer answer = co_await m_parts.askServer(*settings.serviceURL(QStringLiteral("/api/auth/config")));
    if (!self)
        co_return;
    m_testing = false;
    m_test->setEnabled(true);
    const bool found = answer.reached && answer.status == 200 && ServerOffer::isConfiguration(answer.body);
    say(m_serverLine, describeAnswer(address, answer), found ? Tone::Info : Tone::Problem);
    if (found) {
        m_spokenOffer = ServerOffer::sourceLanguages(answer.body);
        m_targetOffer = ServerOffer::translationTargets(answer.body);
        fillSpoken();
        fillTargets();
    }
    Q_EMIT serverTested();
}

QString SettingsWindow::describeAnswer(const QString &address, const ServerAnswer &answer)
{
    if (!answer.reached)
        return QStringLiteral("No answer from %1: check the address, and that the server runs.").arg(address);
    if (answer.status != 200)
        return QStringLiteral("%1 answered with status %2: it is not a zarno server, or it has a problem.")
            .arg(address)
            .arg(answer.status);
    if (!ServerOffer::isConfiguration(answer.body))
        return QStringLiteral("%1 answered, but not as a zarno server does.").arg(address);
    const auto heard = ServerOffer::sourceLanguages(answer.body);
    const auto targets = ServerOffer::translationTargets(answer.body);
    const QString engine = ServerOffer::engineName(answer.body);
    QString sentence = engine.isEmpty() ? QStringLiteral("A zarno server answers")
                                        : QStringLiteral("A zarno server answers with its %1 engine").arg(engine);
    if (!heard && !targets)
        return sentence + QStringLiteral("; it does not say which languages it serves.");
    if (heard)
        sentence += heard->isEmpty() ? QStringLiteral(", hearing no language")
                                     : QStringLiteral(", hearing %1").arg(namesOf(*heard));
    if (targets)
        sentence += targets->isEmpty() ? QStringLiteral(", translating into none")
                                       : QStringLiteral(", translating into %1").arg(namesOf(*targets));
    return sentence + u'.';
}

void SettingsWindow::fillSpoken()
{
    const QString stored = m_settings.spokenLanguage();
    m_spoken->clear();
    m_spoken->addItem(autoDetectText, UserSettings::autoDetect);
    QStringList codes = m_spokenOffer.value_or(QStringList());
    // Until the server has said what it hears, the stored choice stays offered.
    if (!m_spokenOffer && stored != UserSettings::autoDetect)
        codes.append(stored);
    for (const QString &code : codes)
        m_spoken->addItem(languageName(code), code);
    selectData(m_spoken, stored);
    if (m_spokenOffer && stored != UserSettings::autoDetect && !m_spokenOffer->contains(stored))
        say(m_spokenLine, QStringLiteral("This server does not hear %1; zarno will detect the language until you "
                                         "choose one it hears.")
                              .arg(languageName(stored)),
            Tone::Problem);
    else
        say(m_spokenLine, {});
}

void SettingsWindow::fillTargets()
{
    const QString stored = ZarnoSettings::load().languageB;
    m_target->clear();
    bool known = false;
    for (const TargetLanguage &language : supportedTargetLanguages()) {
        m_target->addItem(language.name, language.code);
        known = known || language.code == stored;
        if (!ServerOffer::offers(m_targetOffer, language.code)) {
            // Greyed out, as the menu panel shows it.
            m_target->setItemData(m_target->count() - 1, 0, Qt::UserRole - 1);
            m_target->setItemData(m_target->count() - 1, QStringLiteral("Not available on this server"),
                                  Qt::ToolTipRole);
        }
    }
    selectData(m_target, stored);
    const bool translating = !m_settings.transcriptOnly();
    m_translate->setChecked(translating);
    m_target->setEnabled(translating);
    if (!known)
        say(m_targetLine, QStringLiteral("“%1” in the settings file is no language zarno translates into; choose one.")
                              .arg(stored),
            Tone::Problem);
    else if (!ServerOffer::offers(m_targetOffer, stored))
        say(m_targetLine, QStringLiteral("This server does not translate into %1; choose a language it serves.")
                              .arg(languageName(stored)),
            Tone::Problem);
    else
        say(m_targetLine, {});
}

void SettingsWindow::fillInputs()
{
    const QString stored = m_settings.microphone();
    const QList<Input> inputs = m_parts.inputs ? m_parts.inputs() : QList<Input>();
    m_input->clear();
    m_input->addItem(defaultInputText, QString());
    bool present = stored.isEmpty();
    for (const Input &input : inputs) {
        m_input->addItem(input.description.isEmpty() ? input.name : input.description, input.name);
        present = present || input.name == stored;
    }
    if (!present) {
        // Kept, so that it is used again when it comes back.
        m_input->addItem(QStringLiteral("%1 (not connected)").arg(stored), stored);
        say(m_inputLine, QStringLiteral("The chosen microphone is not connected; zarno listens through the default "
                                        "one until it is back."),
            Tone::Problem);
    } else {
        say(m_inputLine, {});
    }
    selectData(m_input, stored);
}

void SettingsWindow::say(QLabel *line, const QString &sentence, Tone tone)
{
    line->setText(sentence);
    line->setVisible(!sentence.isEmpty());
    // Red is for what went wrong; the rest reads as the form's own help.
    QPalette palette = line->parentWidget()->palette();
    palette.setColor(QPalette::WindowText, tone == Tone::Problem ? Brand::tomato()
                                                                 : palette.color(QPalette::PlaceholderText));
    line->setPalette(palette);
}

QString SettingsWindow::serverReport() const
{
    return m_serverLine->text();
}

QString SettingsWindow::problem(const QString &field) const
{
    const QLabel *line = field == u"server"   ? m_serverLine
                         : field == u"spoken" ? m_spokenLine
                         : field == u"target" ? m_targetLine
                         : field == u"microphone" ? m_inputLine
                                                  : m_loginLine;
    return line->isHidden() ? QString() : line->text();
}
