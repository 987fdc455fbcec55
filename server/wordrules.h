#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Plain rules that turn recogniser words into the words a reader sees.
namespace WordRules {

// The word as a reader would see it, or empty for a marker or filler
// (<s>, </s>, <sil>, [NOISE], ++BREATH++) that must never reach a client;
// pronunciation alternates such as "the(2)" lose their suffix.
[[nodiscard]] QString cleanWord(const QString &word);

// Token texts of one utterance: each with its leading space, the first word
// capitalised, "i" as "I", and, when the utterance is complete, a full stop
// on the last word.
[[nodiscard]] QStringList tokenTexts(const QStringList &words, bool complete);

// A pause this long between two words of one utterance ends a sentence.
inline constexpr qint64 sentencePauseMs = 300;

// Where each sentence of an utterance begins, as word indexes (the first is
// 0), from each word's start and end in milliseconds.
[[nodiscard]] QList<qsizetype> sentenceStarts(const QList<QPair<qint64, qint64>> &spans);

} // namespace WordRules
