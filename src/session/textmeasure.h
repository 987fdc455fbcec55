#pragma once

#include <QStringView>

// Lengths in user-perceived characters (extended grapheme clusters), so that
// an emoji, a flag or a letter with its accents counts once.

[[nodiscard]] qsizetype graphemeCount(QStringView text);

// True when the text's last user-perceived character is exactly `c` on its
// own: "." is, but "." followed by a combining accent is not.
[[nodiscard]] bool endsWithCharacter(QStringView text, char16_t c);

// Keeps the length of a text that only grows at its end, reading just the
// last character and what was appended: appending can merge with the last
// cluster but never changes the clusters before it.
class GraphemeTally
{
public:
    void reset();
    // `text` is the text last measured (or nothing) with more appended.
    void measure(QStringView text);
    [[nodiscard]] qsizetype count() const { return m_count; }

private:
    qsizetype m_tailStart = 0; // where the last cluster begins
    qsizetype m_before = 0;    // clusters before it
    qsizetype m_count = 0;
};
