// zarno as a person meets it: the real application, service, sound server and
// desktop, driven through the screen, the mouse and keyboard, and the
// commands of a second launch. Each scenario builds its own desktop.

#include "../server/fakechatmodel.h"
#include "../server/fakesoniox.h"
#include "scenariosetup.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const QString connectionLost = u"The connection to the server was lost."_s;
const QString saveFailed = u"Saving failed — the transcript is still here; try Save again."_s;
const QString recoveredSentence = u"Recovered an interrupted session — Save notes to keep it."_s;
const QString micStopped = u"The microphone stopped — check the sound settings, then Resume."_s;

constexpr int shortWait = 20000;
constexpr int speechWait = 40000;

// "Listening · 1:07" gives 67 seconds; no time gives -1.
int elapsedSeconds(const QString &status)
{
    static const QRegularExpression time(u"· (\\d+):(\\d\\d)"_s);
    const QRegularExpressionMatch match = time.match(status);
    return match.hasMatch() ? match.captured(1).toInt() * 60 + match.captured(2).toInt() : -1;
}

bool isListening(const QString &status) { return status.startsWith(u"Listening"_s); }
bool isPaused(const QString &status) { return status.startsWith(u"Paused"_s); }

// The source lines of stored notes, in order.
QStringList sourceLines(const QJsonObject &note)
{
    QStringList lines;
    for (const QJsonValue &entry : note.value(u"entries"_s).toArray()) {
        if (!entry.toObject().value(u"translated"_s).toBool())
            lines.append(entry.toObject().value(u"text"_s).toString());
    }
    return lines;
}

// The whole of the first note in `notes`, the account's list.
QJsonObject firstNote(ThrowawayDesktop &desktop, const QJsonArray &notes)
{
    return desktop.storedNote(notes.first().toObject().value(u"id"_s).toString());
}

int occurrences(const QStringList &lines, const QString &word)
{
    return int(lines.join(u' ').toLower().count(word));
}

// What the live panel's transcript area holds, read from its pixels: final
// words are drawn in ink, provisional ones faint and italic, like the
// "say something" hint.
struct TranscriptInk
{
    int dark = 0; // pixels of final text
    QImage area;
};

QRect transcriptArea(const WindowInfo &panel)
{
    // The window carries a 16-pixel shadow margin; the header row and the
    // button row take the top 44 and bottom 62 pixels of the panel.
    const QRect visible = panel.frame.adjusted(16, 16, -16, -16);
    return QRect(visible.left() + 10, visible.top() + 44, visible.width() - 20, visible.height() - 44 - 62);
}

TranscriptInk readTranscript(const QImage &screen, const WindowInfo &panel)
{
    TranscriptInk ink;
    ink.area = screen.copy(transcriptArea(panel)).convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < ink.area.height(); ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(ink.area.constScanLine(y));
        for (int x = 0; x < ink.area.width(); ++x) {
            if (qRed(row[x]) < 90 && qGreen(row[x]) < 90 && qBlue(row[x]) < 90)
                ++ink.dark;
        }
    }
    return ink;
}

int differingPixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return a.width() * a.height();
    int differing = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q)) > 60)
                ++differing;
        }
    }
    return differing;
}

bool isTheMainWindow(const WindowInfo &window)
{
    return window.type == u"_NET_WM_WINDOW_TYPE_NORMAL"_s && window.frame.width() >= 600;
}

// The centre of a filled pill of `colour` inside `area`: the box of the rows
// that hold a long run of it (text of the same colour has only short runs).
std::optional<QPoint> pillCentre(const QImage &image, const QRect &area, QColor colour, int minRun = 40)
{
    const QImage rgb = image.copy(area).convertToFormat(QImage::Format_RGB32);
    QRect box;
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        int run = 0;
        for (int x = 0; x < rgb.width(); ++x) {
            const bool near = qAbs(qRed(row[x]) - colour.red()) + qAbs(qGreen(row[x]) - colour.green())
                    + qAbs(qBlue(row[x]) - colour.blue())
                < 24;
            run = near ? run + 1 : 0;
            if (run >= minRun)
                box |= QRect(x - run + 1, y, run, 1);
        }
    }
    if (box.isEmpty())
        return std::nullopt;
    return area.topLeft() + box.center();
}

