#include "convert/upsample_kernel.h"

#include <algorithm>

namespace _Carovel {
namespace {

// Outputs of one phase computed together: the compiler keeps them in
// vector registers across the taps.
constexpr std::size_t kLanes = 8;

// Compiled without contraction of a * b + c into one instruction, so the
// lanes below and One round alike on every processor.
float One(const UpsampleFilter& filter, const float* x, unsigned p) {
    const float* taps = filter.phases.data() + std::size_t{p} * kUpsampleTaps;
    const float* from = x + filter.offset;
    float acc = 0.0f;
    for (unsigned q = 0; q < kUpsampleTaps; ++q) {
        acc += taps[q] * from[q];
    }
    return acc;
}

void Groups(const UpsampleFilter& filter, const float* x, std::size_t groups, float* out,
            std::size_t stride) {
    const unsigned factor = filter.factor;
    const float* from = x + filter.offset;
    for (unsigned p = 0; p < factor; ++p) {
        const float* taps = filter.phases.data() + std::size_t{p} * kUpsampleTaps;
        // The last lanes past the groups are computed from whatever lies
        // there and dropped (see kUpsampleReadPast).
        for (std::size_t i = 0; i < groups; i += kLanes) {
            float acc[kLanes] = {};
            for (unsigned q = 0; q < kUpsampleTaps; ++q) {
                const float t = taps[q];
                for (std::size_t k = 0; k < kLanes; ++k) {
                    acc[k] += t * from[i + k + q];
                }
            }
            const std::size_t count = std::min(kLanes, groups - i);
            for (std::size_t k = 0; k < count; ++k) {
                out[((i + k) * factor + p) * stride] = acc[k];
            }
        }
    }
}

const UpsampleKernel kPortable{Groups, One};

}  // namespace

const UpsampleKernel& PortableUpsampleKernel() {
    return kPortable;
}

const UpsampleKernel& ChosenUpsampleKernel() {
    static const UpsampleKernel* const chosen = [] {
        const UpsampleKernel* avx2 = Avx2UpsampleKernel();
        return avx2 != nullptr ? avx2 : &kPortable;
    }();
    return *chosen;
}

}  // namespace _Carovel
