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

    // The base address, when it is usable: it parses strictly and names a
    // host. An empty, relative or malformed value gives nothing.
    [[nodiscard]] std::optional<QUrl> baseURL() const;
    // The base address with its path replaced; its query stays.
    [[nodiscard]] std::optional<QUrl> serviceURL(const QString &path) const;
    // The transcription WebSocket address of a leg.
    [[nodiscard]] std::optional<QUrl> transcribeURL(const QString &token) const;
};

// The store can hold secrets (the sign-in, where no keyring answers): only
// its owner may read it. prepare() makes the file private before the first
// secret is written, so no reader ever finds one in a file open to others
// (QSettings saves by replacing the file, which keeps its mode); close()
// saves and keeps it private.
namespace OwnerOnly {
void prepare(const QSettings &store);
void close(QSettings &store);
} // namespace OwnerOnly
