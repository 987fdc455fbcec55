#include "engine.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

namespace {

constexpr qint64 maxKeyFileBytes = 4096;

QJsonArray toArray(const QStringList &codes)
{
    QJsonArray array;
    for (const QString &code : codes)
        array.append(code);
    return array;
}

} // namespace

QJsonObject EngineInfo::toJson() const
{
    return {
        {QStringLiteral("name"), name},
        {QStringLiteral("sourceLanguages"), toArray(sourceLanguages)},
        {QStringLiteral("translationTargets"), toArray(translationTargets)},
    };
}

EngineInfo EngineInfo::local()
{
    return {QStringLiteral("local"), {QStringLiteral("en")}, {QStringLiteral("es")}};
}

EngineInfo EngineInfo::soniox()
{
    // The languages of the provider's current model, as its documentation lists them.
    static const QStringList spoken = QStringLiteral(
        "af sq ar az eu be bn bs bg ca zh hr cs da nl en et fi fr gl de el gu he hi hu id it ja kn kk ko lv lt "
        "mk ms ml mr no fa pl pt pa ro ru sr sk sl es sw sv tl ta te th tr uk ur vi cy").split(QLatin1Char(' '));
    // The application's eight targets; the provider translates into all of them.
    static const QStringList targets = {QStringLiteral("en"), QStringLiteral("zh"), QStringLiteral("es"),
                                        QStringLiteral("ja"), QStringLiteral("ko"), QStringLiteral("fr"),
                                        QStringLiteral("de"), QStringLiteral("pt")};
    return {QStringLiteral("soniox"), spoken, targets};
}

SonioxKey loadSonioxKey(const QString &keyFile, const QByteArray &environmentValue)
{
    SonioxKey result;
    if (keyFile.isEmpty()) {
        result.key = QString::fromUtf8(environmentValue).trimmed();
        return result;
    }
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("The key file %1 cannot be read.").arg(keyFile);
        return result;
    }
    if (file.size() > maxKeyFileBytes) {
        result.error = QStringLiteral("The key file %1 is too large to hold a key.").arg(keyFile);
        return result;
    }
    // The first line is the key; editors often add a newline after it.
    const QByteArray content = file.read(maxKeyFileBytes);
    result.key = QString::fromUtf8(content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n')))
                     .trimmed();
    if (result.key.isEmpty())
        result.error = QStringLiteral("The key file %1 is empty.").arg(keyFile);
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (QFileInfo(keyFile).permissions() & others)
        result.warning = QStringLiteral("The key file %1 is readable by other users; chmod 600 it.").arg(keyFile);
    return result;
}

QString ListeningConnection::overloadedReason()
{
    return QStringLiteral("The server is overloaded — try again in a moment.");
}
