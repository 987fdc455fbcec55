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
};
