// Raises a stream's rate by a whole factor (16 kHz into 48 kHz, 8 kHz into
// 16 kHz and the like) with a polyphase FIR filter, output as soon as the
// input allows.
//
// The prototype filter is an equiripple lowpass of kTaps * L - 1 taps (odd,
// so that its centre falls on an output sample), designed offline for each
// factor (scripts/design-upsample-filters.py): each output sample is one dot
// product of kTaps source samples with one of the L phases of the filter
// (stored with one zero tap more, see kUpsampleTaps). Its passband is flat to
// within 0.2 dB up to 0.9 of the source's Nyquist frequency (within 0.005 dB
// below 0.3 of it, where speech lives), and it rejects by at least 93 dB
// everything from that Nyquist frequency up: the images of every tone below
// it. The phases sum to one on average, so a constant comes out within
// 0.005 dB of itself.
//
// The output is aligned with the input: output block m stands for source
// block m / L, and needs the source up to a look-ahead of about kTaps / 2
// blocks beyond that (2.2 ms at 16 kHz, 4.4 ms at 8 kHz, whatever the
// factor).
// The stream before its first block is silence.
//
// The dot products run on the widest vector kernel the processor has (AVX2
// with FMA where present), chosen once; every output sample is computed the
// same way whichever way a stream is cut into calls, so the output does not
// depend on the cutting.
#ifndef CAROVEL_CONVERT_UPSAMPLER_H
#define CAROVEL_CONVERT_UPSAMPLER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace _Carovel {

struct UpsampleKernel;
struct UpsampleFilter;

class Upsampler {
  public:
    // Taps per phase.
    static constexpr unsigned kTaps = 70;
    // The largest factor taken.
    static constexpr unsigned kMaxFactor = 16;

    // dstRate / srcRate when it is a whole number from 2 to kMaxFactor; 0
    // otherwise.
    static unsigned FactorFor(unsigned srcRate, unsigned dstRate);

    // Interleaved float blocks of `channels` samples, raised by `factor`
    // (2..kMaxFactor). Null for other factors or no channels. Throws
    // std::bad_alloc when memory runs out. The filter of each factor is made
    // once per process and shared by every stream.
    static std::unique_ptr<Upsampler> Create(unsigned channels, unsigned factor);
    // The same on the given kernel (see upsample_kernel.h) instead of the
    // processor's fastest.
    static std::unique_ptr<Upsampler> Create(unsigned channels, unsigned factor,
                                             const UpsampleKernel& kernel);
    ~Upsampler();
    Upsampler(const Upsampler&) = delete;
    Upsampler& operator=(const Upsampler&) = delete;

    // Writes up to *outBlocks blocks to out, taking from in[0, *inBlocks)
    // only the blocks those outputs need; on return *inBlocks holds the
    // blocks taken and *outBlocks the blocks written. Blocks not taken are
    // for the next call. Allocates nothing.
    void Process(const float* in, std::size_t* inBlocks, float* out, std::size_t* outBlocks);
    // Starts afresh, as if just created.
    void Reset();

  private:
    Upsampler(unsigned channels, std::shared_ptr<const UpsampleFilter> filter,
              const UpsampleKernel& kernel);
    // Writes up to room outputs that the input taken so far allows.
    std::size_t Emit(float* out, std::size_t room);
    // Takes up to count blocks of in into the history.
    void Take(const float* in, std::size_t count);

    unsigned channels_;
    std::shared_ptr<const UpsampleFilter> filter_;
    const UpsampleKernel* kernel_;
    // Per channel, capacity_ source samples: history_[c * capacity_ + j] is
    // source block base_ + j, for j below filled_.
    std::vector<float> history_;
    std::size_t capacity_ = 0;
    std::int64_t base_ = 0;
    std::size_t filled_ = 0;
    std::uint64_t taken_ = 0;  // source blocks taken
    std::uint64_t made_ = 0;   // outputs written
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_UPSAMPLER_H
