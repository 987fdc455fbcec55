#include "servermessages.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

SpokenPiece token(const QString &text, bool final, bool translation, std::optional<QString> language)
{
    SpokenPiece piece;
    piece.text = text;
    piece.final = final;
    piece.translation = translation;
    piece.language = std::move(language);
    return piece;
}

TranscriptUpdate message(QList<SpokenPiece> pieces)
{
    TranscriptUpdate update;
    update.pieces = std::move(pieces);
    return update;
}

QByteArray finMarkerJson()
{
    return R"({"tokens":[{"text":"<fin>","is_final":true}]})";
}

QByteArray finalTokensJson(const QStringList &texts, bool translation, const QString &language)
{
    QJsonArray tokens;
    for (const QString &text : texts) {
        QJsonObject token{{QStringLiteral("text"), text}, {QStringLiteral("is_final"), true}};
        if (translation)
            token[QStringLiteral("translation_status")] = QStringLiteral("translation");
        if (!language.isEmpty())
            token[QStringLiteral("language")] = language;
        tokens.append(token);
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("tokens"), tokens}}).toJson(QJsonDocument::Compact);
}

QStringList lineTexts(const QList<TranscriptLine> &lines)
{
    QStringList result;
    for (const TranscriptLine &line : lines)
        result << line.text;
    return result;
}

QJsonValue fixture(const QString &name)
{
    QFile file(QDir(QStringLiteral(ZARNO_TEST_DATA)).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test fixture %s", qPrintable(file.fileName()));
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}
