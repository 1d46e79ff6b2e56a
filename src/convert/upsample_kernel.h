// The filter of the whole-factor upsampler and the kernels that apply it.
#ifndef CAROVEL_CONVERT_UPSAMPLE_KERNEL_H
#define CAROVEL_CONVERT_UPSAMPLE_KERNEL_H

#include <cstddef>
#include <memory>
#include <vector>

namespace _Carovel {

// Taps of each phase as stored: the filter's 70 and one zero, before or
// after them, that lines every phase up on the same source samples.
constexpr unsigned kUpsampleTaps = 71;

// The phases of a polyphase interpolation filter. Output p of group i
// (output i * factor + p) is the dot product of phase p's taps with the
// source samples x[i + offset], ..., x[i + offset + kUpsampleTaps - 1].
struct UpsampleFilter {
    unsigned factor = 0;
    std::vector<float> phases;  // factor * kUpsampleTaps: phase p from p * kUpsampleTaps
    int offset = 0;
    // The newest source sample a group needs, from the group's own:
    // offset + kUpsampleTaps - 1.
    int lookAhead = 0;
};

// The first half, centre included, of the prototype lowpass of a factor from
// 2 to 16 (Upsampler::kTaps * factor - 1 taps, symmetric, unit gain);
// designed offline by scripts/design-upsample-filters.py. Null for other
// factors.
const float* UpsamplePrototype(unsigned factor);

// The filter of a factor from 2 to 16, made on its first use in the process
// and shared from then on.
std::shared_ptr<const UpsampleFilter> UpsampleFilterFor(unsigned factor);

// The groups function may read the source up to this many samples past the
// last group's (x[groups - 1 + lookAhead + kUpsampleReadPast]), computing
// outputs it drops (each output reads only its own samples): the caller
// keeps that much readable memory there.
constexpr std::size_t kUpsampleReadPast = 7;

// Both functions of a kernel sum a dot product in the same order and the
// same way (one multiply-add per tap, from the first tap), so a sample
// computed by either is the same to the bit.
struct UpsampleKernel {
    // Every phase of groups [0, groups), the group's source sample i at
    // x[i]: output i * factor + p goes to out[(i * factor + p) * stride].
    void (*groups)(const UpsampleFilter& filter, const float* x, std::size_t groups, float* out,
                   std::size_t stride);
    // Output p of the group whose source sample is x[0].
    float (*one)(const UpsampleFilter& filter, const float* x, unsigned p);
};

// For every processor of the build's architecture: SSE2 on x86, otherwise
// PlainUpsampleKernel.
const UpsampleKernel& PortableUpsampleKernel();
// Plain C++, for any processor (vectorised as the compiler can).
const UpsampleKernel& PlainUpsampleKernel();
// AVX2 with FMA; null where the build has no such kernel or the processor
// lacks either.
const UpsampleKernel* Avx2UpsampleKernel();
// The fastest of those the processor runs, chosen on the first call.
const UpsampleKernel& ChosenUpsampleKernel();

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_UPSAMPLE_KERNEL_H