int pixelsNear(const QImage &image, QColor colour, int tolerance = 24)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            if (qAbs(qRed(row[x]) - colour.red()) + qAbs(qGreen(row[x]) - colour.green())
                    + qAbs(qBlue(row[x]) - colour.blue())
                < tolerance)
                ++count;
        }
    }
    return count;
}

// Waits by the clock (each check may take a screenshot, which QTRY_* does
// not count) for a state to be reached.
bool until(const std::function<bool()> &reached, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!reached()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(100);
    }
    return true;
}

const QColor teal(15, 138, 131);
const QColor ink(29, 26, 20);
const QColor tomato(232, 69, 43);

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newcomerSignsInTakesNotesAndSeesThem();
    void pausedSessionResumesAndSavesBothLegs();
    void serviceDiesMidLegAndTheTranscriptSurvives();
    void soundServerDiesMidLegAndEveryLineIsSaved();
    void failedUploadKeepsTheTranscriptForSaveAgain();
    void killedMidSessionComesBackPausedAndSavesItsLines();
    void recordingProgramBringsUpThePrompt();
    void previewsAreWrittenAtTheirSizes();
    void firstWordsAfterStartReadWell();
    void translationsArriveThroughTheRelayedProvider();

private:
    // Plays a recording and waits until the live panel shows final words
    // beyond `darkBefore` ink pixels; returns the panel's ink then.
    int speakUntilFinal(ThrowawayDesktop &desktop, const QString &recording, int darkBefore);
    // A leg was cut: zarno reports a pause with `sentence`, and the live panel
    // still shows at least `ink` of its words. `status` is what it said.
    bool pausedKeepingWords(ThrowawayDesktop &desktop, const QString &sentence, int ink, QString *status);
    void dumpLogs(ThrowawayDesktop &desktop);
};

int TestEndToEnd::speakUntilFinal(ThrowawayDesktop &desktop, const QString &recording, int darkBefore)
{
    const std::optional<WindowInfo> panel = desktop.waitForWindow(isTheLivePanel, shortWait);
    if (!panel || !desktop.startSpeaking(recording))
        return -1;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < speechWait) {
        const int dark = readTranscript(desktop.screenshot(), *panel).dark;
        if (dark > darkBefore + 50 && !desktop.speaking())
            return dark;
        QTest::qWait(100);
    }
    return -1;
}

bool TestEndToEnd::pausedKeepingWords(ThrowawayDesktop &desktop, const QString &sentence, int ink, QString *status)
{
    *status = desktop.waitForStatus([](const QString &s) { return isPaused(s); }, shortWait);
    if (!isPaused(*status) || !status->contains(sentence))
        return false;
    const std::optional<WindowInfo> panel = desktop.waitForWindow(isTheLivePanel, shortWait);
    if (!panel) {
        *status += u" (no live panel on screen)"_s;
        return false;
    }
    const int dark = readTranscript(desktop.screenshot(), *panel).dark;
    if (dark < ink)
        *status += u" (the panel shows %1 ink pixels, %2 before)"_s.arg(dark).arg(ink);
    return dark >= ink;
}

void TestEndToEnd::dumpLogs(ThrowawayDesktop &desktop)
{
    if (QTest::currentTestFailed()) {
        qWarning().noquote() << "zarno:" << desktop.logTail(u"zarno.log"_s);
        qWarning().noquote() << "service:" << desktop.logTail(u"service.log"_s);
    }
}

