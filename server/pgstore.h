#pragma once

#include "store.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// Where a PostgreSQL database is: postgresql://USER@HOST:PORT/DBNAME. The
// password never comes from the address, which others can read on the
// command line.
struct PgAddress
{
    QString user;
    QString host;
    int port = 5432;
    QString database;
    QString password;

    // Nothing, with *error set to a sentence, when the address is unusable.
    [[nodiscard]] static std::optional<PgAddress> parse(const QString &url, QString *error);
    [[nodiscard]] QString where() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};

// The store in a PostgreSQL database, shared by every instance pointed at it.
// A call that meets a lost connection opens it again and runs once more,
// unless a commit may have gone through.
class PgStore final : public Store
{
public:
    explicit PgStore(PgAddress address);
    ~PgStore() override;
    PgStore(const PgStore &) = delete;
    PgStore &operator=(const PgStore &) = delete;

    // Connects and brings the schema up to date; false with errorText() set. The
    // timeout counts per address a name resolves to: two stay within ten seconds.
    bool open(int connectTimeoutSeconds = 4);
    [[nodiscard]] QString errorText() const { return m_error; }

    bool reachable() override;
    [[nodiscard]] QString unreachableText() const override;

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

    // Advisory locks on a connection of their own, made like the store's.
    [[nodiscard]] std::unique_ptr<LiveClaims> makeLiveClaims() override;

private:
    [[nodiscard]] QSqlDatabase db() const;
    bool connect(int connectTimeoutSeconds);
    bool migrate();
    bool createSchema(QSqlQuery &query);
    // Schema 2: sign-in failures and recent rotations.
    static bool addSignInTables(QSqlQuery &query);
    bool alive();

    // One statement with its values bound in order; a failure is remembered for retrying().
    bool exec(QSqlQuery &query);
    bool run(const QString &statement, const QVariantList &values);
    QSqlQuery prepared(const QString &statement, const QVariantList &values);
    bool begin();
    bool commit();
    void rollback();
    bool writeEntries(const QString &noteId, const QList<NoteEntry> &entries);
    bool reindexNote(const QString &id);

    template <typename Call>
    auto retrying(Call call) -> decltype(call())
    {
        m_failed = false;
        m_commitUncertain = false;
        auto result = call();
        if (m_failed && !m_commitUncertain && !alive() && connect(2)) {
            m_failed = false;
            result = call();
        }
        return result;
    }

    PgAddress m_address;
    QString m_connectionName;
    QString m_error;
    bool m_failed = false;
    bool m_commitUncertain = false;
    bool m_lost = false;
    bool m_opened = false;
};
