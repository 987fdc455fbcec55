#include "translator.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QThread>

Q_LOGGING_CATEGORY(lcTranslator, "zarno.server.translator")

namespace {

constexpr int translationTimeoutMs = 5000;
constexpr int startTimeoutMs = 5000;
// Characters that carry meaning in Apertium's stream format.
constexpr QStringView specialCharacters = u"\\^$@[]{}<>/";

// The pair's pipeline with every stage in null-flush mode: each stage answers
// a NUL by flushing what it has, so a request is complete when a NUL comes
// back. The word-blank helpers are left out: plain text has none.
QString nullFlushPipeline(const QString &modeFile)
{
    QFile file(modeFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QStringList stages = QString::fromUtf8(file.readAll()).trimmed().split(QLatin1Char('|'));
    QStringList flushed;
    for (QString stage : stages) {
        stage = stage.trimmed();
        if (stage.isEmpty())
            return {};
        // Some stages take no arguments at all.
        const qsizetype programEnd = stage.indexOf(QLatin1Char(' '));
        const qsizetype split = programEnd < 0 ? stage.size() : programEnd;
        flushed.append(stage.left(split) + QStringLiteral(" -z") + stage.mid(split));
    }
    return flushed.join(QStringLiteral(" | "));
}

} // namespace

Translator::Translator(const QString &modeFile, QObject *parent)
    : QObject(parent)
    , m_modeFile(modeFile)
{
}

Translator::~Translator()
{
    stopPipeline();
}

bool Translator::canTranslateInto(const QString &language)
{
    return language == QLatin1StringView("es");
}

QByteArray Translator::escaped(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        // A NUL would end the request early; control characters mean nothing here.
        if (c.unicode() < 0x20) {
            out.append(QLatin1Char(' '));
            continue;
        }
        if (specialCharacters.contains(c))
            out.append(QLatin1Char('\\'));
        out.append(c);
    }
    return out.toUtf8();
}

QString Translator::unescaped(const QByteArray &stream)
{
    const QString text = QString::fromUtf8(stream);
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size())
            ++i;
        out.append(text.at(i));
    }
    return out.simplified();
}

void Translator::warmUp()
{
    ensureRunning();
}

bool Translator::ensureRunning()
{
    if (m_process && m_process->state() == QProcess::Running)
        return true;
    stopPipeline();
    const QString pipeline = nullFlushPipeline(m_modeFile);
    if (pipeline.isEmpty()) {
        qCWarning(lcTranslator, "the translation pipeline %s cannot be read", qUtf8Printable(m_modeFile));
        return false;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setStandardErrorFile(QProcess::nullDevice());
    // "$1" is the generator's option: -n leaves unknown words unmarked.
    m_process->start(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"), pipeline, QStringLiteral("zarno-translator"), QStringLiteral("-n")});
    if (!m_process->waitForStarted(startTimeoutMs)) {
        qCWarning(lcTranslator, "the translation pipeline did not start");
        stopPipeline();
        return false;
    }
    return true;
}

void Translator::stopPipeline()
{
    if (!m_process)
        return;
    m_process->closeWriteChannel();
    if (!m_process->waitForFinished(500)) {
        m_process->kill();
        m_process->waitForFinished(1000);
    }
    m_process.reset();
}

void Translator::translate(quint64 ticket, const QString &text)
{
    if (text.trimmed().isEmpty() || !ensureRunning()) {
        Q_EMIT translated(ticket, QString());
        return;
    }
    // The trailing blank lets the analyser finish the last word and its full stop.
    m_process->write(escaped(text) + ' ' + '\0');
    QByteArray answer;
    const QDeadlineTimer deadline(translationTimeoutMs);
    while (!answer.contains('\0')) {
        if (!m_process->bytesAvailable() && !m_process->waitForReadyRead(int(deadline.remainingTime()))) {
            // A stuck or dead pipeline is started afresh for the next request.
            qCWarning(lcTranslator, "the translation pipeline stopped answering; restarting it");
            stopPipeline();
            Q_EMIT translated(ticket, QString());
            return;
        }
        answer += m_process->readAll();
    }
    const qsizetype end = answer.indexOf('\0');
    // Anything after the NUL belongs to no request; the stream is line-aligned again.
    Q_EMIT translated(ticket, unescaped(answer.left(end)));
}

TranslationHost::TranslationHost(const QString &modeFile)
{
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("translator"));
    m_translator = new Translator(modeFile);
    m_translator->moveToThread(m_thread);
    m_thread->start();
    QMetaObject::invokeMethod(m_translator, &Translator::warmUp, Qt::QueuedConnection);
}

TranslationHost::~TranslationHost()
{
    // The pipeline is stopped on its own thread, after any request in flight.
    QMetaObject::invokeMethod(
        m_translator, [translator = m_translator] { delete translator; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}
