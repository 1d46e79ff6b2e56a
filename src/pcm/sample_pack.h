// Whole buffers of samples at 32-bit scale (see ReadAt32BitScale): packed to
// and unpacked from PCM of a width in bytes, and converted from and to
// floating point. At 32-bit scale one buffer type carries every width, the
// most significant bits holding the sample.
#ifndef CAROVEL_PCM_SAMPLE_PACK_H
#define CAROVEL_PCM_SAMPLE_PACK_H

#include <cstddef>
#include <cstdint>

namespace _Carovel {

// Writes count samples as bytesPerSample wide PCM (1 to 4: see
// sample_codec.h), each narrowed to its top 8 * bytesPerSample bits, to out
// (count * bytesPerSample bytes).
void PackFrom32BitScale(const std::int32_t* samples, std::size_t count, unsigned bytesPerSample,
                        char* out);
// The inverse: reads count samples of bytesPerSample wide PCM.
void UnpackTo32BitScale(const char* data, std::size_t count, unsigned bytesPerSample,
                        std::int32_t* out);

// Converts floating-point samples (full scale +-1.0) to 32-bit scale,
// rounding to nearest, clamping out-of-range values and turning NaN into 0.
void FloatTo32BitScale(const float* in, std::size_t count, std::int32_t* out);
// The other way: each sample over 2^31.
void FloatFrom32BitScale(const std::int32_t* in, std::size_t count, float* out);

}  // namespace _Carovel

#endif  // CAROVEL_PCM_SAMPLE_PACK_H
