#pragma once

#include "signinthrottle.h"

#include <QObject>
#include <QThreadPool>

class Accounts;
class QHttpServerRequest;
class QHttpServerResponder;
class Store;
struct ServiceOptions;

// The password grant, answered later: the hash is checked on a worker thread
// so that guessing never stalls the thread that serves every client, and
// guessing one account backs off with 429 before any hashing.
class PasswordGrants : public QObject
{
    Q_OBJECT
public:
    PasswordGrants(Accounts &accounts, Store &store, const ServiceOptions &options, QObject *parent = nullptr);
    // Waits for hashing still running: its results would reach a dead object.
    ~PasswordGrants() override;

    void start(const QHttpServerRequest &request, QHttpServerResponder &&responder, const QString &email,
               const QString &password);

    [[nodiscard]] int hashesWaiting() const { return m_jobs; }

private:
    struct Attempt;
    void check(std::shared_ptr<Attempt> attempt);
    void finish(std::shared_ptr<Attempt> attempt);

    Accounts &m_accounts;
    const ServiceOptions &m_options;
    SignInThrottle m_throttle;
    QThreadPool m_pool;
    int m_jobs = 0;
};
