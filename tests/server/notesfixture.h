#pragma once

// A notes body as the app uploads it, for the service's tests.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// One spoken line, its translation and a blank line, a second apart.
inline QJsonObject notes(qint64 startedAt, const QString &firstLine = QStringLiteral("Hello everyone."))
{
    return QJsonObject{
        {"sourceClientId", QStringLiteral("mac_%1_ab12c").arg(startedAt / 1000)},
        {"startedAt", startedAt},
        {"endedAt", startedAt + 60000},
        {"sourceLanguage", "any"},
        {"targetLanguage", "es"},
        {"onlyTranscript", false},
        {"timezone", "Europe/Berlin"},
        {"entries", QJsonArray{
             QJsonObject{{"t", startedAt + 1000}, {"text", firstLine}, {"lang", "en"}, {"translated", false}},
             QJsonObject{{"t", startedAt + 2000}, {"text", "Hola a todos."}, {"lang", "es"}, {"translated", true}},
             QJsonObject{{"t", startedAt + 3000}, {"text", "\n"}, {"lang", "en"}, {"translated", false}},
         }},
    };
}

inline QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
