#pragma once

#include "sonioxmessage.h"
#include "transcriptline.h"

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Builders of what the transcription endpoint sends, for tests.

[[nodiscard]] SonioxToken token(const QString &text, bool final, bool translation = false,
                                std::optional<QString> language = {});
[[nodiscard]] SonioxMessage message(QList<SonioxToken> tokens);
// One text frame of final tokens, as the server sends it.
[[nodiscard]] QByteArray finalTokensJson(const QStringList &texts, bool translation = false,
                                         const QString &language = QString());
[[nodiscard]] QStringList lineTexts(const QList<TranscriptLine> &lines);

// The parsed JSON of a file under tests/data.
[[nodiscard]] QJsonValue fixture(const QString &name);
