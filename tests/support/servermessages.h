#pragma once

#include "transcriptline.h"
#include "transcriptupdate.h"

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Builders of what the transcription endpoint sends, for tests.

[[nodiscard]] SpokenPiece token(const QString &text, bool final, bool translation = false,
                                std::optional<QString> language = {});
[[nodiscard]] TranscriptUpdate message(QList<SpokenPiece> pieces);
// One text frame of final tokens, as the server sends it.
[[nodiscard]] QByteArray finalTokensJson(const QStringList &texts, bool translation = false,
                                         const QString &language = QString());
// The server's answer to a finalize.
[[nodiscard]] QByteArray finMarkerJson();
[[nodiscard]] QStringList lineTexts(const QList<TranscriptLine> &lines);

// The parsed JSON of a file under tests/data.
[[nodiscard]] QJsonValue fixture(const QString &name);
