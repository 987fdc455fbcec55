#pragma once

#include "liveclaims.h"
#include "notesbody.h"
#include "passwordhash.h"
#include "summary.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>

struct ServiceOptions;

struct Account
{
    qint64 id = 0;
    QString email;
    qint64 createdAtMs = 0;
};

// The stored password of an address; no account when it has none yet.
struct Credentials
{
    bool ok = true; // false: the store could not be read
    std::optional<Account> account;
    StoredPassword password;
};

// Tokens are kept as SHA-256 digests only: the store never holds a usable token.
struct RefreshTokenRecord
{
    QString digest;
    qint64 accountId = 0;
    QString family; // every rotation of one sign-in
    qint64 createdAtMs = 0;
    std::optional<qint64> usedAtMs;
    bool revoked = false;
};

struct AccessTokenRecord
{
    QString digest;
    qint64 accountId = 0;
    QString family;
    qint64 expiresAtMs = 0;
};

// One sign-in key's failed attempts (an attempt counts as failed from the
// moment it starts) and its lock, shared by every instance on the store.
struct SignInFailures
{
    bool ok = true;       // false: the store could not be read or written
    bool counted = false; // false: the key was locked then, and nothing was counted
    int failures = 0;
    qint64 lockedUntilMs = 0;
};

// A lookup that tells "not there" from "the store failed".
template <typename T>
struct Found
{
    bool ok = true;
    std::optional<T> value;
};

// Where the service keeps accounts, tokens and notes. The rules (rotation,
// reuse detection, what a save means) live with the callers; an
// implementation keeps the data, each call whole or not at all, and creates
// and upgrades its own schema when it opens.
class Store
{
public:
    virtual ~Store() = default;

    // False when the database cannot be reached now; asking again tries to
    // reach it again. A file next to the service is always there.
    virtual bool reachable() { return true; }
    // Why reachable() is false, as a sentence for the client.
    [[nodiscard]] virtual QString unreachableText() const { return {}; }

    // The value stored under `key`; `candidate` is stored first when there is none.
    virtual std::optional<QString> settledValue(const QString &key, const QString &candidate) = 0;

    virtual Credentials credentials(const QString &email) = 0;
    virtual std::optional<Account> account(qint64 id) = 0;
    // Nothing when the address already has an account or the store failed.
    virtual std::optional<Account> createAccount(const QString &email, const StoredPassword &password,
                                                 qint64 createdAtMs) = 0;
    virtual bool replacePassword(qint64 accountId, const StoredPassword &password) = 0;

    virtual bool addRefreshToken(const RefreshTokenRecord &token) = 0;
    virtual Found<RefreshTokenRecord> refreshToken(const QString &digest) = 0;
    // Marks an unused refresh token used and stores its successor with the
    // successor's access token; false (and nothing changed) when it was used already.
    virtual bool rotate(const QString &digest, qint64 usedAtMs, const RefreshTokenRecord &successor,
                        const AccessTokenRecord &access) = 0;
    virtual void revokeFamily(const QString &family) = 0;
    virtual bool addAccessToken(const AccessTokenRecord &token) = 0;
    virtual std::optional<AccessTokenRecord> accessToken(const QString &digest) = 0;
    virtual void removeAccessToken(const QString &digest) = 0;
    // Forgets access tokens that expired before the first time and refresh
    // tokens made before the second.
    virtual void forgetTokens(qint64 accessExpiredBeforeMs, qint64 refreshMadeBeforeMs) = 0;

    // A rotated refresh token's successor, sealed so that only the rotated
    // token opens it, kept for the reuse interval. Rotations made before
    // forgetBeforeMs are dropped on the way.
    virtual bool keepRotation(const QString &digest, const QByteArray &sealedSuccessor, qint64 atMs,
                              qint64 forgetBeforeMs) = 0;
    // The sealed successor of a token rotated at or after notBeforeMs.
    virtual std::optional<QByteArray> rotation(const QString &digest, qint64 notBeforeMs) = 0;

    // Counts a failed attempt of the key at nowMs unless it is locked then, and
    // answers the key's state after; keys neither locked nor tried since
    // forgetIdleBeforeMs are dropped on the way.
    virtual SignInFailures countSignInFailure(const QString &key, qint64 nowMs, qint64 forgetIdleBeforeMs) = 0;
    // The key's state, nothing counted.
    virtual SignInFailures signInFailures(const QString &key) = 0;
    // Locks the key until then, unless it is locked longer already.
    virtual void lockSignIns(const QString &key, qint64 untilMs) = 0;
    // A success: the key starts afresh.
    virtual void clearSignInFailures(const QString &key) = 0;

    // Per account, a note is known by its body's sourceClientId: saving one
    // again replaces its content and keeps its id. The note's id, or nothing
    // on a storage failure; `newId` names a note saved for the first time.
    virtual std::optional<QString> saveNote(qint64 accountId, const NotesBody &body, const QString &newId,
                                            qint64 nowMs) = 0;
    // The account's notes, newest first, without their lines.
    virtual QList<StoredNote> notes(qint64 accountId) = 0;
    // One note with its lines, or nothing if it is not the account's.
    virtual std::optional<StoredNote> note(qint64 accountId, const QString &id) = 0;
    // The account's notes whose title, summary, lines or translations hold
    // every one of the user's `words`, each as the start of a word (any case,
    // accents ignored), best first, at most 100, without their lines, each
    // with a snippet. The words are only text: no operator of the store's own.
    virtual QList<StoredNote> searchNotes(qint64 accountId, const QStringList &words) = 0;
    // Gives a note the user's title; an empty one brings the automatic title
    // back. False when the note is not the account's or the store failed.
    virtual bool renameNote(qint64 accountId, const QString &id, const QString &title) = 0;
    // The note with its lines and summary; false when it is not the account's or the store failed.
    virtual bool deleteNote(qint64 accountId, const QString &id) = 0;

    // A note's summary is kept beside it, never in it: status Off when none was asked for.
    virtual NoteSummary noteSummary(const QString &noteId) = 0;
    // False when the note does not exist or the store failed.
    virtual bool keepSummary(const QString &noteId, const NoteSummary &summary) = 0;
    // (account, note) of every summary still pending, in the order they were asked for.
    virtual QList<std::pair<qint64, QString>> pendingSummaries() = 0;

    // Where this instance claims an account's one live connection; a store
    // that several instances share makes claims they all see.
    [[nodiscard]] virtual std::unique_ptr<LiveClaims> makeLiveClaims() { return std::make_unique<LocalLiveClaims>(); }
};

// The store the options name: PostgreSQL when a database address is given,
// else SQLite in the data directory. Nothing, with
// *error set to a sentence, when it cannot be opened.
[[nodiscard]] std::unique_ptr<Store> openStore(const ServiceOptions &options, QString *error);
