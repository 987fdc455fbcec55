#pragma once

#include <QSet>
#include <QtGlobal>

// Which accounts have a live transcription, seen by every instance that
// shares the store: one live connection per account, whichever instance
// serves it.
class LiveClaims
{
public:
    enum class Claim { Claimed, Taken, Unavailable };

    virtual ~LiveClaims() = default;
    // Claims the account for this instance until release().
    [[nodiscard]] virtual Claim claim(qint64 accountId) = 0;
    virtual void release(qint64 accountId) = 0;
};

// One instance alone on its store: its own memory is the whole truth.
class LocalLiveClaims final : public LiveClaims
{
public:
    Claim claim(qint64 accountId) override
    {
        if (m_claimed.contains(accountId))
            return Claim::Taken;
        m_claimed.insert(accountId);
        return Claim::Claimed;
    }
    void release(qint64 accountId) override { m_claimed.remove(accountId); }

private:
    QSet<qint64> m_claimed;
};
