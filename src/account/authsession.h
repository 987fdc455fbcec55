#pragma once

#include "accesstokens.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

class ServiceClient;

// The user's sign-in, kept in the standard settings store between launches.
// Its access token is renewed with the refresh-token grant only when a caller
// asks for one that is about to expire. Lives on the GUI thread.
class AuthSession : public QObject, public AccessTokenSource
{
    Q_OBJECT
    // Null when signed out or unknown.
    Q_PROPERTY(QString email READ email NOTIFY emailChanged)

public:
    // A token this close to its expiry is renewed before it is handed out.
    static constexpr double renewalMarginSeconds = 120;

    // Tests make their own; the application uses shared().
    explicit AuthSession(QObject *parent = nullptr);

    [[nodiscard]] static AuthSession &shared();

    [[nodiscard]] QString email() const { return m_email; }
    [[nodiscard]] bool isSignedIn() const;

    [[nodiscard]] QCoro::Task<std::optional<QString>> validAccessToken() override;
    [[nodiscard]] std::optional<QString> renewalProblem() const override { return m_renewalProblem; }

    static inline const QString unreachableText = QStringLiteral("Could not reach the server to renew the sign-in.");
    static inline const QString renewalFailedText =
        QStringLiteral("The server could not renew the sign-in — try again in a moment.");
    void adopt(const QString &accessToken, const QString &refreshToken, double expiresAt,
               const std::optional<QString> &email);
    void signOut();
    // Adopts a sign-in copied from the web page, unless this application has
    // renewed that sign-in since: the page's copy then carries a spent
    // refresh token and would sign the user out at the next renewal.
    // Returns whether it was adopted.
    bool adoptFromPage(const QString &accessToken, const QString &refreshToken, double expiresAt,
                       const std::optional<QString> &email);

    // Each of the two renewal requests is abandoned after this long.
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }

    // The client of the zarno service this sign-in renews through; the
    // application's one, which the rest of it shares.
    [[nodiscard]] ServiceClient &client();

Q_SIGNALS:
    void emailChanged();
    // A renewal ended, well or not; callers that waited for it look again.
    void renewalFinished();
    // This application renewed the sign-in: the web page, which shares it,
    // must take the new tokens, or its next renewal spends the old refresh
    // token again and the service revokes the whole sign-in.
    void renewed(const QString &accessToken, const QString &refreshToken, double expiresAt);

private:
    QCoro::Task<std::optional<QString>> refresh(QString refreshToken);
    void setEmail(const QString &email);

    QString m_email;
    std::optional<QString> m_renewalProblem;
    std::chrono::milliseconds m_requestTimeout{60000};
    ServiceClient *m_client = nullptr;
    bool m_renewing = false;
};
