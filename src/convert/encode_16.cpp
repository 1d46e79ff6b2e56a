#include "convert/encode_16.h"

#include <algorithm>
#include <cstdint>

#include "pcm/sample_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace _Carovel {

// Every step is exact in float at this width (each clamped value, and each
// plus or minus a half, is a float), so the vector path and the loop agree.
void EncodeFloatTo16(const float* in, std::size_t count, unsigned char* dst) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 low = _mm_set1_ps(-32768.0f);
    const __m128 high = _mm_set1_ps(32767.0f);
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 sign = _mm_set1_ps(-0.0f);
    const auto round = [&](__m128 x) {
        x = _mm_min_ps(_mm_max_ps(x, low), high);
        // Plus a half with the value's sign, then truncated.
        return _mm_cvttps_epi32(_mm_add_ps(x, _mm_or_ps(_mm_and_ps(x, sign), half)));
    };
    for (; i + 8 <= count; i += 8) {
        const __m128i a = round(_mm_loadu_ps(in + i));
        const __m128i b = round(_mm_loadu_ps(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_packs_epi32(a, b));
    }
#endif
    for (; i < count; ++i) {
        const float x = std::min(std::max(in[i], -32768.0f), 32767.0f);
        Signed16::Write(dst + 2 * i, static_cast<std::int32_t>(x < 0 ? x - 0.5f : x + 0.5f));
    }
}

}  // namespace _Carovel
