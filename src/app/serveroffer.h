#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// What the server says its transcription can do, from the "engine" object of
// its "/api/auth/config" answer. A server that says nothing readable leaves
// every target of the menu offered.
namespace ServerOffer {

// The languages the server translates into, or nothing when it does not say.
[[nodiscard]] std::optional<QStringList> translationTargets(const QByteArray &configJson);

// The languages its engine hears, or nothing when it does not say.
[[nodiscard]] std::optional<QStringList> sourceLanguages(const QByteArray &configJson);
// The engine's name ("local", "soniox"), empty when it does not say.
[[nodiscard]] QString engineName(const QByteArray &configJson);
// Whether the answer is a sign-in configuration at all: a zarno server's.
[[nodiscard]] bool isConfiguration(const QByteArray &configJson);

// Whether the menu offers `code` given what the server said.
[[nodiscard]] bool offers(const std::optional<QStringList> &targets, const QString &code);

} // namespace ServerOffer
