#include "convert/encode_float.h"

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
#if defined(__SSE2__)
namespace {

// Four values clamped and rounded as above.
__m128i Round16(__m128 x) {
    const __m128 low = _mm_set1_ps(-32768.0f);
    const __m128 high = _mm_set1_ps(32767.0f);
    const __m128 almostHalf = _mm_set1_ps(0x1.fffffep-2f);  // 0.5 - 2^-25
    const __m128 sign = _mm_set1_ps(-0.0f);
    x = _mm_min_ps(_mm_max_ps(x, low), high);
    return _mm_cvttps_epi32(_mm_add_ps(x, _mm_or_ps(_mm_and_ps(x, sign), almostHalf)));
}

}  // namespace
#endif

void EncodeFloatTo16(const float* in, std::size_t count, unsigned char* dst) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= count; i += 8) {
        const __m128i a = Round16(_mm_loadu_ps(in + i));
        const __m128i b = Round16(_mm_loadu_ps(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_packs_epi32(a, b));
    }
#endif
    for (; i < count; ++i) {
        Signed16::Write(dst + 2 * i, WorkSample<float>::ToWidth(in[i], 2));
    }
}

void EncodeFloatTo16Twice(const float* in, std::size_t count, unsigned char* dst) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= count; i += 8) {
        const __m128i v =
            _mm_packs_epi32(Round16(_mm_loadu_ps(in + i)), Round16(_mm_loadu_ps(in + i + 4)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), _mm_unpacklo_epi16(v, v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i + 16), _mm_unpackhi_epi16(v, v));
    }
#endif
    for (; i < count; ++i) {
        const std::int32_t v = WorkSample<float>::ToWidth(in[i], 2);
        Signed16::Write(dst + 4 * i, v);
        Signed16::Write(dst + 4 * i + 2, v);
    }
}

// As above, at 32-bit scale: times 65536 (exact in float), the same rounding
// below 2^23 and none needed above, where every float is whole. The range's
// top, 2^31 - 1, is no float: what reaches 2^31 is set to it apart (the
// truncation would give the "integer indefinite" -2^31 there).
void EncodeFloatTo32(const float* in, std::size_t count, unsigned char* dst) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 step = _mm_set1_ps(65536.0f);
    const __m128 low = _mm_set1_ps(-2147483648.0f);
    const __m128 top = _mm_set1_ps(2147483648.0f);
    const __m128 almostHalf = _mm_set1_ps(0x1.fffffep-2f);  // 0.5 - 2^-25
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128i largest = _mm_set1_epi32(0x7fffffff);
    for (; i + 4 <= count; i += 4) {
        const __m128 x = _mm_max_ps(_mm_mul_ps(_mm_loadu_ps(in + i), step), low);
        const __m128i over = _mm_castps_si128(_mm_cmpge_ps(x, top));
        const __m128i q =
            _mm_cvttps_epi32(_mm_add_ps(x, _mm_or_ps(_mm_and_ps(x, sign), almostHalf)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i),
                         _mm_or_si128(_mm_andnot_si128(over, q), _mm_and_si128(over, largest)));
    }
#endif
    for (; i < count; ++i) {
        Signed32::Write(dst + 4 * i, WorkSample<float>::ToWidth(in[i], 4));
    }
}

}  // namespace _Carovel
