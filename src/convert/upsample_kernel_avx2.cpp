// The upsampler's kernel for processors with AVX2 and FMA: compiled for
// them where the build can (as CAROVEL_AVX2 in engine/vector_clones.h: x86-64
// with GCC or Clang, not on Windows) and offered only when the processor
// running the program has both.
#include "convert/upsample_kernel.h"
#include "engine/vector_clones.h"

#if defined(CAROVEL_AVX2)
#include <immintrin.h>

#include <algorithm>

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
template <unsigned Phases, unsigned Vecs>
CAROVEL_UPSAMPLE_AVX2 void Block(const float* const* taps, const float* from, std::size_t i,
                                 std::size_t count, unsigned factor, unsigned p0, float* out,
                                 std::size_t stride) {
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
    // Every register stored whole first (indexed by constants only, so the
    // accumulators stay in registers), then the outputs kept.
    alignas(32) float lanes[Phases][8 * Vecs];
    for (unsigned ph = 0; ph < Phases; ++ph) {
        for (unsigned v = 0; v < Vecs; ++v) {
            _mm256_store_ps(lanes[ph] + 8 * v, acc[ph][v]);
        }
    }
    const std::size_t n = std::min<std::size_t>(8 * Vecs, count);
    for (unsigned ph = 0; ph < Phases; ++ph) {
        float* to = out + (i * factor + p0 + ph) * stride;
        for (std::size_t k = 0; k < n; ++k) {
            to[k * factor * stride] = lanes[ph][k];
        }
    }
}

// Phases [p0, p0 + Phases) of every group: 8 * Vecs groups at a time, the
// rest 8 at a time, the last lanes past the groups computed from whatever
// lies there and dropped (see kUpsampleReadPast).
template <unsigned Phases, unsigned Vecs>
CAROVEL_UPSAMPLE_AVX2 void PhaseRun(const UpsampleFilter& filter, const float* x,
                                    std::size_t groups, unsigned p0, float* out,
                                    std::size_t stride) {
    const float* taps[Phases];
    for (unsigned ph = 0; ph < Phases; ++ph) {
        taps[ph] = filter.phases.data() + std::size_t{p0 + ph} * kUpsampleTaps;
    }
    const float* from = x + filter.offset;
    std::size_t i = 0;
    for (; i + 8 * Vecs <= groups; i += 8 * Vecs) {
        Block<Phases, Vecs>(taps, from, i, 8 * Vecs, filter.factor, p0, out, stride);
    }
    for (; i < groups; i += 8) {
        Block<Phases, 1>(taps, from, i, groups - i, filter.factor, p0, out, stride);
    }
}

// The phases in runs of three (factors divisible by three) or four, the
// rest together: at most 9 accumulators and 13 registers in all.
CAROVEL_UPSAMPLE_AVX2
void Groups(const UpsampleFilter& filter, const float* x, std::size_t groups, float* out,
            std::size_t stride) {
    const unsigned factor = filter.factor;
    const unsigned run = factor % 3 == 0 ? 3 : 4;
    unsigned p = 0;
    for (; p + run <= factor; p += run) {
        if (run == 3) {
            PhaseRun<3, 3>(filter, x, groups, p, out, stride);
        } else {
            PhaseRun<4, 2>(filter, x, groups, p, out, stride);
        }
    }
    switch (factor - p) {
        case 3:
            PhaseRun<3, 3>(filter, x, groups, p, out, stride);
            break;
        case 2:
            PhaseRun<2, 4>(filter, x, groups, p, out, stride);
            break;
        case 1:
            PhaseRun<1, 4>(filter, x, groups, p, out, stride);
            break;
        default:
            break;
    }
}

const UpsampleKernel kAvx2{Groups, One};

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