// A newcomer signs in on the web page in zarno's window, takes notes of a
// few spoken words, saves them and opens them.
void TestEndToEnd::newcomerSignsInTakesNotesAndSeesThem()
{
    ThrowawayDesktop desktop;
    // Summaries come from a model; a fake one, since none can run here.
    FakeChatModel model;
    model.replies = {FakeChatModel::completion(uR"({"overview":"Someone was told to go forward ten meters.",)"
                                               uR"("decisions":[],"actionItems":[{"task":"Go forward ten meters",)"
                                               uR"("owner":null,"due":null}]})"_s)};
    desktop.summariseWith(model.baseUrl());
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(desktop.launchZarno());
    QCOMPARE(desktop.command(u"status"_s), u"Watching for meetings"_s);

    // The main window opens on its own with the sign-in form.
    const std::optional<WindowInfo> window = desktop.waitForWindow(isTheMainWindow, shortWait);
    QVERIFY(window);
    const QRect frame = window->frame;
    QVERIFY(until([&] { return pixelsNear(desktop.screenshot().copy(frame), teal) > 2000; }, shortWait));

    // The form sits in the middle: e-mail, password, then Return.
    desktop.click(QPoint(frame.center().x(), frame.top() + 302));
    desktop.type(email);
    desktop.click(QPoint(frame.center().x(), frame.top() + 377));
    desktop.type(password);
    desktop.key(u"Return"_s);

    // zarno took the page's sign-in: its card offers "Take notes now".
    const QRect card(frame.center().x() - 240, frame.center().y() - 160, 480, 360);
    std::optional<QPoint> takeNotesNow;
    QVERIFY(until([&] {
        return desktop.zarnoSettings().contains(u"authRefreshToken="_s)
            && bool(takeNotesNow = pillCentre(desktop.screenshot(), card, ink));
    }, shortWait));
    QVERIFY(desktop.zarnoSettings().contains(u"authRefreshToken="_s));
    QVERIFY(desktop.zarnoSettings().contains(u"authEmail="_s + email));
    desktop.click(*takeNotesNow);
    QVERIFY(isListening(desktop.waitForStatus(isListening, shortWait)));

    // The live panel, expanded, first shows only its hint.
    const std::optional<WindowInfo> panel = desktop.waitForWindow(isTheLivePanel, shortWait);
    QVERIFY(panel);
    QVERIFY(until([&] { return pixelsNear(desktop.screenshot().copy(transcriptArea(*panel)), Qt::white, 30) > 1000; }, shortWait));
    const TranscriptInk hint = readTranscript(desktop.screenshot(), *panel);
    QCOMPARE(hint.dark, 0);

    // Speech: faint provisional words appear first, then final words in ink.
    QVERIFY(desktop.startSpeaking(goForward));
    bool sawProvisional = false, sawFinal = false, provisionalBeforeFinal = false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < speechWait && !(sawFinal && !desktop.speaking())) {
        const QImage screen = desktop.screenshot();
        const TranscriptInk now = readTranscript(screen, *panel);
        if (now.dark == 0 && differingPixels(now.area, hint.area) > 80) {
            if (!sawProvisional)
                screen.copy(panel->frame).save(outputDir() + u"/live-panel-provisional.png"_s);
            sawProvisional = true;
        } else if (now.dark > 50) {
            if (!sawFinal)
                screen.copy(panel->frame).save(outputDir() + u"/live-panel.png"_s);
            provisionalBeforeFinal = provisionalBeforeFinal || (!sawFinal && sawProvisional);
            sawFinal = true;
        }
    }
    QVERIFY2(sawProvisional, "no provisional words were shown while speaking");
    QVERIFY2(sawFinal, "no final words were shown");
    QVERIFY(provisionalBeforeFinal);
    QVERIFY(isListening(desktop.command(u"status"_s)));

    // Stop & save: the service keeps the words.
    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    QVERIFY(desktop.signInOverHttp(email, password));
    const QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    const QString id = notes.first().toObject().value(u"id"_s).toString();
    const QStringList lines = sourceLines(desktop.storedNote(id));
    QCOMPARE(occurrences(lines, u"forward"_s), 1);
    // The summary follows the save, from what was said.
    QVERIFY(until([&] { return desktop.storedNote(id)[u"summary"_s][u"status"_s].toString() == u"ready"_s; }, shortWait));
    QVERIFY(model.requests.first().message(u"user"_s).contains(u"forward"_s));
    QCOMPARE(desktop.storedNote(id)[u"summary"_s][u"actionItems"_s][0][u"task"_s].toString(), u"Go forward ten meters"_s);

    // "See notes" in the panel opens them in the main window.
    const std::optional<WindowInfo> saved = desktop.waitForWindow(isTheLivePanel, shortWait);
    QVERIFY(saved);
    QVERIFY(until([&] { return pixelsNear(desktop.screenshot().copy(QRect(saved->frame.right() - 130, saved->frame.bottom() - 60, 110, 30)),
                   ink) > 300; }, shortWait));
    desktop.click(QPoint(saved->frame.right() - 91, saved->frame.bottom() - 43));
    const QString opened = u"Get /api/sessions/"_s + id + u" -> 200"_s;
    QVERIFY(until([&] { return desktop.serviceLog().contains(u"zarno.server: "_s + opened); }, shortWait));
    // The note's page has drawn its lines once the list's selection shows.
    QVERIFY(until([&] { return pixelsNear(desktop.screenshot().copy(frame), QColor(228, 242, 240), 12) > 1000; }, shortWait));
    desktop.screenshot().copy(frame).save(outputDir() + u"/saved-notes.png"_s);
}

