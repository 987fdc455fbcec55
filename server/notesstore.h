#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

class Database;

struct NoteEntry
{
    qint64 t = 0; // ms since 1970
    QString text;
    QString lang;
    bool translated = false;
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

// Saved notes in SQLite, each belonging to one account.
class NotesStore
{
public:
    explicit NotesStore(Database &database);

    // Stores all of it or nothing; the new notes' id, or empty on a storage failure.
    [[nodiscard]] QString save(qint64 accountId, const NotesBody &body, qint64 nowMs);
    // The account's notes, newest first, without their lines.
    [[nodiscard]] QJsonObject list(qint64 accountId);
    // One note with its lines, or nothing if it is not the account's.
    [[nodiscard]] std::optional<QJsonObject> note(qint64 accountId, const QString &id);

private:
    Database &m_database;
};
