#include "convert/encode_16.h"

#include <cstdint>

#include "convert/work_sample.h"
#include "pcm/sample_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace _Carovel {

// Each value as WorkSample<float>::ToWidth turns it into 16 bits (clamped,
// plus or minus a half in double, truncated). The vector path stays in
// float and adds the float just below a half instead: plus a half itself,
// 0.49999997 would round up to 1 in float. For magnitudes below 2^23 the
// float sum then truncates to the same whole number as the exact one, so
// both paths agree on every value.
void EncodeFloatTo16(const float* in, std::size_t count, unsigned char* dst) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 low = _mm_set1_ps(-32768.0f);
    const __m128 high = _mm_set1_ps(32767.0f);
    const __m128 almostHalf = _mm_set1_ps(0x1.fffffep-2f);  // 0.5 - 2^-25
    const __m128 sign = _mm_set1_ps(-0.0f);
    const auto round = [&](__m128 x) {
        x = _mm_min_ps(_mm_max_ps(x, low), high);
        return _mm_cvttps_epi32(_mm_add_ps(x, _mm_or_ps(_mm_and_ps(x, sign), almostHalf)));
    };
    for (; i + 8 <= count; i += 8) {
        const __m128i a = round(_mm_loadu_ps(in + i));
        const __m128i b = round(_mm_loadu_ps(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_packs_epi32(a, b));
    }
#endif
    for (; i < count; ++i) {
        Signed16::Write(dst + 2 * i, WorkSample<float>::ToWidth(in[i], 2));
    }
}

}  // namespace _Carovel
