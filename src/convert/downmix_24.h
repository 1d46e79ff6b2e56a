// The downmix of 24-bit 5.1 and 7.1 sources into float work samples: each
// block is unpacked with two byte shuffles instead of a load per sample.
#ifndef CAROVEL_CONVERT_DOWNMIX_24_H
#define CAROVEL_CONVERT_DOWNMIX_24_H

#include <cstddef>

namespace _Carovel {

// Whether Downmix24 handles n channels into k rows on this CPU: 6 to 8
// channels into 1 or 2, on an x86 CPU with SSSE3.
bool Downmix24Fits(unsigned n, unsigned k);

// Folds `blocks` blocks of n interleaved little-endian 24-bit samples into k
// float work samples: out[b * k + r] is the sum over c of w[r * n + c] *
// sample(b, c), added up in a fixed order (so the result does not depend on
// how a stream is cut into calls, but may differ in the last bit from a
// plain loop). Requires Downmix24Fits(n, k).
void Downmix24(const unsigned char* src, std::size_t blocks, unsigned n, unsigned k, const float* w,
               float* out);

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_DOWNMIX_24_H
