#pragma once

#include "store.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// The store in one SQLite file. Each instance gets its own connection name so
// that several services (tests) can live in one process.
class SqliteStore final : public Store
{
public:
    SqliteStore() = default;
    ~SqliteStore() override;
    SqliteStore(const SqliteStore &) = delete;
    SqliteStore &operator=(const SqliteStore &) = delete;

    // Opens (and creates) the file and brings its schema up to date; false with errorText() set.
    bool open(const QString &filePath);
    [[nodiscard]] QString errorText() const { return m_error; }

    std::optional<QString> settledValue(const QString &key, const QString &candidate) override;

    Credentials credentials(const QString &email) override;
    std::optional<Account> account(qint64 id) override;
    std::optional<Account> createAccount(const QString &email, const StoredPassword &password,
                                         qint64 createdAtMs) override;
    bool replacePassword(qint64 accountId, const StoredPassword &password) override;

    bool addRefreshToken(const RefreshTokenRecord &token) override;
    Found<RefreshTokenRecord> refreshToken(const QString &digest) override;
    bool rotate(const QString &digest, qint64 usedAtMs, const RefreshTokenRecord &successor,
                const AccessTokenRecord &access) override;
    void revokeFamily(const QString &family) override;
    bool addAccessToken(const AccessTokenRecord &token) override;
    std::optional<AccessTokenRecord> accessToken(const QString &digest) override;
    void removeAccessToken(const QString &digest) override;
    void forgetTokens(qint64 accessExpiredBeforeMs, qint64 refreshMadeBeforeMs) override;

    bool keepRotation(const QString &digest, const QByteArray &sealedSuccessor, qint64 atMs,
                      qint64 forgetBeforeMs) override;
    std::optional<QByteArray> rotation(const QString &digest, qint64 notBeforeMs) override;
    SignInFailures countSignInFailure(const QString &key, qint64 nowMs, qint64 forgetIdleBeforeMs) override;
    SignInFailures signInFailures(const QString &key) override;
    void lockSignIns(const QString &key, qint64 untilMs) override;
    void clearSignInFailures(const QString &key) override;

    std::optional<QString> saveNote(qint64 accountId, const NotesBody &body, const QString &newId,
                                    qint64 nowMs) override;
    QList<StoredNote> notes(qint64 accountId) override;
    std::optional<StoredNote> note(qint64 accountId, const QString &id) override;
    QList<StoredNote> searchNotes(qint64 accountId, const QStringList &words) override;
    bool renameNote(qint64 accountId, const QString &id, const QString &title) override;
    bool deleteNote(qint64 accountId, const QString &id) override;

    NoteSummary noteSummary(const QString &noteId) override;
    bool keepSummary(const QString &noteId, const NoteSummary &summary) override;
    QList<std::pair<qint64, QString>> pendingSummaries() override;

private:
    [[nodiscard]] QSqlDatabase db() const;
    bool upgrade();
    // Schema 4: the user's titles, labels on lines, and the full-text index, filled.
    static bool addNotesIndex(QSqlQuery &query);
    // Schema 5: sign-in failures and recent rotations, shared by every instance on the store.
    static bool addSignInTables(QSqlQuery &query);
    bool writeEntries(const QString &noteId, const QList<NoteEntry> &entries);
    // The note's row in the full-text index, made again from what is stored.
    bool reindexNote(const QString &id);

    QString m_connectionName;
    QString m_error;
};
