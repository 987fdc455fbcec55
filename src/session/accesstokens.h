#pragma once

#include <QString>

#include <QCoroTask>

#include <optional>

// What the session controller needs of the sign-in; AuthSession is the real one.
class AccessTokenSource
{
public:
    virtual ~AccessTokenSource() = default;
    // A usable access token, renewed first when it is about to expire, or
    // nothing when the user is not signed in.
    [[nodiscard]] virtual QCoro::Task<std::optional<QString>> validAccessToken() = 0;
    // Why the last validAccessToken() gave nothing although the sign-in is
    // kept (the renewal could not be made); nothing when the user is simply
    // not signed in.
    [[nodiscard]] virtual std::optional<QString> renewalProblem() const { return std::nullopt; }
};
