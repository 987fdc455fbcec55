#pragma once

#include <QString>
#include <QStringList>

// Plain rules for a note's title and for searching notes, free of storage.
namespace NoteTitle {

inline constexpr qsizetype automaticLength = 60;
inline constexpr qsizetype maxLength = 200;

// The first words of the first sentence, at most automaticLength characters,
// cut between words; empty when the text holds no words.
[[nodiscard]] QString fromText(const QString &text);

// From the summary's overview when there is one, else from the first line.
[[nodiscard]] QString automatic(const QString &overview, const QString &firstLine);

} // namespace NoteTitle

namespace NoteSearch {

// What the index marks around a match in a snippet; never stored in the index.
inline constexpr QChar markOpen = QChar(0xE000);
inline constexpr QChar markClose = QChar(0xE001);

// What the user typed, split at white space; words without a letter or a
// digit match nothing and are left out.
[[nodiscard]] QStringList words(const QString &text);

// An FTS5 expression in which every word is only text: each is quoted as a
// string and matches as a word's start. Empty when there is no word.
[[nodiscard]] QString matchExpression(const QStringList &words);

// The same for PostgreSQL's to_tsquery: each run of letters and digits is a
// quoted prefix, the runs of one word a phrase, the words all required.
// Quotes, operators and SQL in a word are never more than text.
[[nodiscard]] QString tsQuery(const QStringList &words);

// A snippet from the index as HTML: escaped, matches in <mark>.
[[nodiscard]] QString snippetHtml(const QString &marked);

} // namespace NoteSearch