// Speech soon after "zarno start" is heard as well as the recogniser can:
// the first utterance of a connection is no worse than the later ones.
void TestEndToEnd::firstWordsAfterStartReadWell()
{
    ThrowawayDesktop desktop;
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(launchSignedIn(desktop));
    const QString started = desktop.command(u"start"_s);
    QVERIFY2(isListening(started), qPrintable(started));
    // A person speaks a moment after starting; meanwhile the microphone
    // delivers its near-silent floor.
    QTest::qWait(3000);
    QVERIFY(speakUntilFinal(desktop, goForward, 0) > 0);
    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    const QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    const QStringList lines = sourceLines(firstNote(desktop, notes));
    QCOMPARE(lines, QStringList{u"Go forward ten meters."_s});
}

// The service relays to the provider's real-time API (a fake of it on
// loopback, which answers what it hears in the language asked for): one leg
// into Spanish, a pause, the target switched to Japanese, a second leg. The
// panel shows both translations under their lines, and the notes keep them.
void TestEndToEnd::translationsArriveThroughTheRelayedProvider()
{
    const QString key = u"sk-e2e-relay-key"_s;
    const QHash<QString, QStringList> translations{
        {u"es"_s, {u"Avanza"_s, u" diez"_s, u" metros."_s}},
        {u"ja"_s, {u"10"_s, u"メートル"_s, u"前進"_s, u"してください。"_s}},
    };
    FakeSoniox provider;
    // Answers speech: provisional words once it has heard some, then the
    // final line with its end marker and the translation.
    QHash<const FakeSoniox::Stream *, int> speechMs;
    provider.onAudio = [&](FakeSoniox::Stream &stream, const QByteArray &audio) {
        const auto *samples = reinterpret_cast<const qint16 *>(audio.constData());
        double energy = 0;
        for (qsizetype i = 0; i < audio.size() / 2; ++i)
            energy += double(samples[i]) * samples[i];
        if (audio.size() < 2 || std::sqrt(energy / double(audio.size() / 2)) < 300)
            return;
        const int before = speechMs.value(&stream);
        const int now = before + int(audio.size() / 32);
        speechMs.insert(&stream, now);
        using F = FakeSoniox;
        if (before < 400 && now >= 400)
            F::send(stream, F::tokens({F::token(u"Go"_s, false, u"en"_s), F::token(u" forward"_s, false, u"en"_s)}));
        if (before < 1400 && now >= 1400) {
            F::send(stream, F::tokens({F::token(u"Go"_s, true, u"en"_s), F::token(u" forward"_s, true, u"en"_s),
                                       F::token(u" ten"_s, true, u"en"_s), F::token(u" meters."_s, true, u"en"_s),
                                       F::token(u"<end>"_s, true, QString())}));
            const QString target = stream.start.value(u"translation"_s).toObject().value(u"target_language"_s).toString();
            QJsonArray translated;
            for (const QString &word : translations.value(target))
                translated.append(F::token(word, true, target, true));
            F::send(stream, F::tokens(translated));
        }
    };

    ThrowawayDesktop desktop;
    desktop.relayTo(provider.url(), key);
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(desktop.signInOverHttp(email, password) && desktop.writeSignInForZarno());
    QVERIFY(desktop.setZarnoSetting(u"languageB"_s, u"es"_s));
    QVERIFY(desktop.launchZarno());

    QVERIFY(isListening(desktop.command(u"start"_s)));
    const int spanishInk = speakUntilFinal(desktop, goForward, 0);
    QVERIFY(spanishInk > 0);
    QVERIFY(until([&] { return speechMs.value(provider.streams.value(0).get()) >= 1400; }, shortWait));
    QVERIFY(isPaused(desktop.command(u"pause"_s)));

    QVERIFY(desktop.setZarnoSetting(u"languageB"_s, u"ja"_s));
    QVERIFY(isListening(desktop.command(u"resume"_s)));
    QVERIFY(speakUntilFinal(desktop, goForward, spanishInk) > 0);
    const std::optional<WindowInfo> panel = desktop.waitForWindow(isTheLivePanel, shortWait);
    QVERIFY(panel);
    QTest::qWait(500); // the translation follows its line in the same breath
    desktop.screenshot().copy(panel->frame).save(outputDir() + u"/translations-es-ja.png"_s);

    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    // Each leg had its own provider stream, asked in its language, with the key in the header.
    QCOMPARE(provider.streams.size(), 2);
    QStringList targets;
    for (const auto &stream : provider.streams) {
        QCOMPARE(stream->authorization, "Bearer " + key.toUtf8());
        targets.append(stream->start.value(u"translation"_s).toObject().value(u"target_language"_s).toString());
        QTRY_VERIFY(stream->closed);
        QVERIFY(stream->endOfAudio);
    }
    QCOMPARE(targets, (QStringList{u"es"_s, u"ja"_s}));
    const QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    QStringList source, translated;
    for (const QJsonValue &entry : firstNote(desktop, notes).value(u"entries"_s).toArray()) {
        (entry.toObject().value(u"translated"_s).toBool() ? translated : source).append(entry.toObject().value(u"text"_s).toString());
    }
    QCOMPARE(source, (QStringList{u"Go forward ten meters."_s, u"Go forward ten meters."_s}));
    QCOMPARE(translated, (QStringList{u"Avanza diez metros."_s, u"10メートル前進してください。"_s}));
    QVERIFY2(!desktop.logTail(u"service.log"_s).contains(key), "the key never reaches a log");
}

