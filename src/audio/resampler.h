#pragma once

#include <QAudioFormat>
#include <QByteArray>

#include <memory>
#include <vector>

struct soxr;

// Streaming conversion of one input device's samples to the wire format:
// signed 16-bit, 16 000 Hz, mono, native byte order. The filter state runs on
// from buffer to buffer, so the outputs of successive calls join into one
// uninterrupted stream. One instance serves one capture.
class Resampler
{
public:
    static constexpr int outputRate = 16000;

    explicit Resampler(const QAudioFormat &input);
    ~Resampler();
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;

    // False when the input format cannot be converted; convert() then gives nothing.
    [[nodiscard]] bool isValid() const;
    [[nodiscard]] const QAudioFormat &inputFormat() const { return m_input; }

    // The most samples one conversion of `frames` input frames may yield.
    [[nodiscard]] static qsizetype outputCapacity(int inputRate, qsizetype frames);

    // Converts `frames` whole frames of interleaved input; the result holds
    // whatever the filter releases for them, possibly nothing.
    [[nodiscard]] QByteArray convert(const char *data, qsizetype frames);

private:
    void downmix(const char *data, qsizetype frames);

    QAudioFormat m_input;
    soxr *m_soxr = nullptr;
    bool m_passThrough = false;
    std::vector<float> m_mono;
};
