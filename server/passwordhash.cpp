#include "passwordhash.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>

#include <sodium.h>

namespace {

constexpr int pbkdf2Bytes = 32;

// Compares without an early exit so timing tells nothing about the digest.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

} // namespace

PasswordCost PasswordCost::minimal()
{
    return {crypto_pwhash_MEMLIMIT_MIN, crypto_pwhash_OPSLIMIT_MIN};
}

bool PasswordHash::available()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

StoredPassword PasswordHash::make(const QString &password, const PasswordCost &cost)
{
    StoredPassword stored;
    if (!available())
        return stored;
    const QByteArray utf8 = password.toUtf8();
    char encoded[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(encoded, utf8.constData(), quint64(utf8.size()), cost.passes, size_t(cost.memoryBytes),
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return stored;
    stored.hash = QByteArray(encoded);
    return stored;
}

bool PasswordHash::verify(const QString &password, const StoredPassword &stored)
{
    const QByteArray utf8 = password.toUtf8();
    if (!stored.isArgon2id())
        return !stored.hash.isEmpty() && sameBytes(stored.hash, pbkdf2(password, stored.salt, stored.iterations));
    if (!available() || stored.hash.isEmpty() || stored.hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    const QByteArray encoded = stored.hash; // NUL-terminated copy
    return crypto_pwhash_str_verify(encoded.constData(), utf8.constData(), quint64(utf8.size())) == 0;
}

bool PasswordHash::needsRehash(const StoredPassword &stored, const PasswordCost &cost)
{
    if (!stored.isArgon2id())
        return true;
    return crypto_pwhash_str_needs_rehash(stored.hash.constData(), cost.passes, size_t(cost.memoryBytes)) != 0;
}

QByteArray PasswordHash::pbkdf2(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              std::max(1, iterations), pbkdf2Bytes);
}
