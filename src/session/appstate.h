#pragma once

#include "sonioxmessage.h"
#include "textmeasure.h"
#include "transcriptline.h"

#include <QList>
#include <QObject>
#include <QString>

#include <span>

// The controller of a note-taking session and the one source of truth the
// views observe. Lives on the GUI thread.
class AppState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString partial READ partial NOTIFY partialChanged)

public:
    // A line is broken before a token that starts with a space once it is
    // longer than this many user-perceived characters.
    static constexpr qsizetype lineBreakLength = 320;

    explicit AppState(QObject *parent = nullptr);

    [[nodiscard]] const QList<TranscriptLine> &lines() const { return m_lines; }
    [[nodiscard]] QString partial() const { return m_partial; }

    // Grows the transcript by one server message. Messages must come in the
    // order they were received.
    void apply(const SonioxMessage &message);

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
    void clearTranscript();
    void setPartial(const QString &partial);
    void applyFinal(const SonioxToken &token);

    QList<TranscriptLine> m_lines;
    QString m_partial;
    GraphemeTally m_lastLineLength;
};
