// Both sides of a call as a person has them: the user's microphone, and the
// others coming out of the computer's speakers (a null sink, the default
// output of the throw-away desktop's sound server). The notes say which
// side each line was heard on.

#include "scenariosetup.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr int bytesPerMs = 32; // the recordings are 16 kHz mono s16
// Long enough for the recogniser to close the utterance and send its words.
constexpr int afterSpeechMs = 3000;

QByteArray readRaw(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The same sound `db` quieter and `delayMs` later, as a microphone picks up speakers.
QByteArray echoOf(const QByteArray &pcm, double db, int delayMs)
{
    QByteArray echo(delayMs * bytesPerMs, '\0');
    const double gain = std::pow(10.0, -db / 20.0);
    for (qsizetype i = 0; i + 1 < pcm.size(); i += 2) {
        const qint16 sample = qint16(quint8(pcm[i]) | (quint8(pcm[i + 1]) << 8));
        const auto scaled = qint16(std::lround(sample * gain));
        echo.append(char(scaled & 0xff)).append(char((scaled >> 8) & 0xff));
    }
    return echo;
}

QByteArray wav(const QByteArray &pcm)
{
    QByteArray header;
    const auto u32 = [&header](quint32 v) { for (int i = 0; i < 4; ++i) header.append(char((v >> (8 * i)) & 0xff)); };
    const auto u16 = [&header](quint16 v) { header.append(char(v & 0xff)).append(char(v >> 8)); };
    header += "RIFF";
    u32(quint32(36 + pcm.size()));
    header += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(1);
    u32(16000);
    u32(16000 * 2);
    u16(2);
    u16(16);
    header += "data";
    u32(quint32(pcm.size()));
    return header + pcm;
}

// Plays each clip into its sink at once, gap-free (the sound server holds
// them as samples), and waits until the longest is over and its words are in.
bool playTogether(ThrowawayDesktop &desktop, const QList<std::pair<QString, QByteArray>> &clips)
{
    const auto pactl = [&desktop](const QStringList &arguments) {
        QProcess process;
        process.setProcessEnvironment(desktop.environment());
        process.start(u"pactl"_s, arguments);
        return process.waitForFinished(10000) && process.exitCode() == 0;
    };
    static int uploads = 0;
    QStringList names;
    qsizetype longest = 0;
    for (const auto &[sink, pcm] : clips) {
        const QString path = desktop.scratch() + u"/clip%1.wav"_s.arg(++uploads);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(wav(pcm)) < 0)
            return false;
        file.close();
        names << u"clip%1"_s.arg(uploads);
        if (!pactl({u"upload-sample"_s, path, names.last()}))
            return false;
        longest = std::max(longest, pcm.size());
    }
    for (qsizetype i = 0; i < clips.size(); ++i) {
        if (!pactl({u"play-sample"_s, names.at(i), clips.at(i).first}))
            return false;
    }
    QTest::qWait(int(longest / bytesPerMs) + afterSpeechMs);
    return true;
}

// The saved lines that hold words, each as "side: text".
QStringList heardLines(ThrowawayDesktop &desktop)
{
    const QJsonArray notes = desktop.storedNotes();
    if (notes.size() != 1)
        return {u"%1 notes"_s.arg(notes.size())};
    QStringList lines;
    const QJsonObject note = desktop.storedNote(notes.first().toObject().value(u"id"_s).toString());
    for (const QJsonValue &value : note.value(u"entries"_s).toArray()) {
        const QJsonObject entry = value.toObject();
        if (!entry.value(u"translated"_s).toBool())
            lines << entry.value(u"source"_s).toString() + u": "_s + entry.value(u"text"_s).toString();
    }
    return lines;
}

} // namespace

class TestCallSides : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_desktop = std::make_unique<ThrowawayDesktop>(); }
    void cleanup();
    void microphoneAndSpeakersAreSavedAsTheirSides();
    void echoOfTheSpeakersIsSavedOnceAsTheCall();

private:
    // Signed in and listening, with the speakers' monitor already heard.
    bool startListening();
    // Stops, and reads the saved lines back; a failure says what zarno answered.
    QStringList stopAndRead(QString *failure);

    std::unique_ptr<ThrowawayDesktop> m_desktop;
};

void TestCallSides::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning().noquote() << "zarno:" << m_desktop->logTail(u"zarno.log"_s) << "service:"
                             << m_desktop->logTail(u"service.log"_s);
    m_desktop.reset();
}

bool TestCallSides::startListening()
{
    if (!launchSignedIn(*m_desktop) || !m_desktop->command(u"start"_s).startsWith(u"Listening"_s))
        return false;
    // A new record stream of a null sink's monitor hears sound about two seconds after it starts.
    QTest::qWait(3000);
    return true;
}

QStringList TestCallSides::stopAndRead(QString *failure)
{
    const QString stopped = m_desktop->command(u"stop"_s);
    if (!stopped.contains(u"✓ Notes saved"_s)) {
        *failure = stopped;
        return {};
    }
    const QStringList lines = heardLines(*m_desktop);
    *failure = lines.join(u" | "_s);
    return lines;
}

// The others speak from the speakers, then the user answers into the
// microphone: both are saved, each marked with its side, and the live panel
// names them.
void TestCallSides::microphoneAndSpeakersAreSavedAsTheirSides()
{
    if (!bringUp(*m_desktop))
        return;
    QVERIFY(startListening());
    QVERIFY(playTogether(*m_desktop, {{u"speakers"_s, readRaw(goForward)}}));
    QVERIFY(playTogether(*m_desktop, {{u"mic48"_s, readRaw(numbers)}}));
    if (const std::optional<WindowInfo> panel = m_desktop->waitForWindow(isTheLivePanel, 10000))
        m_desktop->screenshot().copy(panel->frame).save(outputDir() + u"/live-panel-speakers.png"_s);

    QString said;
    const QStringList lines = stopAndRead(&said);
    const QStringList theirs = lines.filter(u"forward"_s, Qt::CaseInsensitive);
    QVERIFY2(theirs.size() == 1 && theirs.first().startsWith(u"system: "_s), qPrintable(said));
    const QStringList mine = lines.filter(QRegularExpression(u"^mic: "_s));
    QVERIFY2(!mine.isEmpty() && mine.filter(u"forward"_s, Qt::CaseInsensitive).isEmpty(), qPrintable(said));
}

// The speakers' sound reaches the microphone too, 12 dB quieter and 40 ms
// late: its words are saved once, as the call's, not again as the user's.
void TestCallSides::echoOfTheSpeakersIsSavedOnceAsTheCall()
{
    if (!bringUp(*m_desktop))
        return;
    QVERIFY(startListening());
    const QByteArray speech = readRaw(goForward);
    QVERIFY(playTogether(*m_desktop, {{u"speakers"_s, speech}, {u"mic48"_s, echoOf(speech, 12, 40)}}));

    QString said;
    const QStringList lines = stopAndRead(&said);
    QVERIFY2(int(said.toLower().count(u"forward"_s)) == 1, qPrintable(said));
    QVERIFY2(lines.filter(QRegularExpression(u"^system: "_s)).size() == lines.size(), qPrintable(said));
}

QTEST_MAIN(TestCallSides)
#include "tst_callsides.moc"
