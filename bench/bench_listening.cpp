// What listening costs: the real zarno on a private desktop, sound server and
// local service, against a bare pipe (parec | bench_ws_sender) capturing the
// same virtual microphone and sending to the same service at the same time.
// CPU time comes from /proc (per thread), over windows of wall time:
//
//   1. idle in the tray, main window open              (median of 3 windows)
//   2. listening to silence, panel expanded            -> cost above idle, and the
//                                                         pipe's on the same silence
//   3. speech, each way                                -> zarno, pipe, ratio
//      a short phrase (goforward.raw, 1.5 s of silence, again) or continuous
//      speech (the librivox recordings back to back, as in a meeting); into
//      the microphone alone, or both sides of a call: the same kind of speech
//      played to the speakers too, which zarno (its switch on) records,
//      cancels out of the microphone and mixes, and the pipe records with a
//      second parec into the same sender
//
//   build/bench/bench_listening [--window SECONDS]      (default 20)
//                               [--linger SECONDS]      keep speaking afterwards, to trace
//                                                       the running zarno by hand
//                               [--continuous]          continuous speech only
#include "../tests/e2e/throwawaydesktop.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString goForward = u"/usr/share/pocketsphinx/test/data/goforward.raw"_s;
const QString librivox = u"/usr/share/pocketsphinx/test/data/librivox"_s;

QByteArray readProc(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Fields of /proc/PID/stat after the command name (field 3 onwards).
QList<QByteArray> statFields(qint64 pid)
{
    const QByteArray stat = readProc(u"/proc/%1/stat"_s.arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : stat.mid(close + 2).split(' ');
}

// CPU time of each thread of a process in nanoseconds (schedstat), by thread id.
struct Threads
{
    QMap<qint64, qint64> ns;
    QMap<qint64, QString> names;
};

Threads threadsOf(qint64 pid)
{
    Threads threads;
    const QString base = u"/proc/%1/task"_s.arg(pid);
    for (const QString &tid : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray sched = readProc(base + u'/' + tid + u"/schedstat"_s);
        if (sched.isEmpty())
            continue;
        threads.ns.insert(tid.toLongLong(), sched.split(' ').value(0).toLongLong());
        threads.names.insert(tid.toLongLong(), QString::fromUtf8(readProc(base + u'/' + tid + u"/comm"_s)).trimmed());
    }
    return threads;
}

qint64 total(const Threads &threads)
{
    qint64 sum = 0;
    for (qint64 ns : threads.ns)
        sum += ns;
    return sum;
}

// CPU spent between two readings, per thread name; a thread born in between counts whole.
QMap<QString, qint64> spentByName(const Threads &before, const Threads &after)
{
    QMap<QString, qint64> spent;
    for (auto it = after.ns.cbegin(); it != after.ns.cend(); ++it)
        spent[after.names.value(it.key())] += it.value() - before.ns.value(it.key(), 0);
    return spent;
}

// The zarno this process launched, and the helpers in its process group.
qint64 findZarno()
{
    const QString binary = QFileInfo(QStringLiteral(ZARNO_APP_BINARY)).canonicalFilePath();
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        if (QFileInfo(u"/proc/%1/exe"_s.arg(pid)).canonicalFilePath() == binary
            && statFields(pid).value(1).toLongLong() == ::getpid())
            return pid;
    }
    return 0;
}

QList<qint64> groupHelpers(qint64 leader)
{
    QList<qint64> helpers;
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok && pid != leader && statFields(pid).value(2).toLongLong() == leader)
            helpers.append(pid);
    }
    return helpers;
}

qint64 processesNs(const QList<qint64> &pids)
{
    qint64 sum = 0;
    for (qint64 pid : pids)
        sum += total(threadsOf(pid));
    return sum;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// A second account's token, for the pipe (one listener per account).
QString signIn(const QString &service, const QString &email)
{
    QNetworkAccessManager network;
    auto call = [&](QNetworkRequest request, const QByteArray &method, const QByteArray &body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, method, body));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
        return QJsonDocument::fromJson(reply->readAll()).object();
    };
    const QString key = call(QNetworkRequest(QUrl(service + u"/api/auth/config"_s)), "GET", {})
                            .value(u"supabaseAnonKey"_s)
                            .toString();
    QNetworkRequest grant(QUrl(service + u"/auth/v1/token?grant_type=password"_s));
    grant.setRawHeader("apikey", key.toUtf8());
    const QByteArray body =
        QJsonDocument(QJsonObject{{u"email"_s, email}, {u"password"_s, u"bench password 1"_s}}).toJson();
    return call(grant, "POST", body).value(u"access_token"_s).toString();
}

