// What every kernel of the upsampler shares around its own Block: the runs of
// phases a factor is cut into, the blocks of groups a run is cut into, and
// the placing of a block's outputs.
//
// A kernel is a struct with kLanes (groups per vector) and
//   template <unsigned Phases, unsigned Vecs>
//   static void Block(const float* const* taps, const float* from,
//                     std::size_t i, std::size_t count, unsigned factor,
//                     unsigned p0, float* out, std::size_t stride);
// which computes phases [p0, p0 + Phases) of groups i .. i + kLanes * Vecs - 1
// (the source sample of group g at from[g], each phase's taps at taps[ph])
// and writes the first count of them with PlaceUpsampled.
#ifndef CAROVEL_CONVERT_UPSAMPLE_RUNS_H
#define CAROVEL_CONVERT_UPSAMPLE_RUNS_H

#include <algorithm>
#include <cstddef>

#include "convert/upsample_kernel.h"

namespace _Carovel {

// Writes the first count of the outputs in lanes (Phases rows of Width) to
// their places: output k of row ph is group i + k, phase p0 + ph.
template <unsigned Phases, std::size_t Width>
void PlaceUpsampled(const float (&lanes)[Phases][Width], std::size_t i, std::size_t count,
                    unsigned factor, unsigned p0, float* out, std::size_t stride) {
    const std::size_t n = std::min(Width, count);
    for (unsigned ph = 0; ph < Phases; ++ph) {
        float* to = out + (i * factor + p0 + ph) * stride;
        for (std::size_t k = 0; k < n; ++k) {
            to[k * factor * stride] = lanes[ph][k];
        }
    }
}

// Phases [p0, p0 + Phases) of every group: kLanes * Vecs groups at a time,
// the rest kLanes at a time, the last lanes past the groups computed from
// whatever lies there and dropped (see kUpsampleReadPast).
template <class Kernel, unsigned Phases, unsigned Vecs>
void UpsamplePhaseRun(const UpsampleFilter& filter, const float* x, std::size_t groups, unsigned p0,
                      float* out, std::size_t stride) {
    constexpr std::size_t kBlock = Kernel::kLanes * Vecs;
    const float* taps[Phases];
    for (unsigned ph = 0; ph < Phases; ++ph) {
        taps[ph] = filter.phases.data() + std::size_t{p0 + ph} * kUpsampleTaps;
    }
    const float* from = x + filter.offset;
    std::size_t i = 0;
    for (; i + kBlock <= groups; i += kBlock) {
        Kernel::template Block<Phases, Vecs>(taps, from, i, kBlock, filter.factor, p0, out, stride);
    }
    for (; i < groups; i += Kernel::kLanes) {
        Kernel::template Block<Phases, 1>(taps, from, i, groups - i, filter.factor, p0, out,
                                          stride);
    }
}

// UpsampleKernel::groups on Kernel: the phases in runs of three (factors
// divisible by three) or four, the rest together, so that a block holds at
// most 9 accumulators and 13 vector registers in all.
template <class Kernel>
void UpsampleGroups(const UpsampleFilter& filter, const float* x, std::size_t groups, float* out,
                    std::size_t stride) {
    const unsigned factor = filter.factor;
    const unsigned run = factor % 3 == 0 ? 3 : 4;
    unsigned p = 0;
    for (; p + run <= factor; p += run) {
        if (run == 3) {
            UpsamplePhaseRun<Kernel, 3, 3>(filter, x, groups, p, out, stride);
        } else {
            UpsamplePhaseRun<Kernel, 4, 2>(filter, x, groups, p, out, stride);
        }
    }
    switch (factor - p) {
        case 3:
            UpsamplePhaseRun<Kernel, 3, 3>(filter, x, groups, p, out, stride);
            break;
        case 2:
            UpsamplePhaseRun<Kernel, 2, 4>(filter, x, groups, p, out, stride);
            break;
        case 1:
            UpsamplePhaseRun<Kernel, 1, 4>(filter, x, groups, p, out, stride);
            break;
        default:
            break;
    }
}

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_UPSAMPLE_RUNS_H
