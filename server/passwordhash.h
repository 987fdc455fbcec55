#pragma once

#include <QByteArray>
#include <QString>

// How a password is stored: Argon2id in its encoded string form, or the older
// PBKDF2-SHA256 records (salt, digest, rounds) that accounts made before keep
// until their next successful sign-in.
struct StoredPassword
{
    QByteArray hash;      // Argon2id: the encoded "$argon2id$..." string; PBKDF2: the raw digest
    QByteArray salt;      // PBKDF2 only
    int iterations = 0;   // PBKDF2 rounds; 0 means Argon2id

    [[nodiscard]] bool isArgon2id() const { return iterations == 0; }
};

// Argon2id cost: memory in bytes and passes. Tests use the smallest.
struct PasswordCost
{
    quint64 memoryBytes = 19 * 1024 * 1024;
    quint64 passes = 2;

    [[nodiscard]] static PasswordCost minimal();
};

// Slow on purpose (tens of milliseconds): call these off the thread that serves clients.
namespace PasswordHash {
[[nodiscard]] bool available();
// An Argon2id record; empty hash when hashing failed (out of memory).
[[nodiscard]] StoredPassword make(const QString &password, const PasswordCost &cost);
[[nodiscard]] bool verify(const QString &password, const StoredPassword &stored);
// A matching record that should be made again with today's scheme or cost.
[[nodiscard]] bool needsRehash(const StoredPassword &stored, const PasswordCost &cost);
// The older scheme, kept for records made with it (and for tests that make one).
[[nodiscard]] QByteArray pbkdf2(const QString &password, const QByteArray &salt, int iterations);
}
