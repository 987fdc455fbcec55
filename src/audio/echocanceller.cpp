#include "echocanceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <cstring>

namespace {

void fill(webrtc::AudioFrame &frame, const int16_t *samples)
{
    frame.sample_rate_hz_ = 16000;
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = EchoCanceller::frameSamples;
    std::memcpy(frame.data_, samples, sizeof(int16_t) * EchoCanceller::frameSamples);
}

} // namespace

EchoCanceller::EchoCanceller(bool suppressNoise)
    : m_reference(std::make_unique<webrtc::AudioFrame>())
    , m_capture(std::make_unique<webrtc::AudioFrame>())
{
    webrtc::Config config;
    // The two sides come from separate devices whose delay no one reports
    // (the output's buffer alone can hold 100 ms): the canceller finds it
    // itself, over the longer filter that reaches that far.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    m_apm.reset(webrtc::AudioProcessing::Create(config));
    m_apm->echo_cancellation()->enable_drift_compensation(false);
    // The user talking over the others is kept: a stronger suppressor takes
    // 10-25 dB off their voice whenever the others speak too, for a few dB
    // less echo, which the computer's own sound masks in the mix anyway.
    m_apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kLowSuppression);
    m_apm->echo_cancellation()->Enable(true);
    if (suppressNoise) {
        m_apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate);
        m_apm->noise_suppression()->Enable(true);
    }
}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::process(const int16_t *system, int16_t *mic)
{
    fill(*m_reference, system);
    m_apm->ProcessReverseStream(m_reference.get());
    fill(*m_capture, mic);
    m_apm->set_stream_delay_ms(0);
    m_apm->ProcessStream(m_capture.get());
    std::memcpy(mic, m_capture->data_, sizeof(int16_t) * frameSamples);
}
