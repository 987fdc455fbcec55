#include "sonioxmessage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringDecoder>

#include <cmath>

namespace {

// Each reader leaves `out` absent for a missing key or JSON null and returns
// false when the key holds a value of the wrong type.
bool readString(const QJsonObject &object, QLatin1StringView key, std::optional<QString> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

bool readBool(const QJsonObject &object, QLatin1StringView key, std::optional<bool> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isBool())
        return false;
    out = value.toBool();
    return true;
}

// An integral number that fits in 64 bits: 401 and 4.01e2 pass, 1.5 and 1e19 do not.
bool readInt64(const QJsonObject &object, QLatin1StringView key, std::optional<qint64> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isDouble())
        return false;
    const QVariant number = value.toVariant();
    if (number.typeId() == QMetaType::LongLong) {
        out = number.toLongLong();
        return true;
    }
    const double d = value.toDouble();
    // 2^63 is exactly representable; every double below it and at or above -2^63 fits.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(d) || d != std::trunc(d) || d < -limit || d >= limit)
        return false;
    out = static_cast<qint64>(d);
    return true;
}

// A key that only adds detail: a value of the wrong type is left out.
std::optional<qint64> lenientInt(const QJsonObject &object, QLatin1StringView key)
{
    std::optional<qint64> out;
    return readInt64(object, key, out) ? out : std::nullopt;
}

std::optional<QString> lenientString(const QJsonObject &object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toInteger());
    return std::nullopt;
}

std::optional<SonioxToken> decodeToken(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const QJsonValue text = object.value(QLatin1StringView("text"));
    if (!text.isString())
        return std::nullopt;
    SonioxToken token;
    token.text = text.toString();
    if (!readBool(object, QLatin1StringView("is_final"), token.is_final)
        || !readString(object, QLatin1StringView("language"), token.language)
        || !readString(object, QLatin1StringView("translation_status"), token.translation_status))
        return std::nullopt;
    token.start_ms = lenientInt(object, QLatin1StringView("start_ms"));
    token.end_ms = lenientInt(object, QLatin1StringView("end_ms"));
    token.speaker = lenientString(object, QLatin1StringView("speaker"));
    return token;
}

} // namespace

std::optional<SonioxMessage> SonioxMessage::decode(const QByteArray &utf8Json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(utf8Json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    SonioxMessage message;
    const QJsonValue tokens = object.value(QLatin1StringView("tokens"));
    if (!tokens.isUndefined() && !tokens.isNull()) {
        if (!tokens.isArray())
            return std::nullopt;
        const QJsonArray array = tokens.toArray();
        QList<SonioxToken> decoded;
        decoded.reserve(array.size());
        for (const QJsonValue &item : array) {
            std::optional<SonioxToken> token = decodeToken(item);
            if (!token)
                return std::nullopt;
            decoded.append(std::move(*token));
        }
        message.tokens = std::move(decoded);
    }
    if (!readInt64(object, QLatin1StringView("error_code"), message.error_code)
        || !readString(object, QLatin1StringView("error_message"), message.error_message)
        || !readBool(object, QLatin1StringView("finished"), message.finished))
        return std::nullopt;
    return message;
}

std::optional<SonioxMessage> SonioxMessage::fromTextFrame(const QString &text)
{
    return decode(text.toUtf8());
}

std::optional<SonioxMessage> SonioxMessage::fromBinaryFrame(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return fromTextFrame(text);
}

QString SonioxMessage::errorText() const
{
    return QStringLiteral("Server error ") + QString::number(error_code.value_or(0)) + QLatin1StringView(": ")
        + error_message.value_or(QStringLiteral("unknown"));
}

TranscriptUpdate SonioxMessage::toUpdate() const
{
    TranscriptUpdate update;
    update.finished = finished.value_or(false);
    for (const SonioxToken &token : tokens.value_or(QList<SonioxToken>())) {
        if (token.isFinalizeMarker())
            update.finalizeDone = true;
        if (token.isMarker())
            continue;
        update.pieces.append(SpokenPiece{
            .text = token.text,
            .final = token.isFinal(),
            .translation = token.isTranslation(),
            .language = token.language,
            .startMs = token.start_ms,
            .endMs = token.end_ms,
            .speaker = token.speaker,
        });
    }
    return update;
}
