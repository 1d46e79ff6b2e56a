// Work-sample types of the PCM stream converter.
//
// Source samples are read at 32-bit scale (ReadAt32BitScale), so every width
// shares one scale and widening is exact. Each pipeline then carries the
// samples in its work type (see WorkSample) and writes them at the
// destination width.
#ifndef CAROVEL_CONVERT_WORK_SAMPLE_H
#define CAROVEL_CONVERT_WORK_SAMPLE_H

#include <algorithm>
#include <cstdint>

#include "pcm/sample_codec.h"

namespace _Carovel {

// Divides by count * 2^shift, rounding to nearest with ties upward. Counts
// that are powers of two (1 and 2 above all) take a shift, others a division.
class RoundingDivider {
  public:
    RoundingDivider(std::uint32_t count, unsigned shift) : shift_(shift), den_(0) {
        for (; count > 1 && count % 2 == 0; count /= 2) {
            ++shift_;
        }
        if (count > 1) {
            den_ = std::int64_t{count} << shift_;
        }
    }

    std::int64_t operator()(std::int64_t v) const {
        if (den_ != 0) {
            return FloorDiv(2 * v + den_, 2 * den_);
        }
        return shift_ == 0 ? v : (v + (std::int64_t{1} << (shift_ - 1))) >> shift_;
    }

  private:
    static std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
        const std::int64_t q = a / b;
        return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
    }

    unsigned shift_;
    std::int64_t den_;  // 0 when the divisor is a power of two
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
        : divide_(count, 32 - 8 * dstBytes), bytes_(dstBytes) {}
    std::int32_t FromSum(Sum sum) const { return ClampToWidth(divide_(sum), bytes_); }
    static std::int32_t ToWidth(std::int32_t v, unsigned) { return v; }

  private:
    RoundingDivider divide_;
    unsigned bytes_;
};

template <>
class WorkSample<std::int16_t> {
  public:
    using Sum = std::int64_t;
    WorkSample(std::uint32_t count, unsigned) : divide_(count, 16) {}
    std::int16_t FromSum(Sum sum) const {
        return static_cast<std::int16_t>(ClampToWidth(divide_(sum), 2));
    }
    // Only 8- and 16-bit destinations use this work type.
    static std::int32_t ToWidth(std::int16_t v, unsigned dstBytes) {
        return dstBytes == 2 ? v : ClampToWidth((v + 128) >> 8, 1);
    }

  private:
    RoundingDivider divide_;
};

template <>
class WorkSample<float> {
  public:
    // Summed in float: 24-bit samples are exact, and the work type keeps no
    // more than float precision anyway.
    using Sum = float;
    WorkSample(std::uint32_t count, unsigned)
        : scale_(1.0f / (65536.0f * static_cast<float>(count))) {}
    float FromSum(Sum sum) const { return sum * scale_; }
    static std::int32_t ToWidth(float v, unsigned dstBytes) {
        const double hi = static_cast<double>((std::int64_t{1} << (8 * dstBytes - 1)) - 1);
        const double scale = static_cast<double>(std::int64_t{1} << (8 * dstBytes)) / 65536.0;
        const double x = std::clamp(static_cast<double>(v) * scale, -hi - 1.0, hi);
        return static_cast<std::int32_t>(x < 0 ? x - 0.5 : x + 0.5);
    }

  private:
    float scale_;
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_WORK_SAMPLE_H
