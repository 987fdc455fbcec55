#include "transcript.h"

#include "clock.h"

#include <QUuid>

#include <algorithm>
#include <array>

namespace {

constexpr std::array<char16_t, 7> sentenceEndChars = {
    u'.', u'?', u'!', u'\u3002', u'\uFF1F', u'\uFF01', u'\u2026',
};

constexpr std::array<char16_t, 7> closerChars = {
    u'"', u'\u201D', u'\u2019', u'\'', u')', u'\u300D', u'\u300F',
};

bool endsWithOneOf(QStringView text, std::span<const char16_t> set)
{
    return std::any_of(set.begin(), set.end(), [text](char16_t c) { return endsWithCharacter(text, c); });
}

} // namespace

QString trimmedSpacesAndTabs(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text.at(begin)))
        ++begin;
    while (end > begin && blank(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin);
}

std::span<const char16_t> Transcript::sentenceEnds()
{
    return sentenceEndChars;
}

std::span<const char16_t> Transcript::closers()
{
    return closerChars;
}

bool Transcript::endsSentence(QStringView text)
{
    // Read from the end only, so the cost does not grow with the line.
    qsizetype end = text.size();
    while (end > 0 && text[end - 1].isSpace())
        --end;
    while (end > 0 && endsWithOneOf(text.first(end), closerChars))
        --end;
    return end > 0 && endsWithOneOf(text.first(end), sentenceEndChars);
}

void Transcript::apply(const TranscriptUpdate &update)
{
    if (update.pieces.isEmpty())
        return;
    QString provisional;
    for (const SpokenPiece &piece : update.pieces) {
        if (piece.final)
            applyFinal(piece);
        else
            provisional += piece.text;
    }
    setPartial(provisional);
}

void Transcript::applyFinal(const SpokenPiece &piece)
{
    const bool kind = piece.translation;
    if (!m_lines.isEmpty()) {
        TranscriptLine &last = m_lines.last();
        const bool breaksHere = m_lastLineLength.count() > lineBreakLength && piece.text.startsWith(u' ');
        // Another side or another speaker starts a line of their own.
        const bool sameVoice = last.source == piece.source && last.speaker == piece.speaker;
        if (last.isTranslation == kind && !last.complete && !breaksHere && sameVoice) {
            last.text += piece.text;
            m_lastLineLength.measure(last.text);
            if (endsSentence(last.text))
                last.complete = true;
            Q_EMIT lastLineChanged(m_lines.size() - 1);
            return;
        }
    }
    m_lines.append(TranscriptLine{
        .id = QUuid::createUuid(),
        .text = piece.text,
        .isTranslation = kind,
        .lang = piece.language,
        .t = Clock::now(),
        .complete = endsSentence(piece.text),
        .source = piece.source,
        .speaker = piece.speaker,
    });
    m_lastLineLength.reset();
    m_lastLineLength.measure(piece.text);
    Q_EMIT lineAppended(m_lines.size() - 1);
}

QString speakerLabel(const TranscriptLine &line)
{
    if (line.source == Side::Mic)
        return QStringLiteral("You");
    if (line.speaker && !line.speaker->isEmpty())
        return QStringLiteral("Speaker ") + *line.speaker;
    return QStringLiteral("Others");
}

QString shownSpeakerLabel(const QList<TranscriptLine> &lines, qsizetype row)
{
    if (row < 0 || row >= lines.size() || lines.at(row).isTranslation)
        return {};
    const QString label = speakerLabel(lines.at(row));
    // The user alone, as with the microphone only, needs no label.
    QString before = QStringLiteral("You");
    for (qsizetype i = row - 1; i >= 0; --i) {
        if (!lines.at(i).isTranslation) {
            before = speakerLabel(lines.at(i));
            break;
        }
    }
    return label == before ? QString() : label;
}

void Transcript::clear()
{
    reset({}, QString());
}

void Transcript::reset(QList<TranscriptLine> lines, const QString &partial)
{
    m_lines = std::move(lines);
    m_lastLineLength.reset();
    if (!m_lines.isEmpty())
        m_lastLineLength.measure(m_lines.last().text);
    Q_EMIT linesReset();
    setPartial(partial);
}

void Transcript::setPartial(const QString &value)
{
    if (m_partial == value)
        return;
    m_partial = value;
    Q_EMIT partialChanged(m_partial);
}
