#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

struct NoteEntry
{
    qint64 t = 0; // ms since 1970
    QString text;
    QString lang;
    bool translated = false;
    QString speaker = {}; // who spoke, where the app knows; may be empty
    QString source = {};  // which side of the call ("mic", "system"…); may be empty
};

// One uploaded notes body, checked field by field.
struct NotesBody
{
    QString sourceClientId;
    qint64 startedAt = 0;
    qint64 endedAt = 0;
    QString sourceLanguage;
    QString targetLanguage;
    bool onlyTranscript = false;
    QString timezone;
    QList<NoteEntry> entries;

    // The body or a sentence that says what is wrong with it.
    struct Parsed;
    [[nodiscard]] static Parsed parse(const QByteArray &json);
};

struct NotesBody::Parsed
{
    std::optional<NotesBody> body;
    QString error;
};

// A saved note: the uploaded body, with the id and time the service gave it.
struct StoredNote
{
    QString id;
    qint64 createdAtMs = 0;
    NotesBody body;        // without its lines in a list
    qint64 entryCount = 0; // a list's: how many lines it has
    QString firstLine;     // a list's: the first spoken line that is not blank
    QString firstTranslation; // a list's: the first translated line, for a note with no spoken one
    QString title;         // the user's; empty: automatic
    QString overview;      // the ready summary's, which the automatic title comes from
    QString snippet;       // a search's: where it matched, between NoteSearch's marks
};

// The title shown: the user's, else from the summary or the first words said.
[[nodiscard]] QString titleOf(const StoredNote &note);

// The answers of "/api/sessions" (and its search) and "/api/sessions/ID".
[[nodiscard]] QJsonObject notesListJson(const QList<StoredNote> &notes);
[[nodiscard]] QJsonObject noteJson(const StoredNote &note);
