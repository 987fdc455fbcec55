#include "serveroffer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject engineOf(const QByteArray &configJson)
{
    return QJsonDocument::fromJson(configJson).object().value(QStringLiteral("engine")).toObject();
}

std::optional<QStringList> codesAt(const QByteArray &configJson, const QString &key)
{
    const QJsonValue list = engineOf(configJson).value(key);
    if (!list.isArray())
        return std::nullopt;
    QStringList codes;
    for (const QJsonValue &code : list.toArray()) {
        // One unreadable entry makes the whole list unreliable.
        if (!code.isString())
            return std::nullopt;
        codes.append(code.toString());
    }
    return codes;
}

} // namespace

namespace ServerOffer {

std::optional<QStringList> translationTargets(const QByteArray &configJson)
{
    return codesAt(configJson, QStringLiteral("translationTargets"));
}

std::optional<QStringList> sourceLanguages(const QByteArray &configJson)
{
    return codesAt(configJson, QStringLiteral("sourceLanguages"));
}

QString engineName(const QByteArray &configJson)
{
    return engineOf(configJson).value(QStringLiteral("name")).toString();
}

bool isConfiguration(const QByteArray &configJson)
{
    const QJsonObject config = QJsonDocument::fromJson(configJson).object();
    return config.value(QStringLiteral("supabaseUrl")).isString()
        && config.value(QStringLiteral("supabaseAnonKey")).isString();
}

bool offers(const std::optional<QStringList> &targets, const QString &code)
{
    return !targets || targets->contains(code);
}

} // namespace ServerOffer
