#pragma once

#include <cstdint>
#include <memory>

namespace webrtc {
class AudioProcessing;
class AudioFrame;
} // namespace webrtc

// Takes the computer's own sound out of the microphone, 10 ms at a time at
// the wire's rate, with WebRTC's audio processing: the computer's sound is
// the reference (what the speakers play), the microphone what it cleans.
class EchoCanceller
{
public:
    static constexpr int frameSamples = 160; // 10 ms at 16 kHz

    explicit EchoCanceller(bool suppressNoise = false);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller &) = delete;
    EchoCanceller &operator=(const EchoCanceller &) = delete;

    // One frame of each side, taken at the same time; `mic` is cleaned in place.
    void process(const int16_t *system, int16_t *mic);

private:
    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    std::unique_ptr<webrtc::AudioFrame> m_reference;
    std::unique_ptr<webrtc::AudioFrame> m_capture;
};
