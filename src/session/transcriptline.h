#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <optional>

// Where words were heard: the user's microphone, or the computer's own
// sound (the other side of a call).
enum class Side { Mic, System };

// "mic" and "system", as the journal and the notes write them.
[[nodiscard]] inline QString sideName(Side side)
{
    return side == Side::System ? QStringLiteral("system") : QStringLiteral("mic");
}
[[nodiscard]] inline std::optional<Side> sideNamed(QStringView name)
{
    if (name == u"mic")
        return Side::Mic;
    if (name == u"system")
        return Side::System;
    return std::nullopt;
}

// One line of the live transcript. Identity is `id`; two lines with the same
// text are still two rows.
struct TranscriptLine
{
    QUuid id;
    QString text;
    bool isTranslation = false;
    std::optional<QString> lang;
    QDateTime t;
    bool complete = false;
    Side source = Side::Mic;
    std::optional<QString> speaker = {}; // the engine's label for who spoke, when it tells
};

// How the last save ended. `failed` carries the sentence the user sees; a
// save on its way is the controller's Uploading phase.
class SaveState
{
public:
    enum class Kind { Idle, Saved, Failed };

    static SaveState idle() { return SaveState(Kind::Idle); }
    static SaveState saved() { return SaveState(Kind::Saved); }
    static SaveState failed(const QString &message) { return SaveState(Kind::Failed, message); }

    SaveState() = default;

    [[nodiscard]] Kind kind() const { return m_kind; }
    // Empty unless failed.
    [[nodiscard]] QString message() const { return m_message; }

    friend bool operator==(const SaveState &, const SaveState &) = default;

private:
    explicit SaveState(Kind kind, QString message = {})
        : m_kind(kind)
        , m_message(std::move(message))
    {
    }

    Kind m_kind = Kind::Idle;
    QString m_message;
};

// Every member moves by plain copy of its bytes, so a growing transcript
// reallocates without touching each line.
Q_DECLARE_TYPEINFO(TranscriptLine, Q_RELOCATABLE_TYPE);
Q_DECLARE_METATYPE(TranscriptLine)
Q_DECLARE_METATYPE(SaveState)
