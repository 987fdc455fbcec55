#include "wordrules.h"

namespace WordRules {

QString cleanWord(const QString &word)
{
    QString w = word.trimmed();
    if (w.isEmpty() || w.startsWith(QLatin1Char('<')) || w.startsWith(QLatin1Char('['))
        || w.startsWith(QLatin1StringView("++")))
        return {};
    if (w.endsWith(QLatin1Char(')'))) {
        const qsizetype open = w.lastIndexOf(QLatin1Char('('));
        if (open > 0)
            w.truncate(open);
        else
            return {};
    }
    for (QChar c : std::as_const(w)) {
        if (c.isLetterOrNumber())
            return w;
    }
    return {};
}

QStringList tokenTexts(const QStringList &words, bool complete)
{
    QStringList texts;
    texts.reserve(words.size());
    for (const QString &word : words) {
        QString text = word == QLatin1StringView("i") || word.startsWith(QLatin1StringView("i'")) ? QLatin1Char('I') + word.mid(1) : word;
        if (texts.isEmpty() && !text.isEmpty())
            text[0] = text[0].toUpper();
        texts.append(QLatin1Char(' ') + text);
    }
    if (complete && !texts.isEmpty()) {
        QString &last = texts.last();
        const QChar end = last.back();
        if (end != QLatin1Char('.') && end != QLatin1Char('?') && end != QLatin1Char('!'))
            last += QLatin1Char('.');
    }
    return texts;
}

QList<qsizetype> sentenceStarts(const QList<QPair<qint64, qint64>> &spans)
{
    QList<qsizetype> starts{0};
    for (qsizetype i = 1; i < spans.size(); ++i) {
        if (spans.at(i).first - spans.at(i - 1).second >= sentencePauseMs)
            starts.append(i);
    }
    return starts;
}

} // namespace WordRules
