#include "notessaver.h"

#include "settings.h"

#include <QJsonDocument>
#include <QPointer>

NotesSaver::NotesSaver(Parts parts, QObject *parent)
    : QObject(parent)
    , m_parts(parts)
{
}

QCoro::Task<NotesSaver::Outcome> NotesSaver::save(QList<TranscriptLine> lines, NotesSession session,
                                                  std::optional<JournalSession> recovered)
{
    QPointer<NotesSaver> self(this);
    ZarnoSettings settings = ZarnoSettings::load();
    if (recovered) {
        settings.languageA = recovered->languageA;
        settings.languageB = recovered->languageB;
        settings.transcriptOnly = recovered->transcriptOnly;
    }
    std::optional<QString> token;
    if (m_parts.auth)
        token = co_await m_parts.auth->validAccessToken();
    if (!self)
        co_return Outcome{Outcome::Kind::Abandoned, std::nullopt};
    if (!token || !settings.baseURL())
        co_return Outcome{Outcome::Kind::NoSignIn, std::nullopt};
    const std::optional<QUrl> url = settings.serviceURL(QStringLiteral("/api/sessions"));
    if (!url)
        co_return Outcome{Outcome::Kind::BadAddress, std::nullopt};

    const QByteArray body = QJsonDocument(notesBody(lines, session, settings)).toJson(QJsonDocument::Compact);
    UploadOutcome upload;
    if (m_parts.notes)
        upload = co_await m_parts.notes->uploadNotes(*url, *token, body, m_parts.timeout);
    if (!self || upload.kind == UploadOutcome::Kind::Abandoned)
        co_return Outcome{Outcome::Kind::Abandoned, std::nullopt};
    if (upload.kind == UploadOutcome::Kind::Failed)
        co_return Outcome{Outcome::Kind::Failed, std::nullopt};
    // Only now are the words safe elsewhere.
    if (m_parts.journal)
        m_parts.journal->discard();
    co_return Outcome{Outcome::Kind::Saved, upload.sessionId};
}
