#include "translator.h"

#include <QProcess>

namespace {
constexpr int translationTimeoutMs = 15000;
}

Translator::Translator(const QString &program, QObject *parent)
    : QObject(parent)
    , m_program(program)
{
}

bool Translator::canTranslateInto(const QString &language)
{
    return language == QLatin1StringView("es");
}

void Translator::translate(const QString &text, qint64 startMs, qint64 endMs)
{
    if (text.trimmed().isEmpty())
        return;
    QProcess process;
    // -u leaves unknown words unmarked instead of prefixing them with "*".
    process.start(m_program, {QStringLiteral("-u"), QStringLiteral("eng-spa")});
    if (!process.waitForStarted(translationTimeoutMs))
        return;
    process.write(text.toUtf8());
    process.write("\n");
    process.closeWriteChannel();
    if (!process.waitForFinished(translationTimeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return;
    const QString result = QString::fromUtf8(process.readAllStandardOutput()).simplified();
    if (!result.isEmpty())
        Q_EMIT translated(result, startMs, endMs);
}
