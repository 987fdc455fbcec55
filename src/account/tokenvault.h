#pragma once

#include <QString>

#include <memory>
#include <optional>

// Where the sign-in's access and refresh tokens are kept: the desktop's
// keyring (the Secret Service) when one answers, else the owner-only
// settings file, as on a headless machine. One per process; the keyring is
// asked once at start and its answer kept in memory, so reads never wait.
class TokenVault
{
public:
    struct Tokens
    {
        QString access;
        QString refresh;
    };
    enum class Place { Keyring, SettingsFile };

    [[nodiscard]] static TokenVault &shared();

    [[nodiscard]] Place place() const { return m_place; }
    [[nodiscard]] Tokens tokens() const;
    void store(const Tokens &tokens);
    void forget();
    // Waits (a little) for the keyring to take what was handed to it, so a
    // quit right after a renewal does not lose the new refresh token.
    void flush();

    // The keyring entry (service and key) the tokens live under.
    static const QString keyringService;
    static const QString keyringKey;

private:
    TokenVault();
    void useSettingsFile(const QString &why);
    void writeToKeyring(const Tokens &tokens);

    Place m_place = Place::SettingsFile;
    Tokens m_cached;
    int m_pendingWrites = 0;
};
