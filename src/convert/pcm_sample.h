// Sample codecs and work-sample types of the PCM stream converter.
//
// Source samples are read at 32-bit scale: a sample of w bytes becomes its
// signed value shifted left by 32 - 8w bits, so every width shares one scale
// and widening is exact. Each pipeline then carries the samples in its work
// type (see WorkSample) and writes them at the destination width.
#ifndef CAROVEL_CONVERT_PCM_SAMPLE_H
#define CAROVEL_CONVERT_PCM_SAMPLE_H

#include <algorithm>
#include <cstdint>

namespace _Carovel {

// True for the widths the converter handles: 8, 16, 24 and 32 bits.
inline bool IsSupportedWidth(unsigned bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Reads one little-endian sample of Bytes bytes at 32-bit scale. One-byte
// samples are unsigned with midpoint 128, the others signed.
template <unsigned Bytes>
std::int32_t ReadSample(const unsigned char* p) {
    static_assert(Bytes >= 1 && Bytes <= 4, "unsupported width");
    std::uint32_t u = 0;
    for (unsigned i = 0; i < Bytes; ++i) {
        u |= std::uint32_t{p[i]} << (8 * (i + 4 - Bytes));
    }
    if (Bytes == 1) {
        u ^= 0x80000000u;
    }
    return static_cast<std::int32_t>(u);
}

// Writes v, already within the signed range of the width, as one sample of
// Bytes bytes.
template <unsigned Bytes>
void WriteSample(unsigned char* p, std::int32_t v) {
    static_assert(Bytes >= 1 && Bytes <= 4, "unsupported width");
    auto u = static_cast<std::uint32_t>(v);
    if (Bytes == 1) {
        u ^= 0x80u;
    }
    for (unsigned i = 0; i < Bytes; ++i) {
        p[i] = static_cast<unsigned char>(u >> (8 * i));
    }
}

inline std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

inline std::int32_t ClampToWidth(std::int64_t v, unsigned bytes) {
    const std::int64_t hi = (std::int64_t{1} << (8 * bytes - 1)) - 1;
    return static_cast<std::int32_t>(std::clamp(v, -hi - 1, hi));
}

// Converts the sum of `count` samples at 32-bit scale to their average at a
// width of `bytes` bytes, rounded to nearest (ties upward) and clamped.
// Widening a single sample is an exact shift.
inline std::int32_t SumToWidth(std::int64_t sum, std::uint32_t count, unsigned bytes) {
    const unsigned shift = 32 - 8 * bytes;
    if (count == 1) {
        if (shift == 0) {
            return static_cast<std::int32_t>(sum);
        }
        return ClampToWidth((sum + (std::int64_t{1} << (shift - 1))) >> shift, bytes);
    }
    const std::int64_t den = std::int64_t{count} << shift;
    return ClampToWidth(FloorDiv(2 * sum + den, 2 * den), bytes);
}

// The sample type a pipeline carries between decoding and encoding:
//  - int32_t: same-rate streams; holds the value already at destination width,
//    so same-rate conversion is exact.
//  - int16_t: resampled streams whose widths are both 16 bits or less.
//  - float:   other resampled streams, in units of one 16-bit step.
template <class T>
struct WorkSample;

template <>
struct WorkSample<std::int32_t> {
    static std::int32_t FromSum(std::int64_t sum, std::uint32_t count, unsigned dstBytes) {
        return SumToWidth(sum, count, dstBytes);
    }
    static std::int32_t ToWidth(std::int32_t v, unsigned) { return v; }
};

template <>
struct WorkSample<std::int16_t> {
    static std::int16_t FromSum(std::int64_t sum, std::uint32_t count, unsigned) {
        return static_cast<std::int16_t>(SumToWidth(sum, count, 2));
    }
    static std::int32_t ToWidth(std::int16_t v, unsigned dstBytes) {
        return dstBytes == 2 ? v : SumToWidth(std::int64_t{v} * 65536, 1, dstBytes);
    }
};

template <>
struct WorkSample<float> {
    static float FromSum(std::int64_t sum, std::uint32_t count, unsigned) {
        return static_cast<float>(static_cast<double>(sum) / (65536.0 * count));
    }
    static std::int32_t ToWidth(float v, unsigned dstBytes) {
        const double hi = static_cast<double>((std::int64_t{1} << (8 * dstBytes - 1)) - 1);
        const double x = std::clamp(static_cast<double>(v) * ScaleFrom16(dstBytes), -hi - 1.0, hi);
        return static_cast<std::int32_t>(x < 0 ? x - 0.5 : x + 0.5);
    }

  private:
    static double ScaleFrom16(unsigned dstBytes) {
        return static_cast<double>(std::int64_t{1} << (8 * dstBytes)) / 65536.0;
    }
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_PCM_SAMPLE_H