struct Window
{
    double zarno = 0;   // % of a core, the zarno process
    double helpers = 0; // its web engine helpers
    double pipe = 0;    // parec and the sender
    QMap<QString, qint64> threads;
    qint64 wallNs = 0;
};

Window measure(qint64 zarno, const QList<qint64> &pipe, int seconds)
{
    const QList<qint64> helpers = groupHelpers(zarno);
    const Threads before = threadsOf(zarno);
    const qint64 helpersBefore = processesNs(helpers), pipeBefore = processesNs(pipe);
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(seconds * 1000);
    const Threads after = threadsOf(zarno);
    Window w;
    w.wallNs = wall.nsecsElapsed();
    const double core = double(w.wallNs) / 100.0; // ns of one core per percent
    w.threads = spentByName(before, after);
    qint64 spent = 0;
    for (qint64 ns : w.threads)
        spent += ns;
    w.zarno = double(spent) / core;
    w.helpers = double(processesNs(helpers) - helpersBefore) / core;
    w.pipe = double(processesNs(pipe) - pipeBefore) / core;
    return w;
}

void printThreads(const std::vector<Window> &windows)
{
    QMap<QString, qint64> spent;
    qint64 wall = 0;
    for (const Window &w : windows) {
        for (auto it = w.threads.cbegin(); it != w.threads.cend(); ++it)
            spent[it.key()] += it.value();
        wall += w.wallNs;
    }
    QList<QPair<qint64, QString>> order;
    for (auto it = spent.cbegin(); it != spent.cend(); ++it)
        order.append({it.value(), it.key()});
    std::sort(order.begin(), order.end(), std::greater<>());
    std::printf("  threads:");
    for (qsizetype i = 0; i < std::min<qsizetype>(order.size(), 6); ++i)
        std::printf(" %s %.3f%%", qPrintable(order[i].second), 100.0 * double(order[i].first) / double(wall));
    std::printf("\n");
}

int fail(const QString &why)
{
    std::fprintf(stderr, "bench_listening: %s\n", qPrintable(why));
    return 1;
}

// `seconds` of speech of one kind, raw 16 kHz mono s16, starting `rotate`
// of the way into it, so the two sides do not speak the same words at once.
QByteArray speechOf(bool continuous, int seconds, double rotate)
{
    QByteArray once;
    if (continuous) {
        for (const QString &name : QDir(librivox).entryList({u"*.wav"_s}, QDir::Files, QDir::Name))
            once += readProc(librivox + u'/' + name).mid(44) + QByteArray(16000, '\0');
    } else {
        once = readProc(goForward) + QByteArray(48000, '\0');
    }
    if (once.isEmpty())
        return {};
    const qsizetype start = qsizetype(double(once.size() / 2) * rotate) * 2;
    QByteArray speech;
    while (speech.size() < qsizetype(seconds) * 32000 + start)
        speech += once;
    return speech.mid(start);
}

// The bare pipe: parec of the microphone into bench_ws_sender, and with both
// sides a second parec of the speakers' monitor into the same sender.
class BarePipe
{
public:
    ~BarePipe() { stop(); }

    bool start(QProcessEnvironment env, const QString &pulse, const QString &url, const QString &token, bool both,
               const QString &fifo)
    {
        env.insert(u"PULSE_SERVER"_s, u"unix:"_s + pulse);
        m_mic.setProcessEnvironment(env);
        m_system.setProcessEnvironment(env);
        env.insert(u"ZARNO_BENCH_TOKEN"_s, token);
        m_sender.setProcessEnvironment(env);
        m_mic.setStandardOutputProcess(&m_sender);
        m_sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{url};
        if (both) {
            ::unlink(qPrintable(fifo));
            if (::mkfifo(qPrintable(fifo), 0600) != 0)
                return false;
            arguments << fifo;
            m_system.setStandardOutputFile(fifo);
        }
        m_sender.start(QCoreApplication::applicationDirPath() + u"/bench_ws_sender"_s, arguments);
        m_mic.start(u"parec"_s, recording(u"virtmic"_s));
        if (both)
            m_system.start(u"parec"_s, recording(u"speakers.monitor"_s));
        return m_sender.waitForStarted() && m_mic.waitForStarted() && (!both || m_system.waitForStarted());
    }
    [[nodiscard]] QList<qint64> pids() const
    {
        QList<qint64> pids{m_mic.processId(), m_sender.processId()};
        if (m_system.state() == QProcess::Running)
            pids << m_system.processId();
        return pids;
    }
    [[nodiscard]] bool running() const { return m_sender.state() == QProcess::Running; }
    void stop()
    {
        for (QProcess *process : {&m_mic, &m_system, &m_sender}) {
            process->kill();
            process->waitForFinished();
        }
    }

private:
    static QStringList recording(const QString &source)
    {
        return {u"--raw"_s, u"--format=s16le"_s, u"--rate=16000"_s, u"--channels=1"_s, u"-d"_s, source,
                u"--latency-msec=85"_s};
    }

