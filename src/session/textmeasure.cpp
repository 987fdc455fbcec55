#include "textmeasure.h"

#include <QTextBoundaryFinder>

qsizetype graphemeCount(QStringView text)
{
    GraphemeTally tally;
    tally.measure(text);
    return tally.count();
}

bool endsWithCharacter(QStringView text, char16_t c)
{
    if (text.isEmpty() || text.back() != QChar(c))
        return false;
    // Whether a cluster starts right before the last code unit depends only on
    // its neighbours, so a short window answers it for any length of text.
    const QStringView window = text.last(std::min<qsizetype>(text.size(), 8));
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, window.data(), window.size());
    finder.setPosition(window.size() - 1);
    return finder.isAtBoundary();
}

void GraphemeTally::reset()
{
    *this = GraphemeTally();
}

void GraphemeTally::measure(QStringView text)
{
    const QStringView rest = text.sliced(std::min(m_tailStart, text.size()));
    if (rest.isEmpty())
        return;
    // A cluster boundary before a regional indicator means an even number of
    // them precede it, so restarting at the last boundary keeps flags paired.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, rest.data(), rest.size());
    qsizetype clusters = 0;
    qsizetype previous = 0;
    qsizetype lastStart = 0;
    for (qsizetype next = finder.toNextBoundary(); next != -1; next = finder.toNextBoundary()) {
        ++clusters;
        lastStart = previous;
        previous = next;
    }
    m_count = m_before + clusters;
    m_before += clusters - 1;
    m_tailStart += lastStart;
}
