#include "notestext.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

bool hasWordCharacter(QStringView text)
{
    for (QChar c : text) {
        if (c.isLetterOrNumber())
            return true;
    }
    return false;
}

bool endsSentence(QChar c)
{
    return c == QLatin1Char('.') || c == QLatin1Char('!') || c == QLatin1Char('?') || c == QChar(0x2026)
        || c == QChar(0x3002) || c == QChar(0xFF01) || c == QChar(0xFF1F);
}

} // namespace

namespace NoteTitle {

QString fromText(const QString &text)
{
    const QString plain = text.simplified();
    qsizetype end = plain.size();
    for (qsizetype i = 0; i < plain.size(); ++i) {
        // "3.5" and "e.g." inside a word do not end the sentence.
        if (endsSentence(plain.at(i)) && (i + 1 == plain.size() || plain.at(i + 1).isSpace())) {
            end = i + 1;
            break;
        }
    }
    QString sentence = plain.left(end);
    while (!sentence.isEmpty() && (sentence.back() == QLatin1Char('.') || sentence.back() == QLatin1Char(',')
                                   || sentence.back() == QLatin1Char(';') || sentence.back() == QLatin1Char(':')))
        sentence.chop(1);
    if (!hasWordCharacter(sentence))
        return {};
    if (sentence.size() <= automaticLength)
        return sentence;
    // Room for the ellipsis; a single endless word is cut where it must be.
    const qsizetype space = sentence.lastIndexOf(QLatin1Char(' '), automaticLength - 1);
    QString cut = sentence.left(space > 0 ? space : automaticLength - 1);
    while (!cut.isEmpty() && !cut.back().isLetterOrNumber())
        cut.chop(1);
    return cut + QChar(0x2026);
}

QString automatic(const QString &overview, const QString &firstLine)
{
    const QString fromOverview = fromText(overview);
    return fromOverview.isEmpty() ? fromText(firstLine) : fromOverview;
}

} // namespace NoteTitle

namespace NoteSearch {

QStringList words(const QString &text)
{
    QStringList found;
    for (const QString &word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        if (hasWordCharacter(word))
            found.append(word);
    }
    return found;
}

QString matchExpression(const QStringList &words)
{
    QStringList terms;
    for (const QString &word : words) {
        QString quoted = word;
        quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        terms.append(QLatin1Char('"') + quoted + QStringLiteral("\"*"));
    }
    return terms.join(QLatin1Char(' '));
}

QString tsQuery(const QStringList &words)
{
    QStringList terms;
    for (const QString &word : words) {
        QStringList runs;
        QString run;
        for (QChar c : word + QLatin1Char(' ')) {
            if (c.isLetterOrNumber() || (c.isMark() && !run.isEmpty())) {
                run.append(c);
            } else if (!run.isEmpty()) {
                runs.append(QLatin1Char('\'') + run + QStringLiteral("':*"));
                run.clear();
            }
        }
        if (!runs.isEmpty())
            terms.append(QLatin1Char('(') + runs.join(QStringLiteral(" <-> ")) + QLatin1Char(')'));
    }
    return terms.join(QStringLiteral(" & "));
}

QString snippetHtml(const QString &marked)
{
    QString html = marked.toHtmlEscaped();
    html.replace(markOpen, QStringLiteral("<mark>"));
    html.replace(markClose, QStringLiteral("</mark>"));
    return html;
}

} // namespace NoteSearch
