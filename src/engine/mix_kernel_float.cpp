// The summing stage for the float mixing format: sums kept in float, gains
// applied as float factors, nothing clamped.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/mix_kernel.h"
#include "engine/vector_clones.h"
#include "pcm/sample_codec.h"

namespace _Carovel {
namespace {

// Positions summed per block of the plain mix, on the stack.
constexpr std::size_t kFloatBlock = 2048;

// A gain at 1/65536 scale as a float factor: exact (gains are below 2^21).
CAROVEL_VECTOR_INLINE float GainFactor(const std::int32_t* gains, std::size_t f) {
    return gains != nullptr ? static_cast<float>(gains[f]) * (1.0f / 65536.0f) : 1.0f;
}

CAROVEL_VECTOR_INLINE float ReadFloat(const unsigned char* p) {
    if constexpr (kLittleEndianMachine) {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        return Float32::Read(p);
    }
}

CAROVEL_VECTOR_INLINE void WriteFloat(unsigned char* p, float v) {
    if constexpr (kLittleEndianMachine) {
        std::memcpy(p, &v, sizeof v);
    } else {
        Float32::Write(p, v);
    }
}

// Sums positions base..base+n-1 into acc[0..n): each frame's term added in
// frame order, the first setting the sums.
CAROVEL_VECTOR_INLINE void SumFloatBlock(const WaveFrame* const* frames, const std::int32_t* gains,
                                         std::size_t count, std::size_t base, std::size_t n,
                                         float* acc) {
    std::fill(acc, acc + n, 0.0f);
    for (std::size_t f = 0; f < count; ++f) {
        const std::size_t held = static_cast<std::size_t>(frames[f]->nLen) / 4;
        if (held <= base) {
            continue;
        }
        const std::size_t len = std::min(n, held - base);
        const auto* src = reinterpret_cast<const unsigned char*>(frames[f]->pData) + base * 4;
        const float g = GainFactor(gains, f);
        CAROVEL_NO_OVERLAP
        for (std::size_t i = 0; i < len; ++i) {
            acc[i] += ReadFloat(src + 4 * i) * g;
        }
    }
}

}  // namespace

CAROVEL_VECTOR_CLONES void MixFramesFloat(const WaveFrame* const* frames, const std::int32_t* gains,
                                          std::size_t count, char* out, std::size_t total) {
    float acc[kFloatBlock];
    auto* dst = reinterpret_cast<unsigned char*>(out);
    for (std::size_t base = 0; base < total; base += kFloatBlock) {
        const std::size_t n = std::min(kFloatBlock, total - base);
        SumFloatBlock(frames, gains, count, base, n, acc);
        CAROVEL_NO_OVERLAP
        for (std::size_t i = 0; i < n; ++i) {
            WriteFloat(dst + 4 * (base + i), acc[i]);
        }
    }
}

CAROVEL_VECTOR_CLONES void SumFloat(const WaveFrame* const* frames, const std::int32_t* gains,
                                    std::size_t count, float* sums, std::size_t from,
                                    std::size_t to) {
    if (to > from) {
        SumFloatBlock(frames, gains, count, from, to - from, sums);
    }
}

CAROVEL_VECTOR_CLONES void StoreFloatMinus(const float* sums, std::size_t total,
                                           const WaveFrame* own, std::int32_t gain, char* out) {
    auto* dst = reinterpret_cast<unsigned char*>(out);
    std::size_t ownSamples = 0;
    if (own != nullptr) {
        ownSamples = std::min(total, static_cast<std::size_t>(own->nLen) / 4);
        const auto* src = reinterpret_cast<const unsigned char*>(own->pData);
        const float g = static_cast<float>(gain) * (1.0f / 65536.0f);
        CAROVEL_NO_OVERLAP
        for (std::size_t i = 0; i < ownSamples; ++i) {
            WriteFloat(dst + 4 * i, sums[i] - ReadFloat(src + 4 * i) * g);
        }
    }
    CAROVEL_NO_OVERLAP
    for (std::size_t i = ownSamples; i < total; ++i) {
        WriteFloat(dst + 4 * i, sums[i]);
    }
}

CAROVEL_VECTOR_CLONES void FloatMinus(const float* sums, std::size_t total, const WaveFrame* own,
                                      std::int32_t gain, float* dst) {
    std::size_t ownSamples = 0;
    if (own != nullptr) {
        ownSamples = std::min(total, static_cast<std::size_t>(own->nLen) / 4);
        const auto* src = reinterpret_cast<const unsigned char*>(own->pData);
        const float g = static_cast<float>(gain) * (1.0f / 65536.0f);
        for (std::size_t i = 0; i < ownSamples; ++i) {
            dst[i] = sums[i] - ReadFloat(src + 4 * i) * g;
        }
    }
    std::copy(sums + ownSamples, sums + total, dst + ownSamples);
}

double FloatPeak(const float* sums, std::size_t total) {
    float peak = 0.0f;
    for (std::size_t i = 0; i < total; ++i) {
        peak = std::max(peak, std::fabs(sums[i]));
    }
    return static_cast<double>(peak);
}

double FloatFramePeak(const WaveFrame* frame, std::size_t total) {
    const std::size_t n = std::min(total, static_cast<std::size_t>(frame->nLen) / 4);
    const auto* src = reinterpret_cast<const unsigned char*>(frame->pData);
    float peak = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        peak = std::max(peak, std::fabs(ReadFloat(src + 4 * i)));
    }
    return static_cast<double>(peak);
}

}  // namespace _Carovel
