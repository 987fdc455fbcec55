#include "systemmicpermission.h"

MicPermission::Status SystemMicPermission::status() const
{
    return Status::Authorized;
}

QCoro::Task<bool> SystemMicPermission::request()
{
    co_return true;
}
