#include "summary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>

#include <iterator>

namespace {

// Bounds against a model that rambles: what the page can show sensibly.
constexpr qsizetype maxItems = 100;
constexpr qsizetype maxTextLength = 4000;

// In the order of NoteSummary::Status.
const char *const statusNames[] = {"off", "pending", "ready", "failed"};

QJsonValue nullable(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

// A string or null (or absent) as text; nothing when it is another type.
std::optional<QString> optionalText(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QString();
    if (!value.isString())
        return std::nullopt;
    return value.toString().trimmed().left(maxTextLength);
}

QJsonObject stringType()
{
    return {{QStringLiteral("type"), QStringLiteral("string")}};
}

QJsonObject nullableStringType()
{
    return {{QStringLiteral("type"), QJsonArray{QStringLiteral("string"), QStringLiteral("null")}}};
}

QJsonObject closedObject(const QJsonObject &properties, const QJsonArray &required)
{
    return {{QStringLiteral("type"), QStringLiteral("object")},
            {QStringLiteral("properties"), properties},
            {QStringLiteral("required"), required},
            {QStringLiteral("additionalProperties"), false}};
}

QJsonObject arrayOf(const QJsonObject &items)
{
    return {{QStringLiteral("type"), QStringLiteral("array")}, {QStringLiteral("items"), items}};
}

std::optional<ActionItem> actionItemFrom(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    const QJsonValue task = object.value(QLatin1StringView("task"));
    const auto owner = optionalText(object.value(QLatin1StringView("owner")));
    const auto due = optionalText(object.value(QLatin1StringView("due")));
    if (!value.isObject() || !task.isString() || task.toString().trimmed().isEmpty() || !owner || !due)
        return std::nullopt;
    return ActionItem{task.toString().trimmed().left(maxTextLength), *owner, *due,
                      object.value(QLatin1StringView("done")).toBool()};
}

// The text between the first fence and the next; the whole content when there is no fence.
QString unfenced(const QString &content)
{
    static const QRegularExpression fence(QStringLiteral("```[A-Za-z0-9_-]*[ \\t]*\\n(.*?)\\n?[ \\t]*```"),
                                          QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = fence.match(content);
    return match.hasMatch() ? match.captured(1) : content;
}

// Reasoning models put their thoughts first in a <think> block.
QString withoutThoughts(QString content)
{
    content = content.trimmed();
    if (content.startsWith(QLatin1StringView("<think>"))) {
        const qsizetype end = content.indexOf(QLatin1StringView("</think>"));
        content = end < 0 ? QString() : content.mid(end + 8).trimmed();
    }
    return content;
}

} // namespace

QJsonObject Summary::toJson() const
{
    QJsonArray items;
    for (const ActionItem &item : actionItems) {
        items.append(QJsonObject{{QStringLiteral("task"), item.task},
                                 {QStringLiteral("owner"), nullable(item.owner)},
                                 {QStringLiteral("due"), nullable(item.due)},
                                 {QStringLiteral("done"), item.done}});
    }
    return {{QStringLiteral("overview"), overview},
            {QStringLiteral("decisions"), QJsonArray::fromStringList(decisions)},
            {QStringLiteral("actionItems"), items}};
}

QJsonObject NoteSummary::toJson() const
{
    // Only a ready summary is shown; the last one stays kept while a new one is on its way.
    QJsonObject object = status == Status::Ready ? summary.toJson() : Summary().toJson();
    object.insert(QStringLiteral("status"), statusName(status));
    object.insert(QStringLiteral("reason"), status == Status::Failed ? QJsonValue(reason) : QJsonValue(QJsonValue::Null));
    return object;
}

QString NoteSummary::statusName(Status status)
{
    return QString::fromLatin1(statusNames[int(status)]);
}

std::optional<NoteSummary::Status> NoteSummary::statusNamed(const QString &name)
{
    for (int i = 0; i < int(std::size(statusNames)); ++i) {
        if (name == QLatin1StringView(statusNames[i]))
            return Status(i);
    }
    return std::nullopt;
}

ParsedSummary summaryFromJson(const QJsonObject &object)
{
    const QJsonValue overview = object.value(QLatin1StringView("overview"));
    const QJsonValue decisions = object.value(QLatin1StringView("decisions"));
    const QJsonValue items = object.value(QLatin1StringView("actionItems"));
    if (!overview.isString() || overview.toString().trimmed().isEmpty())
        return {std::nullopt, QStringLiteral("The model's answer has no overview.")};
    // A model may leave out an empty list; a list of the wrong kind is an error.
    if (!(decisions.isArray() || decisions.isUndefined() || decisions.isNull()))
        return {std::nullopt, QStringLiteral("The model's answer has decisions that are not a list.")};
    if (!(items.isArray() || items.isUndefined() || items.isNull()))
        return {std::nullopt, QStringLiteral("The model's answer has to-dos that are not a list.")};
    Summary summary;
    summary.overview = overview.toString().trimmed().left(maxTextLength);
    const QJsonArray decisionList = decisions.toArray();
    for (qsizetype i = 0; i < qMin(decisionList.size(), maxItems); ++i) {
        const QJsonValue decision = decisionList.at(i);
        if (!decision.isString())
            return {std::nullopt, QStringLiteral("The model's answer has a decision that is not text.")};
        if (!decision.toString().trimmed().isEmpty())
            summary.decisions.append(decision.toString().trimmed().left(maxTextLength));
    }
    const QJsonArray itemList = items.toArray();
    for (qsizetype i = 0; i < qMin(itemList.size(), maxItems); ++i) {
        const std::optional<ActionItem> item = actionItemFrom(itemList.at(i));
        if (!item)
            return {std::nullopt, QStringLiteral("The model's answer has a to-do without a task.")};
        summary.actionItems.append(*item);
    }
    return {summary, {}};
}

ParsedSummary summaryFromReply(const QString &content)
{
    const QString text = unfenced(withoutThoughts(content)).trimmed();
    if (text.isEmpty())
        return {std::nullopt, QStringLiteral("The model's answer was empty.")};
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {std::nullopt, QStringLiteral("The model's answer was not the JSON object it was asked for.")};
    return summaryFromJson(document.object());
}

QJsonObject summaryResponseFormat()
{
    const QJsonObject item = closedObject(
        {{QStringLiteral("task"), stringType()},
         {QStringLiteral("owner"), nullableStringType()},
         {QStringLiteral("due"), nullableStringType()}},
        {QStringLiteral("task"), QStringLiteral("owner"), QStringLiteral("due")});
    const QJsonObject schema = closedObject(
        {{QStringLiteral("overview"), stringType()},
         {QStringLiteral("decisions"), arrayOf(stringType())},
         {QStringLiteral("actionItems"), arrayOf(item)}},
        {QStringLiteral("overview"), QStringLiteral("decisions"), QStringLiteral("actionItems")});
    return {{QStringLiteral("type"), QStringLiteral("json_schema")},
            {QStringLiteral("json_schema"),
             QJsonObject{{QStringLiteral("name"), QStringLiteral("meeting_summary")},
                         {QStringLiteral("strict"), true},
                         {QStringLiteral("schema"), schema}}}};
}
