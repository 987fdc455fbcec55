#pragma once

#include "transcriptline.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// One piece of recognised text as the core sees it, whatever the engine.
struct SpokenPiece
{
    QString text; // exactly as heard, leading space included
    bool final = false; // false: may still change, and is replaced by the next update's pieces
    bool translation = false; // the translation of what was said, not the words themselves
    std::optional<QString> language;
    // Where the piece was heard, in ms from the start of its connection's
    // audio, and who said it, when the engine tells.
    std::optional<qint64> startMs;
    std::optional<qint64> endMs;
    std::optional<QString> speaker;
    // Where it was heard, marked by the session from how each side sounded then.
    Side source = Side::Mic;
};

// What the link hands the core for one message of the engine.
struct TranscriptUpdate
{
    QList<SpokenPiece> pieces;
    // The engine has answered a finalize: every word said before it is in.
    bool finalizeDone = false;
    // The engine ends the stream; nothing more comes on this connection.
    bool finished = false;
};

Q_DECLARE_METATYPE(TranscriptUpdate)
