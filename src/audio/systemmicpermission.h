#pragma once

#include "microphone.h"

// The operating system's microphone permission. Linux has none to ask for,
// so there it is always granted.
class SystemMicPermission final : public MicPermission
{
public:
    [[nodiscard]] Status status() const override;
    [[nodiscard]] QCoro::Task<bool> request() override;
};
