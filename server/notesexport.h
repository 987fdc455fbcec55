#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// A note as a file to download: Markdown, plain text, SubRip or WebVTT.
struct NotesFile
{
    QByteArray body;
    QByteArray contentType;
    QByteArray disposition; // Content-Disposition: attachment with a file name from the title

    // The note as read from the store ({"title", "startedAt", "timezone",
    // "entries", "summary"?}) in `format` ("md", "txt", "srt" or "vtt"), or
    // nothing for another format.
    [[nodiscard]] static std::optional<NotesFile> render(const QJsonObject &session, const QString &format);

    // "attachment; filename=…" with only safe ASCII characters, plus an
    // RFC 5987 filename* when the title holds others.
    [[nodiscard]] static QByteArray attachment(const QString &title, const QString &extension);
};
