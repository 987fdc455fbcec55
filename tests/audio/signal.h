#pragma once

// Small measurements of test signals: making tones and reading back their
// frequency, level and smoothness.

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace testsignal {

inline std::vector<double> samplesOf(const QByteArray &pcm16)
{
    std::vector<double> out(size_t(pcm16.size() / 2));
    for (size_t i = 0; i < out.size(); ++i) {
        qint16 s;
        std::memcpy(&s, pcm16.constData() + 2 * i, 2);
        out[i] = s / 32768.0;
    }
    return out;
}

inline double sine(double frequency, double rate, qsizetype index)
{
    return std::sin(2.0 * M_PI * frequency * double(index) / rate);
}

inline double rms(const std::vector<double> &x, size_t from, size_t to)
{
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += x[i] * x[i];
    return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
}

// Frequency from the spacing of upward zero crossings, interpolated between samples.
inline double frequency(const std::vector<double> &x, size_t from, size_t to, double rate)
{
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double at = double(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings > 1 ? rate * (crossings - 1) / (last - first) : 0.0;
}

// The largest second difference, relative to what a sine of this frequency
// and peak can have: a dropped, doubled or damaged stretch stands far above 1.
inline double roughness(const std::vector<double> &x, size_t from, size_t to, double frequency, double peak, double rate)
{
    const double w = 2.0 * M_PI * frequency / rate;
    const double allowed = peak * w * w + 4.0 / 32768.0;
    double worst = 0;
    for (size_t i = std::max<size_t>(from, 1); i + 1 < to; ++i)
        worst = std::max(worst, std::abs(x[i + 1] - 2 * x[i] + x[i - 1]));
    return worst / allowed;
}

// First and last sample whose magnitude reaches `threshold`.
inline std::pair<qsizetype, qsizetype> loudSpan(const std::vector<double> &x, double threshold)
{
    qsizetype first = -1, last = -1;
    for (size_t i = 0; i < x.size(); ++i) {
        if (std::abs(x[i]) >= threshold) {
            if (first < 0)
                first = qsizetype(i);
            last = qsizetype(i);
        }
    }
    return {first, last};
}

} // namespace testsignal
