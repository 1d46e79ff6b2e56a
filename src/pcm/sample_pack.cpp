#include "pcm/sample_pack.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "pcm/sample_codec.h"

namespace _Carovel {
namespace {

constexpr double kFullScale = 2147483648.0;  // 2^31

}  // namespace

// One loop per width (WithCodec), which the compiler vectorises.
void PackFrom32BitScale(const std::int32_t* samples, std::size_t count, unsigned bytesPerSample,
                        char* out) {
    if (kLittleEndianMachine && bytesPerSample == 4) {
        std::memcpy(out, samples, count * 4);
        return;
    }
    auto* dst = reinterpret_cast<unsigned char*>(out);
    WithCodec(bytesPerSample, [&](auto codec) {
        constexpr unsigned kBytes = decltype(codec)::kWidth;
        for (std::size_t i = 0; i < count; ++i) {
            WriteAt32BitScale<kBytes>(dst + i * kBytes, samples[i]);
        }
    });
}

void UnpackTo32BitScale(const char* data, std::size_t count, unsigned bytesPerSample,
                        std::int32_t* out) {
    if (kLittleEndianMachine && bytesPerSample == 4) {
        std::memcpy(out, data, count * 4);
        return;
    }
    const auto* src = reinterpret_cast<const unsigned char*>(data);
    WithCodec(bytesPerSample, [&](auto codec) {
        constexpr unsigned kBytes = decltype(codec)::kWidth;
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = ReadAt32BitScale<kBytes>(src + i * kBytes);
        }
    });
}

void FloatTo32BitScale(const float* in, std::size_t count, std::int32_t* out) {
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i < count; ++i) {
        const double v = std::nearbyint(static_cast<double>(in[i]) * kFullScale);
        // NaN compares false both ways and becomes silence.
        out[i] = v >= kMax   ? std::numeric_limits<std::int32_t>::max()
                 : v <= kMin ? std::numeric_limits<std::int32_t>::min()
                 : v == v    ? static_cast<std::int32_t>(v)
                             : 0;
    }
}

void FloatFrom32BitScale(const std::int32_t* in, std::size_t count, float* out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<float>(static_cast<double>(in[i]) / kFullScale);
    }
}

}  // namespace _Carovel
