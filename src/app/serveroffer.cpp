#include "serveroffer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace ServerOffer {

std::optional<QStringList> translationTargets(const QByteArray &configJson)
{
    const QJsonValue engine = QJsonDocument::fromJson(configJson).object().value(QStringLiteral("engine"));
    const QJsonValue targets = engine.toObject().value(QStringLiteral("translationTargets"));
    if (!targets.isArray())
        return std::nullopt;
    QStringList codes;
    for (const QJsonValue &code : targets.toArray()) {
        // One unreadable entry makes the whole list unreliable.
        if (!code.isString())
            return std::nullopt;
        codes.append(code.toString());
    }
    return codes;
}

bool offers(const std::optional<QStringList> &targets, const QString &code)
{
    return !targets || targets->contains(code);
}

} // namespace ServerOffer
