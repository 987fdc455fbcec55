#include "notesupload.h"

#include "clock.h"
#include "transcript.h"

#include <QCoroNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>
#include <QTimeZone>

QList<TranscriptLine> savedLines(const QList<TranscriptLine> &lines)
{
    QList<TranscriptLine> saved;
    for (const TranscriptLine &line : lines) {
        if (!trimmedSpacesAndTabs(line.text).isEmpty())
            saved.append(line);
    }
    return saved;
}

QJsonObject notesBody(const QList<TranscriptLine> &lines, const NotesSession &session, const ZarnoSettings &settings)
{
    QJsonArray entries;
    for (const TranscriptLine &line : lines) {
        entries.append(QJsonObject{
            {QStringLiteral("t"), line.t.toMSecsSinceEpoch()},
            {QStringLiteral("text"), trimmedSpacesAndTabs(line.text)},
            {QStringLiteral("lang"), line.lang.value_or(settings.languageB)},
            {QStringLiteral("translated"), line.isTranslation},
        });
    }
    const QDateTime startedAt = session.startedAt.value_or(lines.first().t);
    return QJsonObject{
        {QStringLiteral("sourceClientId"),
         session.sourceClientId.value_or(QStringLiteral("mac_") + QString::number(Clock::now().toSecsSinceEpoch()))},
        {QStringLiteral("startedAt"), startedAt.toMSecsSinceEpoch()},
        {QStringLiteral("endedAt"), lines.last().t.toMSecsSinceEpoch()},
        {QStringLiteral("sourceLanguage"), settings.languageA},
        {QStringLiteral("targetLanguage"), settings.languageB},
        {QStringLiteral("onlyTranscript"), settings.transcriptOnly},
        {QStringLiteral("timezone"), QString::fromUtf8(QTimeZone::systemTimeZoneId())},
        {QStringLiteral("entries"), entries},
    };
}

QCoro::Task<UploadOutcome> uploadNotes(QNetworkAccessManager *network, QUrl url, QString token, QByteArray body,
                                       std::chrono::milliseconds timeout)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(timeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    // The manager owns the reply and may delete it first.
    QPointer<QNetworkReply> reply = network->post(request, body);
    const auto release = qScopeGuard([reply] {
        if (reply)
            reply->deleteLater();
    });
    co_await reply.data();
    if (!reply)
        co_return UploadOutcome{UploadOutcome::Kind::Abandoned, std::nullopt};
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status != 200)
        co_return UploadOutcome{UploadOutcome::Kind::Failed, std::nullopt};
    const QJsonDocument answer = QJsonDocument::fromJson(reply->readAll());
    const QJsonValue id = answer.object().value(QStringLiteral("session")).toObject().value(QStringLiteral("id"));
    co_return UploadOutcome{UploadOutcome::Kind::Saved,
                            id.isString() ? std::optional<QString>(id.toString()) : std::nullopt};
}
