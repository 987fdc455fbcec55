#pragma once

#include <QList>
#include <QSettings>
#include <QString>
#include <QUrl>

#include <optional>

struct TargetLanguage
{
    QString code;
    QString name;
};

// The languages offered for translation, in the order the menu shows them.
[[nodiscard]] const QList<TargetLanguage> &supportedTargetLanguages();

// A snapshot of the stored settings, read afresh whenever it is needed so
// that a change takes effect at the next leg, save or page load.
struct ZarnoSettings
{
    QString serverURL;
    QString languageA;
    QString languageB;
    bool transcriptOnly = false;

    [[nodiscard]] static ZarnoSettings load(const QSettings &store);
    // From the standard store.
    [[nodiscard]] static ZarnoSettings load();
    // The user's settings: organisation and application "zarno", native
    // format ($XDG_CONFIG_HOME/zarno/zarno.conf on Linux).
    [[nodiscard]] static QSettings standardStore();
    [[nodiscard]] static QString defaultServerURL();
    // A sentence naming the settings file when it is there but cannot be
    // read (no permission, a folder in its place, not settings at all), so
    // that its effects (no sign-in, the default server) are not blamed on
    // anything else; nothing when it reads or does not exist yet.
    [[nodiscard]] static std::optional<QString> storeProblem(const QSettings &store);
    [[nodiscard]] static std::optional<QString> storeProblem();

    // The base address, when it is usable: it parses strictly and names a
    // host. An empty, relative or malformed value gives nothing.
    [[nodiscard]] std::optional<QUrl> baseURL() const;
    // The base address with its path replaced; its query stays.
    [[nodiscard]] std::optional<QUrl> serviceURL(const QString &path) const;
    // The transcription WebSocket address of a leg.
    [[nodiscard]] std::optional<QUrl> transcribeURL(const QString &token) const;
};

// A stored text, or nothing for a missing key or one that holds no text. The
// store reads a value with an unquoted comma (one written by hand) as a
// list of its parts: that is read back as the text it was.
[[nodiscard]] std::optional<QString> storedText(const QSettings &store, const QString &key);

// The store can hold secrets (the sign-in, where no keyring answers): only
// its owner may read it. prepare() makes the file private before the first
// secret is written, so no reader ever finds one in a file open to others
// (QSettings saves by replacing the file, which keeps its mode); close()
// saves and keeps it private.
namespace OwnerOnly {
void prepare(const QSettings &store);
void close(QSettings &store);
} // namespace OwnerOnly
