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
