#include "resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

template<typename Sample>
void mixDown(const char *data, qsizetype frames, int channels, float scale, float offset, float *out)
{
    const float perChannel = scale / float(channels);
    for (qsizetype frame = 0; frame < frames; ++frame) {
        float sum = 0.0f;
        for (int channel = 0; channel < channels; ++channel) {
            Sample sample;
            std::memcpy(&sample, data + (frame * channels + channel) * qsizetype(sizeof(Sample)), sizeof(Sample));
            sum += float(sample) - offset;
        }
        out[frame] = sum * perChannel;
    }
}

qint16 toSample(float value)
{
    return qint16(std::clamp(std::lrint(double(value) * 32768.0), -32768L, 32767L));
}

} // namespace

Resampler::Resampler(const QAudioFormat &input)
    : m_input(input)
{
    if (input.sampleRate() <= 0 || input.channelCount() <= 0 || input.sampleFormat() == QAudioFormat::Unknown)
        return;
    // At the output rate there is nothing to resample, and the filter would
    // still hold back a few samples of every buffer.
    if (input.sampleRate() == outputRate) {
        m_passThrough = true;
        return;
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    // Silence stays digital silence on the wire.
    quality.flags |= SOXR_NO_DITHER;
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    m_soxr = soxr_create(double(input.sampleRate()), double(outputRate), 1, &error, &io, &quality, &runtime);
    if (error)
        m_soxr = nullptr;
}

Resampler::~Resampler()
{
    soxr_delete(m_soxr);
}

bool Resampler::isValid() const
{
    return m_passThrough || m_soxr;
}

qsizetype Resampler::outputCapacity(int inputRate, qsizetype frames)
{
    if (inputRate <= 0 || frames <= 0)
        return 0;
    return qsizetype(std::floor(double(outputRate) / double(inputRate) * double(frames))) + 16;
}

void Resampler::downmix(const char *data, qsizetype frames)
{
    m_mono.resize(size_t(frames));
    const int channels = m_input.channelCount();
    switch (m_input.sampleFormat()) {
    case QAudioFormat::UInt8:
        mixDown<quint8>(data, frames, channels, 1.0f / 128.0f, 128.0f, m_mono.data());
        break;
    case QAudioFormat::Int16:
        mixDown<qint16>(data, frames, channels, 1.0f / 32768.0f, 0.0f, m_mono.data());
        break;
    case QAudioFormat::Int32:
        mixDown<qint32>(data, frames, channels, 1.0f / 2147483648.0f, 0.0f, m_mono.data());
        break;
    case QAudioFormat::Float:
        mixDown<float>(data, frames, channels, 1.0f, 0.0f, m_mono.data());
        break;
    case QAudioFormat::Unknown:
    case QAudioFormat::NSampleFormats:
        std::fill(m_mono.begin(), m_mono.end(), 0.0f);
        break;
    }
}

QByteArray Resampler::convert(const char *data, qsizetype frames)
{
    // An empty input would tell soxr the stream has ended.
    if (!isValid() || !data || frames <= 0)
        return {};
    downmix(data, frames);

    if (m_passThrough) {
        QByteArray out(frames * qsizetype(sizeof(qint16)), Qt::Uninitialized);
        auto *samples = reinterpret_cast<qint16 *>(out.data());
        for (qsizetype i = 0; i < frames; ++i)
            samples[i] = toSample(m_mono[size_t(i)]);
        return out;
    }

    const qsizetype capacity = outputCapacity(m_input.sampleRate(), frames);
    QByteArray out(capacity * qsizetype(sizeof(qint16)), Qt::Uninitialized);
    size_t consumed = 0;
    size_t produced = 0;
    // soxr takes the whole input into its own queue and keeps what does not
    // fit into the output for the next call.
    const soxr_error_t error = soxr_process(m_soxr, m_mono.data(), size_t(frames), &consumed,
                                            out.data(), size_t(capacity), &produced);
    if (error || produced == 0)
        return {};
    out.truncate(qsizetype(produced) * qsizetype(sizeof(qint16)));
    return out;
}
