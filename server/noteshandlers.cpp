// The notes API: save, list, search, read, rename, delete and export.
#include "zarnoservice.h"

#include "httpreply.h"
#include "notesbody.h"
#include "notesexport.h"
#include "notestext.h"
#include "store.h"
#include "summaryjobs.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <QUuid>

using namespace Http;
using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

namespace {

void notFound(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    // Another account's note answers the same: ids tell nothing.
    replyError(request, responder, Status::NotFound, QStringLiteral("not_found"),
               QStringLiteral("These notes do not exist or belong to another account."));
}

// The note's answer with its summary as the reader sees it.
QJsonObject withSummary(const StoredNote &note, const NoteSummary &summary)
{
    QJsonObject answer = noteJson(note);
    QJsonObject session = answer.value(QLatin1StringView("session")).toObject();
    session.insert(QStringLiteral("summary"), summary.toJson());
    answer.insert(QStringLiteral("session"), session);
    return answer;
}

} // namespace

void ZarnoService::handleSessions(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    if (request.method() != Method::Get && request.method() != Method::Post) {
        methodNotAllowed(request, responder);
        return;
    }
    const qint64 accountId = authorise(request, responder);
    if (!accountId)
        return;
    if (request.method() == Method::Get) {
        const QUrlQuery query(request.url());
        if (!query.hasQueryItem(QStringLiteral("q"))) {
            reply(request, responder, notesListJson(m_store->notes(accountId)));
            return;
        }
        // Every word is only text: quotes, stars, NEAR, columns and operators match nothing of their own.
        const QStringList words = NoteSearch::words(query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded));
        reply(request, responder, notesListJson(words.isEmpty() ? QList<StoredNote>() : m_store->searchNotes(accountId, words)));
        return;
    }
    if (m_failSessions) {
        replyError(request, responder, Status::InternalServerError, QStringLiteral("server_error"),
                   QStringLiteral("Saving notes is switched off for a test."));
        return;
    }
    const auto parsed = NotesBody::parse(request.body());
    if (!parsed.body) {
        replyError(request, responder, Status::BadRequest, QStringLiteral("invalid_notes"), parsed.error);
        return;
    }
    const auto id = m_store->saveNote(accountId, *parsed.body, QUuid::createUuid().toString(QUuid::WithoutBraces),
                                      m_options.nowMs());
    if (!id) {
        replyError(request, responder, Status::InternalServerError, QStringLiteral("server_error"),
                   QStringLiteral("The notes could not be stored."));
        return;
    }
    // The save answers now; the model is asked afterwards.
    m_summaries->ask(accountId, *id);
    reply(request, responder, QJsonObject{{QStringLiteral("session"), QJsonObject{{QStringLiteral("id"), *id}}}});
}

void ZarnoService::handleSession(const QString &id, const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    const Method method = request.method();
    if (method != Method::Get && method != Method::Patch && method != Method::Delete) {
        methodNotAllowed(request, responder);
        return;
    }
    qint64 accountId = 0;
    if (!requestedNote(id, method, request, responder, accountId))
        return;
    if (method == Method::Delete) {
        if (!m_store->deleteNote(accountId, id))
            return notFound(request, responder);
        logRequest(request, Status::NoContent);
        responder.write({{"Cache-Control", "no-store"}}, Status::NoContent);
        return;
    }
    if (method == Method::Patch) {
        const QJsonValue title = QJsonDocument::fromJson(request.body()).object().value(QLatin1StringView("title"));
        const QString trimmed = title.toString().trimmed();
        if (!title.isString() || trimmed.size() > NoteTitle::maxLength) {
            replyError(request, responder, Status::BadRequest, QStringLiteral("invalid_title"),
                       QStringLiteral("\"title\" must be a text of at most %1 characters.").arg(NoteTitle::maxLength));
            return;
        }
        if (!m_store->renameNote(accountId, id, trimmed))
            return notFound(request, responder);
    }
    const auto note = m_store->note(accountId, id);
    if (!note)
        return notFound(request, responder);
    reply(request, responder, withSummary(*note, m_summaries->opened(accountId, id)));
}

void ZarnoService::handleExport(const QString &id, const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    qint64 accountId = 0;
    const auto note = requestedNote(id, Method::Get, request, responder, accountId);
    if (!note)
        return;
    const QString format = QUrlQuery(request.url()).queryItemValue(QStringLiteral("format"));
    const QJsonObject session = withSummary(*note, m_summaries->state(id)).value(QLatin1StringView("session")).toObject();
    const auto file = NotesFile::render(session, format);
    if (!file) {
        replyError(request, responder, Status::BadRequest, QStringLiteral("invalid_format"),
                   QStringLiteral("\"format\" must be md, txt, srt or vtt."));
        return;
    }
    logRequest(request, Status::Ok);
    responder.write(file->body,
                    {{"Content-Type", file->contentType},
                     {"Content-Disposition", file->disposition},
                     {"Cache-Control", "no-store"},
                     {"X-Content-Type-Options", "nosniff"}},
                    Status::Ok);
}
