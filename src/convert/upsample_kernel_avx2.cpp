// The upsampler's kernel for processors with AVX2 and FMA: compiled for
// them where the build can (as CAROVEL_AVX2 in engine/vector_clones.h: x86-64
// with GCC or Clang, not on Windows) and offered only when the processor
// running the program has both.
#include "convert/upsample_kernel.h"
#include "engine/vector_clones.h"

#if defined(CAROVEL_AVX2)
#include <immintrin.h>

#include "convert/upsample_runs.h"

#define CAROVEL_UPSAMPLE_AVX2 __attribute__((target("avx2,fma")))

namespace _Carovel {
namespace {

// One fused multiply-add per tap, as a vector lane does.
CAROVEL_UPSAMPLE_AVX2
float One(const UpsampleFilter& filter, const float* x, unsigned p) {
    const float* taps = filter.phases.data() + std::size_t{p} * kUpsampleTaps;
    const float* from = x + filter.offset;
    __m128 acc = _mm_setzero_ps();
    for (unsigned q = 0; q < kUpsampleTaps; ++q) {
        acc = _mm_fmadd_ss(_mm_set_ss(taps[q]), _mm_set_ss(from[q]), acc);
    }
    return _mm_cvtss_f32(acc);
}

// Writes a0 b0 c0 a1 b1 c1 ... a7 b7 c7: the three phases of eight groups of
// a factor of three, as they follow each other in a stream of one channel.
// Each output vector takes its lanes from all three, spread by one index
// pattern and picked by blends.
CAROVEL_UPSAMPLE_AVX2
void Interleave3(__m256 a, __m256 b, __m256 c, float* out) {
    const __m256i spread0 = _mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2);
    const __m256i spread1 = _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5);
    const __m256i spread2 = _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7);
    // a0 b0 c0 a1 b1 c1 a2 b2
    __m256 x = _mm256_blend_ps(_mm256_permutevar8x32_ps(a, spread0),
                               _mm256_permutevar8x32_ps(b, spread0), 0x92);
    _mm256_storeu_ps(out, _mm256_blend_ps(x, _mm256_permutevar8x32_ps(c, spread0), 0x24));
    // c2 a3 b3 c3 a4 b4 c4 a5
    x = _mm256_blend_ps(_mm256_permutevar8x32_ps(a, spread1), _mm256_permutevar8x32_ps(b, spread1),
                        0x24);
    _mm256_storeu_ps(out + 8, _mm256_blend_ps(x, _mm256_permutevar8x32_ps(c, spread1), 0x49));
    // b5 c5 a6 b6 c6 a7 b7 c7
    x = _mm256_blend_ps(_mm256_permutevar8x32_ps(a, spread2), _mm256_permutevar8x32_ps(b, spread2),
                        0x49);
    _mm256_storeu_ps(out + 16, _mm256_blend_ps(x, _mm256_permutevar8x32_ps(c, spread2), 0x92));
}

// Phases phases of 8 * Vecs groups from group i, count of them kept: every
// phase reads the same source samples, so each vector of them is loaded
// once per tap and multiplied into all the phases (the loads, half of them
// across a cache line, are what limits a kernel of one phase at a time).
struct Avx2 {
    static constexpr std::size_t kLanes = 8;

    template <unsigned Phases, unsigned Vecs>
    static CAROVEL_UPSAMPLE_AVX2 void Block(const float* const* taps, const float* from,
                                            std::size_t i, std::size_t count, unsigned factor,
                                            unsigned p0, float* out, std::size_t stride) {
        __m256 acc[Phases][Vecs];
        for (unsigned ph = 0; ph < Phases; ++ph) {
            for (unsigned v = 0; v < Vecs; ++v) {
                acc[ph][v] = _mm256_setzero_ps();
            }
        }
        const float* s = from + i;
        for (unsigned q = 0; q < kUpsampleTaps; ++q) {
            __m256 x[Vecs];
            for (unsigned v = 0; v < Vecs; ++v) {
                x[v] = _mm256_loadu_ps(s + q + 8 * v);
            }
            for (unsigned ph = 0; ph < Phases; ++ph) {
                const __m256 t = _mm256_broadcast_ss(taps[ph] + q);
                for (unsigned v = 0; v < Vecs; ++v) {
                    acc[ph][v] = _mm256_fmadd_ps(t, x[v], acc[ph][v]);
                }
            }
        }
        if constexpr (Phases == 3) {
            if (factor == 3 && stride == 1 && count >= 8 * Vecs) {
                for (unsigned v = 0; v < Vecs; ++v) {
                    Interleave3(acc[0][v], acc[1][v], acc[2][v], out + 3 * (i + 8 * v));
                }
                return;
            }
        }
        // Every register stored whole first (indexed by constants only, so
        // the accumulators stay in registers), then the outputs kept.
        alignas(32) float lanes[Phases][8 * Vecs];
        for (unsigned ph = 0; ph < Phases; ++ph) {
            for (unsigned v = 0; v < Vecs; ++v) {
                _mm256_store_ps(lanes[ph] + 8 * v, acc[ph][v]);
            }
        }
        PlaceUpsampled<Phases>(lanes, i, count, factor, p0, out, stride);
    }
};

// The runs around Block are plain code; only Block needs AVX2.
const UpsampleKernel kAvx2{UpsampleGroups<Avx2>, One};

}  // namespace

const UpsampleKernel* Avx2UpsampleKernel() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? &kAvx2 : nullptr;
}

}  // namespace _Carovel

#else

namespace _Carovel {

const UpsampleKernel* Avx2UpsampleKernel() {
    return nullptr;
}

}  // namespace _Carovel

#endif