// Two legs with a pause between them: the time counts only the legs, and
// both legs' words are saved once each.
void TestEndToEnd::pausedSessionResumesAndSavesBothLegs()
{
    ThrowawayDesktop desktop;
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(launchSignedIn(desktop));

    QElapsedTimer wall;
    wall.start();
    const QString started = desktop.command(u"start"_s);
    QVERIFY2(isListening(started), qPrintable(started));
    const int firstInk = speakUntilFinal(desktop, goForward, 0);
    QVERIFY(firstInk > 0);
    const QString firstPause = desktop.command(u"pause"_s);
    QVERIFY2(isPaused(firstPause), qPrintable(firstPause));
    const int firstLeg = elapsedSeconds(firstPause);
    QVERIFY(firstLeg >= 2);

    // Paused, the clock stands still.
    QElapsedTimer paused;
    paused.start();
    QTest::qWait(3000);
    QCOMPARE(elapsedSeconds(desktop.command(u"status"_s)), firstLeg);

    QVERIFY(isListening(desktop.command(u"resume"_s)));
    const qint64 pausedMs = paused.elapsed();
    QVERIFY(speakUntilFinal(desktop, numbers, firstInk) > 0);
    const QString secondPause = desktop.command(u"pause"_s);
    QVERIFY(isPaused(secondPause));
    const int total = elapsedSeconds(secondPause);
    // The second leg adds at least its speech, and the pause adds nothing.
    QVERIFY2(total >= firstLeg + 3, qPrintable(secondPause));
    QVERIFY2(total <= (wall.elapsed() - pausedMs) / 1000 + 1, qPrintable(secondPause));

    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    const QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    const QStringList lines = sourceLines(firstNote(desktop, notes));
    QCOMPARE(occurrences(lines, u"forward"_s), 1);
    QVERIFY2(lines.size() >= 2, qPrintable(lines.join(u" | "_s)));
    QCOMPARE(QSet<QString>(lines.begin(), lines.end()).size(), lines.size());
}

