#include "mixcore/frame_level.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "pcm/sample_codec.h"

namespace _Carovel {
namespace {

// 16-bit and narrower samples square into 32 bits; their sums fit 64 bits
// for any frame a 32-bit length can hold, and the loops vectorise.
template <unsigned Bytes>
FrameLevel MeasureNarrow(const unsigned char* p, std::size_t samples) {
    std::int64_t sumSquares = 0;
    std::int32_t peak = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        const std::int32_t v = Codec<Bytes>::Read(p + i * Bytes);
        sumSquares += static_cast<std::int64_t>(v * v);
        const std::int32_t magnitude = v < 0 ? -v : v;
        peak = magnitude > peak ? magnitude : peak;
    }
    const double full = static_cast<double>(std::int64_t{1} << (8 * Bytes - 1));
    FrameLevel level;
    level.meanSquare = static_cast<float>(static_cast<double>(sumSquares) /
                                          (static_cast<double>(samples) * full * full));
    level.peak = static_cast<float>(peak / full);
    level.measured = true;
    return level;
}

// Wider samples are summed as doubles of full-scale fractions.
template <unsigned Bytes>
FrameLevel MeasureWide(const unsigned char* p, std::size_t samples) {
    const double scale = 1.0 / static_cast<double>(std::int64_t{1} << (8 * Bytes - 1));
    double sumSquares = 0.0;
    double peak = 0.0;
    for (std::size_t i = 0; i < samples; ++i) {
        const double v = Codec<Bytes>::Read(p + i * Bytes) * scale;
        sumSquares += v * v;
        peak = std::fabs(v) > peak ? std::fabs(v) : peak;
    }
    FrameLevel level;
    level.meanSquare = static_cast<float>(sumSquares / static_cast<double>(samples));
    level.peak = static_cast<float>(peak);
    level.measured = true;
    return level;
}

}  // namespace

FrameLevel MeasureFrameLevel(const char* data, std::size_t len, unsigned bytesPerSample) {
    FrameLevel level;
    level.measured = true;
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
            return MeasureNarrow<1>(p, samples);
        case 2:
            return MeasureNarrow<2>(p, samples);
        case 3:
            return MeasureWide<3>(p, samples);
        default:
            return MeasureWide<4>(p, samples);
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