    QProcess m_mic, m_system, m_sender;
};

struct Setup
{
    ThrowawayDesktop *desktop = nullptr;
    qint64 zarno = 0;
    QString socketUrl, token;
    int seconds = 20;
    int windows = 3;
};

struct Figures
{
    double zarno = 0, pipe = 0, ratio = 0;
};

// One way of speaking: zarno's switch set and a new leg begun, the pipe and
// the players started, then the windows measured.
std::optional<Figures> speakingRound(Setup &setup, bool continuous, bool both, int extraSeconds)
{
    ThrowawayDesktop &desktop = *setup.desktop;
    const QString name = u"%1, %2"_s.arg(continuous ? u"continuous speech"_s : u"short phrase"_s,
                                          both ? u"both sides"_s : u"microphone only"_s);
    desktop.setZarnoSetting(u"includeCallSound"_s, both ? u"true"_s : u"false"_s);
    desktop.command(u"pause"_s);
    if (!desktop.command(u"resume"_s).startsWith(u"Listening"_s))
        return std::nullopt;
    const int length = setup.windows * setup.seconds + extraSeconds + 15;
    const QString micFile = desktop.scratch() + u"/mic.raw"_s, speakersFile = desktop.scratch() + u"/speakers.raw"_s;
    for (const auto &[file, rotate] : {std::pair{micFile, 0.0}, std::pair{speakersFile, 0.5}}) {
        QFile out(file);
        const QByteArray speech = speechOf(continuous, length, rotate);
        if (speech.isEmpty() || !out.open(QIODevice::WriteOnly) || out.write(speech) != speech.size())
            return std::nullopt;
    }
    BarePipe pipe;
    const QString pulse = desktop.scratch() + u"/pulse/run/native"_s;
    if (!pipe.start(desktop.environment(), pulse, setup.socketUrl, setup.token, both, desktop.scratch() + u"/system.fifo"_s))
        return std::nullopt;
    Child speakers;
    if (!desktop.startSpeaking(micFile)
        || (both
            && !speakers.start(u"paplay"_s,
                               {u"--raw"_s, u"--rate=16000"_s, u"--channels=1"_s, u"--format=s16le"_s, u"-d"_s,
                                u"speakers"_s, speakersFile},
                               desktop.environment())))
        return std::nullopt;
    QTest::qWait(5000);
    if (!pipe.running())
        return std::nullopt;
    std::vector<Window> speaking;
    std::vector<double> ratios, zarnoShares, pipeShares;
    for (int i = 0; i < setup.windows; ++i) {
        const Window w = measure(setup.zarno, pipe.pids(), setup.seconds);
        speaking.push_back(w);
        ratios.push_back(w.zarno / w.pipe);
        zarnoShares.push_back(w.zarno);
        pipeShares.push_back(w.pipe);
        std::printf("%s, window %d: zarno %.3f %%, pipe %.3f %%, ratio %.2f (web helpers %.3f %%)\n",
                    qPrintable(name), i + 1, w.zarno, w.pipe, w.zarno / w.pipe, w.helpers);
        std::fflush(stdout);
    }
    printThreads(speaking);
    const Figures figures{median(zarnoShares), median(pipeShares), median(ratios)};
    const bool listening = desktop.command(u"status"_s).startsWith(u"Listening"_s);
    std::printf("%s: zarno %.3f %% of a core, pipe %.3f %%, ratio %.2f (median of %d; goal <= 1.5)%s\n",
                qPrintable(name), figures.zarno, figures.pipe, figures.ratio, setup.windows,
                listening ? "" : " — zarno stopped listening");
    std::fflush(stdout);
    if (extraSeconds > 0) {
        std::printf("lingering %d s: zarno pid %lld\n", extraSeconds, static_cast<long long>(setup.zarno));
        std::fflush(stdout);
        QTest::qWait(extraSeconds * 1000);
    }
    return figures;
}