// The service dies while zarno listens: the session pauses with the
// connection sentence and keeps its words; once the service is back, the
// session resumes and everything is saved.
void TestEndToEnd::serviceDiesMidLegAndTheTranscriptSurvives()
{
    ThrowawayDesktop desktop;
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(launchSignedIn(desktop));

    // A start while the service is down: the panel comes up by itself with
    // the sentence, which names the address that failed.
    desktop.killService();
    const QString where = desktop.serviceURL().section(u"//"_s, 1);
    const QString refused = desktop.command(u"start"_s);
    QVERIFY2(refused.contains(u"Could not connect to the server at "_s + where + u'.'), qPrintable(refused));
    const std::optional<WindowInfo> failure = desktop.waitForWindow(isTheLivePanel, shortWait);
    QVERIFY2(failure, "the failed start showed nothing on screen");
    QVERIFY(until([&] { return pixelsNear(desktop.screenshot().copy(failure->frame), tomato, 60) > 50; }, shortWait));
    desktop.screenshot().save(outputDir() + u"/start-failure.png"_s);
    QVERIFY(desktop.restartService());

    const QString started = desktop.command(u"start"_s);
    QVERIFY2(isListening(started), qPrintable(started));
    const int firstInk = speakUntilFinal(desktop, goForward, 0);
    QVERIFY(firstInk > 0);

    desktop.killService();
    QString lost;
    QVERIFY2(pausedKeepingWords(desktop, connectionLost, firstInk, &lost), qPrintable(lost));

    QVERIFY(desktop.restartService());
    QVERIFY(isListening(desktop.command(u"resume"_s)));
    QVERIFY(speakUntilFinal(desktop, numbers, firstInk) > 0);
    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));

    QVERIFY(desktop.signInOverHttp(email, password));
    const QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    const QStringList lines = sourceLines(firstNote(desktop, notes));
    QCOMPARE(occurrences(lines, u"forward"_s), 1);
    QVERIFY2(lines.size() >= 2, qPrintable(lines.join(u" | "_s)));
}

// The sound server dies while zarno listens: the session pauses with the
// microphone's sentence and keeps its words, Stop & save keeps every line,
// and once the server is back a new session hears again, without a restart.
void TestEndToEnd::soundServerDiesMidLegAndEveryLineIsSaved()
{
    ThrowawayDesktop desktop;
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(launchSignedIn(desktop));

    const QString started = desktop.command(u"start"_s);
    QVERIFY2(isListening(started), qPrintable(started));
    const int firstInk = speakUntilFinal(desktop, goForward, 0);
    QVERIFY(firstInk > 0);

    desktop.killSoundServer();
    QString stopped;
    QVERIFY2(pausedKeepingWords(desktop, micStopped, firstInk, &stopped), qPrintable(stopped));

    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    QVERIFY(desktop.signInOverHttp(email, password));
    QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    QCOMPARE(sourceLines(firstNote(desktop, notes)),
             QStringList{u"Go forward ten meters."_s});

    // The server comes back: Take notes works again in the same zarno.
    QVERIFY(desktop.restartSoundServer());
    QString again;
    QVERIFY(until([&] {
        again = desktop.command(u"start"_s);
        return isListening(again);
    }, shortWait));
    QVERIFY(speakUntilFinal(desktop, goForward, 0) > 0);
    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 2);
}

