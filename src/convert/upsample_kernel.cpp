#include "convert/upsample_kernel.h"

#include <algorithm>

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

// Writes the first count of the outputs in lanes (Phases rows of Width)
// to their places: output k of row ph is group i + k, phase p0 + ph.
template <unsigned Phases, std::size_t Width>
void Place(const float (&lanes)[Phases][Width], std::size_t i, std::size_t count, unsigned factor,
           unsigned p0, float* out, std::size_t stride) {
    const std::size_t n = std::min(Width, count);
    for (unsigned ph = 0; ph < Phases; ++ph) {
        float* to = out + (i * factor + p0 + ph) * stride;
        for (std::size_t k = 0; k < n; ++k) {
            to[k * factor * stride] = lanes[ph][k];
        }
    }
}

#if defined(__SSE2__)

// SSE2, which every x86-64 processor has: Phases phases of 4 * Vecs groups
// from group i, count of them kept. Every phase reads the same source
// samples, so each vector of them is loaded once per tap and multiplied into
// all the phases.
struct Sse2 {
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
        Place<Phases>(lanes, i, count, factor, p0, out, stride);
    }
};

#endif

// Plain C++ in the same shape, for other processors (the compiler
// vectorises the lanes as it can).
struct Plain {
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
        Place<Phases>(lanes, i, count, factor, p0, out, stride);
    }
};

// Groups the blocks of both cover at a time.
constexpr std::size_t kVectorLanes = 4;

// Phases [p0, p0 + Phases) of every group: 4 * Vecs groups at a time, the
// rest 4 at a time, the last lanes past the groups computed from whatever
// lies there and dropped (see kUpsampleReadPast).
template <class Kernel, unsigned Phases, unsigned Vecs>
void PhaseRun(const UpsampleFilter& filter, const float* x, std::size_t groups, unsigned p0,
              float* out, std::size_t stride) {
    const float* taps[Phases];
    for (unsigned ph = 0; ph < Phases; ++ph) {
        taps[ph] = filter.phases.data() + std::size_t{p0 + ph} * kUpsampleTaps;
    }
    const float* from = x + filter.offset;
    std::size_t i = 0;
    for (; i + kVectorLanes * Vecs <= groups; i += kVectorLanes * Vecs) {
        Kernel::template Block<Phases, Vecs>(taps, from, i, kVectorLanes * Vecs, filter.factor, p0,
                                             out, stride);
    }
    for (; i < groups; i += kVectorLanes) {
        Kernel::template Block<Phases, 1>(taps, from, i, groups - i, filter.factor, p0, out,
                                          stride);
    }
}

// The phases in runs of three (factors divisible by three) or four, the
// rest together: at most 9 accumulators and 13 registers in all.
template <class Kernel>
void Groups(const UpsampleFilter& filter, const float* x, std::size_t groups, float* out,
            std::size_t stride) {
    const unsigned factor = filter.factor;
    const unsigned run = factor % 3 == 0 ? 3 : 4;
    unsigned p = 0;
    for (; p + run <= factor; p += run) {
        if (run == 3) {
            PhaseRun<Kernel, 3, 3>(filter, x, groups, p, out, stride);
        } else {
            PhaseRun<Kernel, 4, 2>(filter, x, groups, p, out, stride);
        }
    }
    switch (factor - p) {
        case 3:
            PhaseRun<Kernel, 3, 3>(filter, x, groups, p, out, stride);
            break;
        case 2:
            PhaseRun<Kernel, 2, 4>(filter, x, groups, p, out, stride);
            break;
        case 1:
            PhaseRun<Kernel, 1, 4>(filter, x, groups, p, out, stride);
            break;
        default:
            break;
    }
}

const UpsampleKernel kPlain{Groups<Plain>, One};
#if defined(__SSE2__)
const UpsampleKernel kPortable{Groups<Sse2>, One};
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
