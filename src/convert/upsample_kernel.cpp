#include "convert/upsample_kernel.h"

#include "convert/upsample_runs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace _Carovel {
namespace {

// Compiled without contraction of a * b + c into one instruction, so that
// every lane below and One round alike: a product, then a sum, per tap.
float One(const UpsampleFilter& filter, const float* x, unsigned p) {
    const float* taps = filter.phases.data() + std::size_t{p} * kUpsampleTaps;
    const float* from = x + filter.offset;
    float acc = 0.0f;
    for (unsigned q = 0; q < kUpsampleTaps; ++q) {
        acc += taps[q] * from[q];
    }
    return acc;
}

#if defined(__SSE2__)

// SSE2, which every x86-64 processor has: Phases phases of 4 * Vecs groups
// from group i, count of them kept. Every phase reads the same source
// samples, so each vector of them is loaded once per tap and multiplied into
// all the phases.
struct Sse2 {
    static constexpr std::size_t kLanes = 4;

    template <unsigned Phases, unsigned Vecs>
    static void Block(const float* const* taps, const float* from, std::size_t i, std::size_t count,
                      unsigned factor, unsigned p0, float* out, std::size_t stride) {
        __m128 acc[Phases][Vecs];
        for (unsigned ph = 0; ph < Phases; ++ph) {
            for (unsigned v = 0; v < Vecs; ++v) {
                acc[ph][v] = _mm_setzero_ps();
            }
        }
        const float* s = from + i;
        for (unsigned q = 0; q < kUpsampleTaps; ++q) {
            __m128 x[Vecs];
            for (unsigned v = 0; v < Vecs; ++v) {
                x[v] = _mm_loadu_ps(s + q + 4 * v);
            }
            for (unsigned ph = 0; ph < Phases; ++ph) {
                const __m128 t = _mm_set1_ps(taps[ph][q]);
                for (unsigned v = 0; v < Vecs; ++v) {
                    acc[ph][v] = _mm_add_ps(acc[ph][v], _mm_mul_ps(t, x[v]));
                }
            }
        }
        // Every register stored whole first (indexed by constants only, so the
        // accumulators stay in registers), then the outputs kept.
        float lanes[Phases][4 * Vecs];
        for (unsigned ph = 0; ph < Phases; ++ph) {
            for (unsigned v = 0; v < Vecs; ++v) {
                _mm_storeu_ps(lanes[ph] + 4 * v, acc[ph][v]);
            }
        }
        PlaceUpsampled<Phases>(lanes, i, count, factor, p0, out, stride);
    }
};

#endif

// Plain C++ in the same shape, for other processors (the compiler
// vectorises the lanes as it can).
struct Plain {
    static constexpr std::size_t kLanes = 4;

    template <unsigned Phases, unsigned Vecs>
    static void Block(const float* const* taps, const float* from, std::size_t i, std::size_t count,
                      unsigned factor, unsigned p0, float* out, std::size_t stride) {
        constexpr std::size_t kWidth = 4 * Vecs;
        float lanes[Phases][kWidth] = {};
        const float* s = from + i;
        for (unsigned q = 0; q < kUpsampleTaps; ++q) {
            for (unsigned ph = 0; ph < Phases; ++ph) {
                const float t = taps[ph][q];
                for (std::size_t k = 0; k < kWidth; ++k) {
                    lanes[ph][k] += t * s[q + k];
                }
            }
        }
        PlaceUpsampled<Phases>(lanes, i, count, factor, p0, out, stride);
    }
};

const UpsampleKernel kPlain{UpsampleGroups<Plain>, One};
#if defined(__SSE2__)
const UpsampleKernel kPortable{UpsampleGroups<Sse2>, One};
#else
const UpsampleKernel& kPortable = kPlain;
#endif

}  // namespace

const UpsampleKernel& PortableUpsampleKernel() {
    return kPortable;
}

const UpsampleKernel& PlainUpsampleKernel() {
    return kPlain;
}

const UpsampleKernel& ChosenUpsampleKernel() {
    static const UpsampleKernel* const chosen = [] {
        const UpsampleKernel* avx2 = Avx2UpsampleKernel();
        return avx2 != nullptr ? avx2 : &kPortable;
    }();
    return *chosen;
}

}  // namespace _Carovel