// The upload fails: zarno says so, keeps the transcript and stays paused;
// "Save notes" again uploads the same lines once.
void TestEndToEnd::failedUploadKeepsTheTranscriptForSaveAgain()
{
    ThrowawayDesktop desktop;
    if (!bringUp(desktop, true))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(launchSignedIn(desktop));

    const QString started = desktop.command(u"start"_s);
    QVERIFY2(isListening(started), qPrintable(started));
    QVERIFY(speakUntilFinal(desktop, goForward, 0) > 0);

    QVERIFY(desktop.failUploads(true));
    const QString failed = desktop.command(u"stop"_s);
    QVERIFY2(isPaused(failed) && failed.contains(saveFailed), qPrintable(failed));
    QVERIFY(desktop.storedNotes().isEmpty());
    const std::optional<WindowInfo> panel = desktop.waitForWindow(isTheLivePanel, shortWait);
    QVERIFY(panel);
    QVERIFY(readTranscript(desktop.screenshot(), *panel).dark > 50);

    QVERIFY(desktop.failUploads(false));
    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    const QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    const QStringList lines = sourceLines(firstNote(desktop, notes));
    QCOMPARE(occurrences(lines, u"forward"_s), 1);
}

// `zarno start` with no zarno running starts one that takes notes. Killed
// with SIGKILL mid-session, zarno comes back paused with the session and its
// sentence, and stop saves those lines with their original times.
void TestEndToEnd::killedMidSessionComesBackPausedAndSavesItsLines()
{
    ThrowawayDesktop desktop;
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    QVERIFY(desktop.signInOverHttp(email, password) && desktop.writeSignInForZarno());

    const qint64 launchedAt = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(desktop.launchZarno({u"start"_s}));
    const QString started = desktop.waitForStatus(isListening, shortWait);
    QVERIFY2(isListening(started), qPrintable(started));
    QVERIFY(speakUntilFinal(desktop, goForward, 0) > 0);
    desktop.killZarno();
    const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();

    QVERIFY(desktop.launchZarno());
    const QString recovered = desktop.command(u"status"_s);
    QVERIFY2(isPaused(recovered) && recovered.contains(recoveredSentence), qPrintable(recovered));
    QVERIFY(elapsedSeconds(recovered) >= 2);
    const std::optional<WindowInfo> panel = desktop.waitForWindow(isTheLivePanel, shortWait);
    QVERIFY(panel);
    QVERIFY(readTranscript(desktop.screenshot(), *panel).dark > 50);
    QVERIFY(desktop.storedNotes().isEmpty());

    QVERIFY(desktop.command(u"stop"_s).contains(u"✓ Notes saved"_s));
    const QJsonArray notes = desktop.storedNotes();
    QCOMPARE(notes.size(), 1);
    const QJsonObject note = firstNote(desktop, notes);
    QCOMPARE(occurrences(sourceLines(note), u"forward"_s), 1);
    const qint64 startedAt = notes.first().toObject().value(u"startedAt"_s).toInteger();
    QVERIFY(startedAt >= launchedAt && startedAt < killedAt);
    for (const QJsonValue &entry : note.value(u"entries"_s).toArray())
        QVERIFY(entry.toObject().value(u"t"_s).toInteger() < killedAt);
    // Saved: the next launch has nothing to bring back.
    desktop.stopZarno();
    QVERIFY(desktop.launchZarno());
    QVERIFY(!desktop.command(u"status"_s).contains(recoveredSentence));
}

