#pragma once

#include "textmeasure.h"
#include "transcriptline.h"
#include "transcriptupdate.h"

#include <QList>
#include <QObject>
#include <QString>

#include <span>

// Spaces and tabs trimmed from both ends; line breaks stay, as a line keeps them.
[[nodiscard]] QString trimmedSpacesAndTabs(const QString &text);

// Who spoke a line, as the panel names them: "You" on the microphone,
// "Speaker N" from the engine's label on the computer's side, "Others"
// there when nothing finer is known.
[[nodiscard]] QString speakerLabel(const TranscriptLine &line);
// The label shown above a spoken line where the speaker changes from the
// spoken line before it; empty elsewhere, on translations, and while only
// the user has spoken.
[[nodiscard]] QString shownSpeakerLabel(const QList<TranscriptLine> &lines, qsizetype row);

// The live transcript: final text as lines, and the partial text that may
// still change. Grows by one server message at a time. Lives on the GUI thread.
class Transcript : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString partial READ partial NOTIFY partialChanged)

public:
    // A line is broken before a token that starts with a space once it is
    // longer than this many user-perceived characters.
    static constexpr qsizetype lineBreakLength = 320;

    using QObject::QObject;

    [[nodiscard]] const QList<TranscriptLine> &lines() const { return m_lines; }
    [[nodiscard]] QString partial() const { return m_partial; }
    [[nodiscard]] bool isEmpty() const { return m_lines.isEmpty(); }

    // Updates must come in the order they were received. The pieces of one
    // update that are not final together replace the partial text.
    void apply(const TranscriptUpdate &update);
    void clear();
    // Replaces everything at once (previews).
    void reset(QList<TranscriptLine> lines, const QString &partial);

    // Whether the text, read from its end, finishes a sentence: trailing
    // white space is ignored and closing quotes and brackets looked through.
    [[nodiscard]] static bool endsSentence(QStringView text);
    [[nodiscard]] static std::span<const char16_t> sentenceEnds();
    [[nodiscard]] static std::span<const char16_t> closers();

Q_SIGNALS:
    // Fine-grained so that views update one row, not the whole list.
    void linesReset();
    void lineAppended(qsizetype row);
    void lastLineChanged(qsizetype row);
    void partialChanged(const QString &partial);

private:
    void applyFinal(const SpokenPiece &piece);
    void setPartial(const QString &value);

    QList<TranscriptLine> m_lines;
    QString m_partial;
    GraphemeTally m_lastLineLength;
};