// Idle in the tray, then listening to silence (the microphone alone, beside
// the pipe on the same silence).
bool restingRounds(Setup &setup)
{
    ThrowawayDesktop &desktop = *setup.desktop;
    std::vector<Window> resting;
    std::vector<double> idle;
    for (int i = 0; i < setup.windows; ++i) {
        resting.push_back(measure(setup.zarno, {}, setup.seconds));
        idle.push_back(resting.back().zarno);
    }
    std::printf("idle (tray, main window open): %.3f %% of a core\n", median(idle));
    printThreads(resting);
    std::fflush(stdout);

    BarePipe pipe;
    if (!pipe.start(desktop.environment(), desktop.scratch() + u"/pulse/run/native"_s, setup.socketUrl, setup.token,
                    false, {}))
        return false;
    if (!desktop.command(u"start"_s).startsWith(u"Listening"_s))
        return false;
    desktop.command(u"show"_s);
    QTest::qWait(4000);
    std::vector<Window> silence;
    std::vector<double> silent, pipeSilent;
    for (int i = 0; i < setup.windows; ++i) {
        silence.push_back(measure(setup.zarno, pipe.pids(), setup.seconds));
        silent.push_back(silence.back().zarno);
        pipeSilent.push_back(silence.back().pipe);
    }
    std::printf("listening to silence, panel expanded: %.3f %% -> %.3f %% of a core above idle (goal <= 0.2); "
                "the pipe %.3f %%\n",
                median(silent), median(silent) - median(idle), median(pipeSilent));
    printThreads(silence);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Setup setup;
    const QStringList args = QCoreApplication::arguments();
    if (const qsizetype at = args.indexOf(u"--window"_s); at >= 0 && at + 1 < args.size())
        setup.seconds = std::max(5, args.at(at + 1).toInt());
    int linger = 0;
    if (const qsizetype at = args.indexOf(u"--linger"_s); at >= 0 && at + 1 < args.size())
        linger = std::max(0, args.at(at + 1).toInt());

    ThrowawayDesktop desktop;
    setup.desktop = &desktop;
    QString why;
    bool lacks = false;
    if (!desktop.setUp(false, &why, &lacks))
        return fail(why);
    // The microphone alone until a round says otherwise.
    desktop.setZarnoSetting(u"includeCallSound"_s, u"false"_s);
    if (!desktop.signInOverHttp(u"bench@example.org"_s, u"bench password 1"_s) || !desktop.writeSignInForZarno()
        || !desktop.launchZarno())
        return fail(u"zarno did not start: "_s + desktop.logTail(u"zarno.log"_s));
    setup.zarno = findZarno();
    if (setup.zarno <= 0)
        return fail(u"cannot find the zarno process"_s);
    std::printf("zarno pid %lld, windows of %d s, median of %d\n", static_cast<long long>(setup.zarno), setup.seconds,
                setup.windows);
    std::fflush(stdout);
    QTest::qWait(8000); // the main window and its page settle

    // The bare pipe, on the same microphone and service, with its own account.
    setup.token = signIn(desktop.serviceURL(), u"pipe@example.org"_s);
    if (setup.token.isEmpty())
        return fail(u"the pipe's account could not sign in"_s);
    setup.socketUrl = desktop.serviceURL() + u"/ws/transcribe"_s;
    setup.socketUrl.replace(u"http://"_s, u"ws://"_s);
    if (!restingRounds(setup))
        return fail(u"the pipe or zarno did not start listening: "_s + desktop.logTail(u"zarno.log"_s));

    QStringList summary;
    const bool continuousOnly = args.contains(u"--continuous"_s);
    for (const bool continuous : {false, true}) {
        if (continuousOnly && !continuous)
            continue;
        for (const bool both : {false, true}) {
            const bool last = continuous && both;
            const std::optional<Figures> figures = speakingRound(setup, continuous, both, last ? linger : 0);
            if (!figures)
                return fail(u"a round did not run (speech files, players or the pipe): "_s
                            + desktop.logTail(u"zarno.log"_s));
            summary << u"  %1 %2: ratio %3"_s.arg(continuous ? u"continuous"_s : u"phrase    "_s,
                                                  both ? u"both sides"_s : u"mic only  "_s)
                           .arg(figures->ratio, 0, 'f', 2);
        }
    }
    std::printf("zarno against the bare pipe (goal <= 1.5 in continuous speech):\n%s\n", qPrintable(summary.join(u'\n')));
    return 0;
}