// A program starts recording from the microphone: zarno offers to take
// notes in the top-right corner, and "Take notes" starts a session.
void TestEndToEnd::recordingProgramBringsUpThePrompt()
{
    ThrowawayDesktop desktop;
    if (!bringUp(desktop))
        return;
    auto logs = qScopeGuard([&] { dumpLogs(desktop); });
    // A chosen target, as the menu panel below then shows it.
    QVERIFY(desktop.setZarnoSetting(u"languageB"_s, u"es"_s));
    QVERIFY(launchSignedIn(desktop));
    QVERIFY(desktop.waitForWindow(isTheMainWindow, shortWait));

    QVERIFY(desktop.startRecordingProgram());
    const auto isThePrompt = [&](const WindowInfo &w) {
        return w.type == u"_NET_WM_WINDOW_TYPE_UTILITY"_s && !isTheLivePanel(w)
            && w.frame.right() >= desktop.screenSize().width() - 80 && w.frame.top() <= 80;
    };
    const std::optional<WindowInfo> prompt = desktop.waitForWindow(isThePrompt, shortWait);
    QVERIFY(prompt);
    // Its "Take notes" pill, in ink, sits in the right part of the card.
    const auto buttonArea = [&] {
        const QRect frame = prompt->frame;
        return QRect(frame.left() + frame.width() * 62 / 100, frame.top(), frame.width() * 38 / 100, frame.height());
    }();
    QVERIFY(until([&] { return pixelsNear(desktop.screenshot().copy(buttonArea), ink) > 1000; }, shortWait));
    QImage shot = desktop.screenshot();
    shot.copy(prompt->frame).save(outputDir() + u"/meeting-prompt.png"_s);
    shot.save(outputDir() + u"/prompt-beside-tray.png"_s);
    QCOMPARE(desktop.command(u"status"_s), u"Watching for meetings"_s);

    // The tray icon in the same corner still takes its click: it opens the
    // menu panel, which offers the same meeting.
    const std::optional<WindowInfo> tray = desktop.trayHost();
    QVERIFY(tray);
    desktop.click(tray->frame.center());
    const auto isTheMenuPanel = [&](const WindowInfo &w) {
        return w.id != prompt->id && w.frame.width() >= 300 && !isTheLivePanel(w) && !isTheMainWindow(w)
            && w.frame.top() < 100;
    };
    const std::optional<WindowInfo> menu = desktop.waitForWindow(isTheMenuPanel, shortWait);
    QVERIFY2(menu, "a click on the tray icon did not reach the tray");
    desktop.screenshot().save(outputDir() + u"/menu-panel.png"_s);
    desktop.key(u"Escape"_s);
    QVERIFY(until([&] { return !desktop.waitForWindow(isTheMenuPanel, 0); }, shortWait));
    shot = desktop.screenshot();

    // Press the button in the middle of its ink.
    const std::optional<QPoint> take = pillCentre(shot, buttonArea, ink);
    QVERIFY(take);
    desktop.click(*take);
    QVERIFY(isListening(desktop.waitForStatus(isListening, shortWait)));
    QVERIFY(!desktop.waitForWindow(isThePrompt, 0));

    // The tray icon carries the recording dot while listening, and not after.
    QVERIFY2(until([&] { return pixelsNear(desktop.screenshot().copy(tray->frame), tomato, 40) > 4; }, shortWait),
             "no recording dot on the tray icon while listening");
    const QString stopped = desktop.command(u"stop"_s);
    // Nothing was said into the silent microphone: the stop says so.
    QVERIFY2(stopped.contains(u"Nothing to save — no words were heard."_s), qPrintable(stopped));
    QVERIFY2(until([&] { return pixelsNear(desktop.screenshot().copy(tray->frame), tomato, 40) == 0; }, shortWait),
             "the recording dot stayed on the tray icon after stop");
    desktop.stopRecordingProgram();
}

// The preview images of the live panel and the prompt.
void TestEndToEnd::previewsAreWrittenAtTheirSizes()
{
    ThrowawayDesktop desktop;
    const QString out = desktop.scratch() + u"/previews"_s;
    QCOMPARE(desktop.renderPreviews(out), 0);
    const QList<QPair<QString, QSize>> expected{
        {u"1-capsule-listening.png"_s, {248, 144}}, {u"2-capsule-paused.png"_s, {248, 144}},
        {u"3-compact.png"_s, {704, 360}},           {u"4-expanded.png"_s, {824, 744}},
        {u"5-saved.png"_s, {704, 360}},             {u"6-popup.png"_s, {}},
        {u"7-transcript-only.png"_s, {824, 744}},
    };
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), expected.size());
    for (const auto &[name, size] : expected) {
        const QImage image(out + u'/' + name);
        QVERIFY2(!image.isNull(), qPrintable(name));
        if (size.isValid())
            QCOMPARE(image.size(), size);
    }
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
