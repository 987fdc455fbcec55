#include "notesexport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QList>
#include <QRegularExpression>
#include <QTimeZone>
#include <QUrl>

#include <algorithm>

namespace {

// A subtitle shows this long when no line follows it.
constexpr qint64 lastCueMs = 4000;

// A spoken line with the translations that follow it, and who spoke it
// where the note holds more than one voice.
struct Line
{
    qint64 offsetMs = 0;
    QString text;
    QString translation;
    QString who;     // "You", "Speaker 2", "Others"
    bool turn = false; // another voice than the line before
};

// As the app names them; nothing for notes that do not say.
QString whoOf(const QJsonObject &entry)
{
    const QString source = entry.value(QLatin1StringView("source")).toString();
    const QString speaker = entry.value(QLatin1StringView("speaker")).toString();
    if (source == QLatin1StringView("mic"))
        return QStringLiteral("You");
    if (!speaker.isEmpty())
        return QStringLiteral("Speaker ") + speaker;
    return source == QLatin1StringView("system") ? QStringLiteral("Others") : QString();
}

QList<Line> linesOf(const QJsonObject &session)
{
    const qint64 startedAt = session.value(QLatin1StringView("startedAt")).toInteger();
    QList<Line> lines;
    for (const QJsonValue &value : session.value(QLatin1StringView("entries")).toArray()) {
        const QJsonObject entry = value.toObject();
        const QString text = entry.value(QLatin1StringView("text")).toString().simplified();
        if (text.isEmpty())
            continue;
        if (entry.value(QLatin1StringView("translated")).toBool() && !lines.isEmpty()) {
            QString &translation = lines.last().translation;
            translation += (translation.isEmpty() ? QString() : QStringLiteral(" ")) + text;
            continue;
        }
        lines.append({std::max<qint64>(0, entry.value(QLatin1StringView("t")).toInteger() - startedAt), text, {},
                      whoOf(entry), false});
    }
    // The user alone needs no names.
    const bool voices = std::any_of(lines.cbegin(), lines.cend(), [&lines](const Line &line) {
        return line.who != lines.first().who;
    });
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!voices)
            lines[i].who.clear();
        lines[i].turn = !lines.at(i).who.isEmpty() && (i == 0 || lines.at(i).who != lines.at(i - 1).who);
    }
    return lines;
}

// "You: " where another voice takes over.
QString turnPrefix(const Line &line)
{
    return line.turn ? line.who + QStringLiteral(": ") : QString();
}

