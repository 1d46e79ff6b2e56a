// The encoding of float work samples (in 16-bit steps) as 16- or 32-bit
// samples: the last step of every conversion through the float work type
// into those widths.
#ifndef CAROVEL_CONVERT_ENCODE_FLOAT_H
#define CAROVEL_CONVERT_ENCODE_FLOAT_H

#include <cstddef>

namespace _Carovel {

// Writes count little-endian 16-bit samples: each value clamped to
// [-32768, 32767] and rounded to nearest, halves away from zero, exactly as
// WorkSample<float>::ToWidth(value, 2). Values must not be NaN.
void EncodeFloatTo16(const float* in, std::size_t count, unsigned char* dst);

// The same, each sample written twice (2 * count samples): one channel
// spread over two.
void EncodeFloatTo16Twice(const float* in, std::size_t count, unsigned char* dst);

// The same into 32-bit samples (each value times 65536, clamped to the
// 32-bit range), exactly as WorkSample<float>::ToWidth(value, 4).
void EncodeFloatTo32(const float* in, std::size_t count, unsigned char* dst);

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_ENCODE_FLOAT_H
