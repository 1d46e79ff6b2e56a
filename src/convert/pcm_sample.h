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

inline std::int32_t ClampToWidth(std::int64_t v, unsigned bytes) {
    const std::int64_t hi = (std::int64_t{1} << (8 * bytes - 1)) - 1;
    return static_cast<std::int32_t>(std::clamp(v, -hi - 1, hi));
}

// Divides by count * 2^shift, rounding to nearest with ties upward. Counts
// that are powers of two (1 and 2 above all) take a shift, others a division.
class RoundingDivider {
  public:
    RoundingDivider(std::uint32_t count, unsigned shift) : m_shift(shift), m_den(0) {
        for (; count > 1 && count % 2 == 0; count /= 2) {
            ++m_shift;
        }
        if (count > 1) {
            m_den = std::int64_t{count} << shift;
        }
    }

    std::int64_t operator()(std::int64_t v) const {
        if (m_den != 0) {
            return FloorDiv(2 * v + m_den, 2 * m_den);
        }
        return m_shift == 0 ? v : (v + (std::int64_t{1} << (m_shift - 1))) >> m_shift;
    }

  private:
    static std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
        const std::int64_t q = a / b;
        return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
    }

    unsigned m_shift;
    std::int64_t m_den;  // 0 when the divisor is a power of two
};

// The sample type a pipeline carries between decoding and encoding:
//  - int32_t: same-rate streams; holds the value already at destination width,
//    so same-rate conversion is exact.
//  - int16_t: resampled streams whose widths are both 16 bits or less.
//  - float:   other resampled streams, in units of one 16-bit step.
// An object turns the sum of `count` source samples at 32-bit scale into one
// work sample (their average); it is made once per run of frames. ToWidth
// turns a work sample into a value at the destination width, rounding to
// nearest and clamping.
template <class T>
class WorkSample;

template <>
class WorkSample<std::int32_t> {
  public:
    using Sum = std::int64_t;
    WorkSample(std::uint32_t count, unsigned dstBytes)
        : m_divide(count, 32 - 8 * dstBytes), m_wBytes(dstBytes) {}
    std::int32_t FromSum(Sum sum) const { return ClampToWidth(m_divide(sum), m_wBytes); }
    static std::int32_t ToWidth(std::int32_t v, unsigned) { return v; }

  private:
    RoundingDivider m_divide;
    unsigned m_wBytes;
};

template <>
class WorkSample<std::int16_t> {
  public:
    using Sum = std::int64_t;
    WorkSample(std::uint32_t count, unsigned) : m_divide(count, 16) {}
    std::int16_t FromSum(Sum sum) const {
        return static_cast<std::int16_t>(ClampToWidth(m_divide(sum), 2));
    }
    // Only 8- and 16-bit destinations use this work type.
    static std::int32_t ToWidth(std::int16_t v, unsigned dstBytes) {
        return dstBytes == 2 ? v : ClampToWidth((v + 128) >> 8, 1);
    }

  private:
    RoundingDivider m_divide;
};

template <>
class WorkSample<float> {
  public:
    // Summed in float: 24-bit samples are exact, and the work type keeps no
    // more than float precision anyway.
    using Sum = float;
    WorkSample(std::uint32_t count, unsigned)
        : m_fScale(1.0f / (65536.0f * static_cast<float>(count))) {}
    float FromSum(Sum sum) const { return sum * m_fScale; }
    static std::int32_t ToWidth(float v, unsigned dstBytes) {
        const double hi = static_cast<double>((std::int64_t{1} << (8 * dstBytes - 1)) - 1);
        const double scale = static_cast<double>(std::int64_t{1} << (8 * dstBytes)) / 65536.0;
        const double x = std::clamp(static_cast<double>(v) * scale, -hi - 1.0, hi);
        return static_cast<std::int32_t>(x < 0 ? x - 0.5 : x + 0.5);
    }

  private:
    float m_fScale;
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_PCM_SAMPLE_H
