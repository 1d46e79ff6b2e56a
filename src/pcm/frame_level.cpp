#include "pcm/frame_level.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "engine/vector_clones.h"
#include "pcm/sample_codec.h"

// Like the mixing kernel, built for AVX2 and for the baseline (see
// vector_clones.h).

namespace _Carovel {
namespace {

// Squares in float lanes and the extremes in integer lanes, which the
// compiler vectorises: a float's 24-bit mantissa is plenty for a level in
// dB, and a float holds the square of any 32-bit sample. Samples are read at
// their own width (S holds one), so 8- and 16-bit extremes take one
// instruction per lane group.
template <unsigned Bytes, class S>
CAROVEL_VECTOR_INLINE FrameLevel MeasureLanes(const unsigned char* p, std::size_t samples) {
    constexpr std::size_t kLanes = 16;
    float sums[kLanes] = {};
    S highs[kLanes] = {};
    S lows[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= samples; i += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j) {
            const auto v = static_cast<S>(Codec<Bytes>::Read(p + (i + j) * Bytes));
            highs[j] = highs[j] < v ? v : highs[j];
            lows[j] = v < lows[j] ? v : lows[j];
            const auto f = static_cast<float>(v);
            sums[j] += f * f;
        }
    }
    double sum = 0.0;
    std::int64_t high = 0;
    std::int64_t low = 0;
    for (std::size_t j = 0; j < kLanes; ++j) {
        sum += sums[j];
        high = std::max<std::int64_t>(high, highs[j]);
        low = std::min<std::int64_t>(low, lows[j]);
    }
    for (; i < samples; ++i) {
        const std::int64_t v = Codec<Bytes>::Read(p + i * Bytes);
        sum += static_cast<double>(v) * static_cast<double>(v);
        high = std::max(high, v);
        low = std::min(low, v);
    }
    const double full = static_cast<double>(std::int64_t{1} << (8 * Bytes - 1));
    FrameLevel level;
    level.meanSquare = static_cast<float>(sum / (static_cast<double>(samples) * full * full));
    level.peak = static_cast<float>(static_cast<double>(std::max(high, -low)) / full);
    level.measured = true;
    return level;
}

CAROVEL_VECTOR_CLONES FrameLevel Measure8(const unsigned char* p, std::size_t samples) {
    return MeasureLanes<1, std::int8_t>(p, samples);
}
CAROVEL_VECTOR_CLONES FrameLevel Measure16(const unsigned char* p, std::size_t samples) {
    return MeasureLanes<2, std::int16_t>(p, samples);
}
CAROVEL_VECTOR_CLONES FrameLevel Measure24(const unsigned char* p, std::size_t samples) {
    return MeasureLanes<3, std::int32_t>(p, samples);
}
CAROVEL_VECTOR_CLONES FrameLevel Measure32(const unsigned char* p, std::size_t samples) {
    return MeasureLanes<4, std::int32_t>(p, samples);
}

CAROVEL_VECTOR_CLONES FrameLevel MeasureFloat(const unsigned char* p, std::size_t samples) {
    double sum = 0.0;
    float peak = 0.0f;
    for (std::size_t i = 0; i < samples; ++i) {
        const float v = Float32::Read(p + 4 * i);
        sum += static_cast<double>(v) * static_cast<double>(v);
        peak = std::max(peak, std::fabs(v));
    }
    FrameLevel level;
    level.meanSquare = static_cast<float>(sum / static_cast<double>(samples));
    level.peak = peak;
    level.measured = true;
    return level;
}

}  // namespace

FrameLevel MeasureFrameLevel(const char* data, std::size_t len, unsigned bytesPerSample) {
    FrameLevel level;
    level.measured = true;
    if (bytesPerSample == kFloatLevelWidth && data != nullptr && len >= 4) {
        return MeasureFloat(reinterpret_cast<const unsigned char*>(data), len / 4);
    }
    if (!IsSupportedWidth(bytesPerSample) || data == nullptr) {
        return level;
    }
    const std::size_t samples = len / bytesPerSample;
    if (samples == 0) {
        return level;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    switch (bytesPerSample) {
        case 1:
            return Measure8(p, samples);
        case 2:
            return Measure16(p, samples);
        case 3:
            return Measure24(p, samples);
        default:
            return Measure32(p, samples);
    }
}

double MeanSquareDbfs(float meanSquare) {
    return meanSquare > 0.0f ? 10.0 * std::log10(static_cast<double>(meanSquare))
                             : -std::numeric_limits<double>::infinity();
}

double PeakDbfs(float peak) {
    return peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak))
                       : -std::numeric_limits<double>::infinity();
}

}  // namespace _Carovel
