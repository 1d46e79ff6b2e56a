// The downmix of 8- and 16-bit sources into 16-bit work samples: the hot path of
// folding a multichannel stream (5.1, 7.1, ...) into mono or stereo before
// it is resampled.
#ifndef CAROVEL_CONVERT_DOWNMIX_Q15_H
#define CAROVEL_CONVERT_DOWNMIX_Q15_H

#include <cstddef>
#include <cstdint>

namespace _Carovel {

// Folds `blocks` blocks of n interleaved samples of bytesPerSample bytes (1:
// unsigned 8-bit, 2: little-endian signed 16-bit) into k work channels:
// out[b * k + r] = (16384 + sum over c of q[r * n + c] * sample(b, c)) >> 15,
// saturated to 16 bits. q holds k rows of n weights in units of 2^-15 of a
// sample (so weights for 8-bit samples carry the 256 that widens them).
//
// Every block gives the same result whichever code path computes it (a
// vector path for 16-bit samples where the CPU and the weights allow, the
// plain loop otherwise), so the result does not depend on how a stream is
// cut into calls. Requires n >= 1 and k >= 1.
void DownmixQ15(const unsigned char* src, std::size_t blocks, unsigned bytesPerSample, unsigned n,
                unsigned k, const std::int32_t* q, std::int16_t* out);

// The plain loop alone, for tests that compare the paths.
void DownmixQ15Scalar(const unsigned char* src, std::size_t blocks, unsigned bytesPerSample,
                      unsigned n, unsigned k, const std::int32_t* q, std::int16_t* out);

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_DOWNMIX_Q15_H
