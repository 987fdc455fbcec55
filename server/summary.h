#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A to-do the model found in a meeting. Owner and due date are whatever the
// people said ("Ana", "next Friday"), empty when nobody said.
struct ActionItem
{
    QString task;
    QString owner;
    QString due;
    bool done = false; // ticked by the user in the page

    bool operator==(const ActionItem &) const = default;
};

// What the model makes of a meeting.
struct Summary
{
    QString overview;
    QStringList decisions;
    QList<ActionItem> actionItems;

    bool operator==(const Summary &) const = default;

    // {"overview", "decisions", "actionItems": [{"task", "owner"|null, "due"|null, "done"}]}
    [[nodiscard]] QJsonObject toJson() const;
};

// A note's summary as the service keeps it and answers it.
struct NoteSummary
{
    enum class Status { Off, Pending, Ready, Failed };
    Status status = Status::Off;
    Summary summary; // the latest one the model gave; kept while a new one is pending
    QString reason;  // why the last attempt failed

    bool operator==(const NoteSummary &) const = default;

    // {"status": "off"|"pending"|"ready"|"failed", "overview", "decisions", "actionItems", "reason"}
    [[nodiscard]] QJsonObject toJson() const;
    [[nodiscard]] static QString statusName(Status status);
    [[nodiscard]] static std::optional<Status> statusNamed(const QString &name);
};

// A summary read from JSON, or the sentence saying what is wrong with it.
struct ParsedSummary
{
    std::optional<Summary> summary;
    QString reason;
};

// Reads the shape the model is asked for (and the one toJson writes).
[[nodiscard]] ParsedSummary summaryFromJson(const QJsonObject &object);

// The model's message: the JSON object itself, or the same inside a fenced
// code block (```json … ```), as models without structured output tend to
// write it. Anything else is refused with a reason.
[[nodiscard]] ParsedSummary summaryFromReply(const QString &content);

// "response_format" for servers that support structured output: a JSON
// schema of exactly the shape summaryFromJson reads.
[[nodiscard]] QJsonObject summaryResponseFormat();