// "12:05", or "1:02:05" past the first hour.
QString elapsed(qint64 ms)
{
    const qint64 s = ms / 1000;
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString cueTime(qint64 ms, QChar fractionMark)
{
    return QStringLiteral("%1:%2:%3%4%5")
        .arg(ms / 3600000, 2, 10, QLatin1Char('0'))
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(fractionMark)
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

// When the meeting began, in the place it was held.
QString dateOf(const QJsonObject &session)
{
    const QTimeZone zone(session.value(QLatin1StringView("timezone")).toString().toUtf8());
    QDateTime at = QDateTime::fromMSecsSinceEpoch(session.value(QLatin1StringView("startedAt")).toInteger(), QTimeZone::utc());
    if (zone.isValid())
        at = at.toTimeZone(zone);
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString subtitles(const QList<Line> &lines, bool webVtt)
{
    QString out = webVtt ? QStringLiteral("WEBVTT\n\n") : QString();
    const QChar mark = webVtt ? QLatin1Char('.') : QLatin1Char(',');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Line &line = lines.at(i);
        const qint64 next = i + 1 < lines.size() ? lines.at(i + 1).offsetMs : line.offsetMs + lastCueMs;
        const qint64 end = next > line.offsetMs ? next : line.offsetMs + lastCueMs;
        if (!webVtt)
            out += QString::number(i + 1) + QLatin1Char('\n');
        // A cue stands alone: each names its voice, WebVTT in its own tag.
        QString text = line.text;
        if (!line.who.isEmpty())
            text = webVtt ? QStringLiteral("<v ") + line.who + QLatin1Char('>') + text : line.who + QStringLiteral(": ") + text;
        out += cueTime(line.offsetMs, mark) + QStringLiteral(" --> ") + cueTime(end, mark) + QLatin1Char('\n') + text
            + QLatin1Char('\n');
        if (!line.translation.isEmpty())
            out += line.translation + QLatin1Char('\n');
        out += QLatin1Char('\n');
    }
    return out;
}

QString summaryText(const QJsonObject &session)
{
    const QJsonObject summary = session.value(QLatin1StringView("summary")).toObject();
    if (summary.value(QLatin1StringView("status")).toString() != QLatin1StringView("ready"))
        return {};
    QString out = summary.value(QLatin1StringView("overview")).toString().trimmed() + QStringLiteral("\n\n");
    const QJsonArray decisions = summary.value(QLatin1StringView("decisions")).toArray();
    if (!decisions.isEmpty()) {
        out += QStringLiteral("### Decisions\n\n");
        for (const QJsonValue &decision : decisions)
            out += QStringLiteral("- ") + decision.toString() + QLatin1Char('\n');
        out += QLatin1Char('\n');
    }
    const QJsonArray todos = summary.value(QLatin1StringView("actionItems")).toArray();
    if (!todos.isEmpty()) {
        out += QStringLiteral("### To-dos\n\n");
        for (const QJsonValue &todo : todos) {
            const QJsonObject item = todo.toObject();
            const QString owner = item.value(QLatin1StringView("owner")).toString();
            out += (item.value(QLatin1StringView("done")).toBool() ? QStringLiteral("- [x] ") : QStringLiteral("- [ ] "))
                + item.value(QLatin1StringView("task")).toString() + (owner.isEmpty() ? QString() : QStringLiteral(" (") + owner + QLatin1Char(')'))
                + QLatin1Char('\n');
        }
        out += QLatin1Char('\n');
    }
    return out;
}

QString markdown(const QJsonObject &session, const QList<Line> &lines)
{
    QString out = QStringLiteral("# ") + session.value(QLatin1StringView("title")).toString() + QStringLiteral("\n\n")
        + dateOf(session) + QStringLiteral("\n\n");
    const QString summary = summaryText(session);
    if (!summary.isEmpty())
        out += QStringLiteral("## Summary\n\n") + summary;
    out += QStringLiteral("## Transcript\n\n");
    for (const Line &line : lines) {
        out += QStringLiteral("**") + elapsed(line.offsetMs) + QStringLiteral("** ") + turnPrefix(line) + line.text
            + QStringLiteral("  \n");
        if (!line.translation.isEmpty())
            out += QStringLiteral("*") + line.translation + QStringLiteral("*\n");
        out += QLatin1Char('\n');
    }
    return out;
}

QString plainText(const QJsonObject &session, const QList<Line> &lines)
{
    QString out = session.value(QLatin1StringView("title")).toString() + QLatin1Char('\n') + dateOf(session) + QStringLiteral("\n\n");
    for (const Line &line : lines) {
        out += QLatin1Char('[') + elapsed(line.offsetMs) + QStringLiteral("] ") + turnPrefix(line) + line.text
            + QLatin1Char('\n');
        if (!line.translation.isEmpty())
            out += QStringLiteral("    ") + line.translation + QLatin1Char('\n');
    }
    return out;
}

} // namespace

std::optional<NotesFile> NotesFile::render(const QJsonObject &session, const QString &format)
{
    const QList<Line> lines = linesOf(session);
    QString text;
    QByteArray type;
    if (format == QLatin1StringView("md")) {
        text = markdown(session, lines);
        type = "text/markdown; charset=utf-8";
    } else if (format == QLatin1StringView("txt")) {
        text = plainText(session, lines);
        type = "text/plain; charset=utf-8";
    } else if (format == QLatin1StringView("srt")) {
        text = subtitles(lines, false);
        type = "application/x-subrip; charset=utf-8";
    } else if (format == QLatin1StringView("vtt")) {
        text = subtitles(lines, true);
        type = "text/vtt; charset=utf-8";
    } else {
        return std::nullopt;
    }
    return NotesFile{text.toUtf8(), type, attachment(session.value(QLatin1StringView("title")).toString(), format)};
}

QByteArray NotesFile::attachment(const QString &title, const QString &extension)
{
    // The plain name: accents dropped, anything else unsafe in a file name or a header becomes a space.
    QString safe;
    bool plain = true;
    for (QChar c : title.normalized(QString::NormalizationForm_D)) {
        plain = plain && c.unicode() < 128;
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        const bool allowed = c.unicode() < 128 && (c.isLetterOrNumber() || QStringView(u"-_.,()").contains(c));
        safe += allowed ? c : QLatin1Char(' ');
    }
    safe = safe.simplified().left(120);
    while (safe.startsWith(QLatin1Char('.')))
        safe.remove(0, 1);
    if (safe.isEmpty())
        safe = QStringLiteral("notes");
    QByteArray header = "attachment; filename=\"" + safe.toLatin1() + '.' + extension.toLatin1() + '"';
    if (!plain) {
        QString full = title.simplified().left(120);
        full.remove(QRegularExpression(QStringLiteral("[/\\\\\\x00-\\x1f]")));
        header += "; filename*=UTF-8''" + QUrl::toPercentEncoding(full + QLatin1Char('.') + extension);
    }
    return header;
}
