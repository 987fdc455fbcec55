#pragma once

// The wire format's rate: 16 kHz mono signed 16-bit. The capture asks the
// sound server for it, and the server converts from the device's own.
struct Resampler
{
    static constexpr int outputRate = 16000;
};
