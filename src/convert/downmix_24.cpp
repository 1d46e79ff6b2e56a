#include "convert/downmix_24.h"

#if defined(__x86_64__) || defined(__i386__)
#define CAROVEL_DOWNMIX_24_SSSE3 1
#include <tmmintrin.h>
#endif

namespace _Carovel {

#if defined(CAROVEL_DOWNMIX_24_SSSE3)

namespace {

// The shuffle that moves samples first .. first + 3 of a block (those below
// n), loaded from byte `from` of the block, into the top three bytes of the
// four 32-bit lanes; other lanes come out zero.
__attribute__((target("ssse3"))) __m128i UnpackMask(unsigned first, unsigned n, unsigned from) {
    alignas(16) signed char mask[16];
    for (unsigned lane = 0; lane < 4; ++lane) {
        const unsigned sample = first + lane;
        mask[4 * lane] = -128;
        for (unsigned byte = 0; byte < 3; ++byte) {
            mask[4 * lane + 1 + byte] =
                sample < n ? static_cast<signed char>(3 * sample + byte - from) : -128;
        }
    }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(mask));
}

// Row r's weights of samples first .. first + 3 (zero past n), over 256:
// the unpacked samples are 256 times the sample, exactly (24 significant
// bits), so each product is exactly the weight times the sample.
__attribute__((target("ssse3"))) __m128 RowWeights(const float* w, unsigned r, unsigned first,
                                                   unsigned n) {
    alignas(16) float four[4] = {};
    for (unsigned lane = 0; lane < 4 && first + lane < n; ++lane) {
        four[lane] = w[r * n + first + lane] / 256.0f;
    }
    return _mm_load_ps(four);
}

// A block's 6 to 8 samples, times 256, as floats in two registers. The two loads
// (bytes 0-15 and the last 16 bytes of the block) stay inside the block.
struct BlockUnpacker {
    __m128i lowMask;
    __m128i highMask;
    unsigned highFrom;

    __attribute__((target("ssse3"), always_inline)) inline void operator()(
        const unsigned char* block, __m128& low, __m128& high) const {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + highFrom));
        low = _mm_cvtepi32_ps(_mm_shuffle_epi8(a, lowMask));
        high = _mm_cvtepi32_ps(_mm_shuffle_epi8(b, highMask));
    }
};

struct TwoRows {
    __m128 leftLow;
    __m128 leftHigh;
    __m128 rightLow;
    __m128 rightHigh;
};

// Both rows' lane products of a block, paired as
// [l0 + l2, r0 + r2, l1 + l3, r1 + r3].
__attribute__((target("ssse3"), always_inline)) inline __m128 Pairs(const BlockUnpacker& unpack,
                                                                    const TwoRows& rows,
                                                                    const unsigned char* block) {
    __m128 low;
    __m128 high;
    unpack(block, low, high);
    const __m128 l = _mm_add_ps(_mm_mul_ps(low, rows.leftLow), _mm_mul_ps(high, rows.leftHigh));
    const __m128 r = _mm_add_ps(_mm_mul_ps(low, rows.rightLow), _mm_mul_ps(high, rows.rightHigh));
    return _mm_add_ps(_mm_unpacklo_ps(l, r), _mm_unpackhi_ps(l, r));
}

__attribute__((target("ssse3"))) void Fold(const unsigned char* src, std::size_t blocks, unsigned n,
                                           unsigned k, const float* w, float* out) {
    const unsigned highFrom = 3 * n - 16;
    const BlockUnpacker unpack{UnpackMask(0, n, 0), UnpackMask(4, n, highFrom), highFrom};
    const __m128 leftLow = RowWeights(w, 0, 0, n);
    const __m128 leftHigh = RowWeights(w, 0, 4, n);
    const std::size_t align = 3 * std::size_t{n};
    if (k == 1) {
        for (std::size_t b = 0; b < blocks; ++b, src += align) {
            __m128 low;
            __m128 high;
            unpack(src, low, high);
            // Lanes (l0 + l2) and (l1 + l3), then their sum.
            const __m128 l = _mm_add_ps(_mm_mul_ps(low, leftLow), _mm_mul_ps(high, leftHigh));
            const __m128 s = _mm_add_ps(l, _mm_movehl_ps(l, l));
            _mm_store_ss(out + b, _mm_add_ss(s, _mm_shuffle_ps(s, s, 1)));
        }
        return;
    }
    const TwoRows rows{leftLow, leftHigh, RowWeights(w, 1, 0, n), RowWeights(w, 1, 4, n)};
    std::size_t b = 0;
    for (; b + 2 <= blocks; b += 2, src += 2 * align) {
        // Two blocks share the last addition: [L0, R0, L1, R1].
        const __m128 s0 = Pairs(unpack, rows, src);
        const __m128 s1 = Pairs(unpack, rows, src + align);
        _mm_storeu_ps(out + 2 * b, _mm_add_ps(_mm_movelh_ps(s0, s1), _mm_movehl_ps(s1, s0)));
    }
    if (b < blocks) {
        const __m128 s = Pairs(unpack, rows, src);
        _mm_storel_pi(reinterpret_cast<__m64*>(out + 2 * b), _mm_add_ps(s, _mm_movehl_ps(s, s)));
    }
}

bool CpuHasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}

}  // namespace

bool Downmix24Fits(unsigned n, unsigned k) {
    return n >= 6 && n <= 8 && (k == 1 || k == 2) && CpuHasSsse3();
}

void Downmix24(const unsigned char* src, std::size_t blocks, unsigned n, unsigned k, const float* w,
               float* out) {
    Fold(src, blocks, n, k, w, out);
}

#else  // no vector path on this CPU

bool Downmix24Fits(unsigned, unsigned) {
    return false;
}

void Downmix24(const unsigned char*, std::size_t, unsigned, unsigned, const float*, float*) {}

#endif

}  // namespace _Carovel
