#pragma once

#include "transcriptupdate.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// The provider's message format, which the transcription endpoint speaks;
// only the link reads it. The core gets TranscriptUpdate instead.

// One recognised piece of text, as the transcription endpoint sends it.
// Field names follow the JSON keys.
struct SonioxToken
{
    QString text; // exactly as sent, leading space included
    std::optional<bool> is_final;
    std::optional<QString> language;
    std::optional<QString> translation_status;
    // Read when they are well formed, ignored otherwise: no behaviour that
    // decides whether a frame is kept depends on them.
    std::optional<qint64> start_ms;
    std::optional<qint64> end_ms;
    std::optional<QString> speaker;

    // Absent or false both mean the token may still change.
    [[nodiscard]] bool isFinal() const { return is_final.value_or(false); }
    [[nodiscard]] bool isTranslation() const { return translation_status == QStringLiteral("translation"); }
    // "<fin>" answers a finalize, "<end>" marks where the speaker stopped;
    // neither is text.
    [[nodiscard]] bool isFinalizeMarker() const { return text == QStringLiteral("<fin>"); }
    [[nodiscard]] bool isMarker() const { return isFinalizeMarker() || text == QStringLiteral("<end>"); }
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
    // The message in the core's terms: its words, without the markers, and
    // whether the engine answered a finalize or ends the stream.
    [[nodiscard]] TranscriptUpdate toUpdate() const;
};
