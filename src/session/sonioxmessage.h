#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// One recognised piece of text, as the transcription endpoint sends it.
// Field names follow the JSON keys.
struct SonioxToken
{
    QString text; // exactly as sent, leading space included
    std::optional<bool> is_final;
    std::optional<QString> language;
    std::optional<QString> translation_status;

    // Absent or false both mean the token may still change.
    [[nodiscard]] bool isFinal() const { return is_final.value_or(false); }
    [[nodiscard]] bool isTranslation() const { return translation_status == QStringLiteral("translation"); }
};

// One server message: tokens, or an error. Decoding is all or nothing.
struct SonioxMessage
{
    std::optional<QList<SonioxToken>> tokens;
    std::optional<qint64> error_code;
    std::optional<QString> error_message;
    std::optional<bool> finished;

    [[nodiscard]] static std::optional<SonioxMessage> decode(const QByteArray &utf8Json);
    [[nodiscard]] static std::optional<SonioxMessage> fromTextFrame(const QString &text);
    // A binary frame is read as UTF-8; invalid UTF-8 drops the frame.
    [[nodiscard]] static std::optional<SonioxMessage> fromBinaryFrame(const QByteArray &bytes);

    // Any error code, 0 included, makes an error message; its tokens never apply.
    [[nodiscard]] bool isError() const { return error_code.has_value(); }
    // "Server error N: text", with "unknown" for a missing text.
    [[nodiscard]] QString errorText() const;
};

Q_DECLARE_METATYPE(SonioxMessage)
