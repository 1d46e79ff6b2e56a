// The encoding of float work samples (in 16-bit steps) as 16-bit samples:
// the last step of every conversion from a 24- or 32-bit source into 16 bits.
#ifndef CAROVEL_CONVERT_ENCODE_16_H
#define CAROVEL_CONVERT_ENCODE_16_H

#include <cstddef>

namespace _Carovel {

// Writes count little-endian 16-bit samples: each value clamped to
// [-32768, 32767] and rounded to nearest, halves away from zero, exactly as
// WorkSample<float>::ToWidth(value, 2). Values must not be NaN.
void EncodeFloatTo16(const float* in, std::size_t count, unsigned char* dst);

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_ENCODE_16_H
