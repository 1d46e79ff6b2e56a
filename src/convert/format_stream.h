// A conversion stream between any two formats the library takes, floats
// included: the integer stream converter (ConvertStream) with float ends.
//
// A float source is read into 32-bit integers before the converter, a float
// destination written from them after it:
//  - float into an integer type: each sample times 2^31, rounded and
//    clamped (counted in ClippedSamples when beyond full scale), then
//    converted as a 32-bit integer stream;
//  - an integer type into float: converted to 32-bit integers, then each
//    divided by 2^31 (full scale 1.0);
//  - float into float: with equal formats a plain copy; otherwise through
//    32-bit integers at 2^27 per 1.0, so that 24 dB of headroom (up to
//    +-16.0) passes the converter, with 27 bits of precision (more than a
//    float's 24); samples beyond it are clamped and counted.
#ifndef CAROVEL_CONVERT_FORMAT_STREAM_H
#define CAROVEL_CONVERT_FORMAT_STREAM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "convert/convert_stream.h"
#include "pcm/pcm_format.h"

namespace _Carovel {

class FormatStream {
    struct Token {
        explicit Token() = default;
    };

  public:
    // Returns null when either format is unsupported or the converter
    // cannot be set up. Throws std::bad_alloc when memory runs out.
    // resampler is the converter's between different rates.
    static std::shared_ptr<FormatStream> Create(const PcmFormat& src, const PcmFormat& dst,
                                                Resampler resampler = Resampler::kLowLatency);

    FormatStream(Token, const PcmFormat& src, const PcmFormat& dst);
    FormatStream(const FormatStream&) = delete;
    FormatStream& operator=(const FormatStream&) = delete;

    // As ConvertStream::Step, Drain and HeldBackBlocks.
    StepResult Step(const unsigned char* src, std::size_t srcLen, unsigned char* dst,
                    std::size_t dstLen);
    StepResult Drain(unsigned char* dst, std::size_t dstLen);
    std::size_t HeldBackBlocks() const { return inner_ ? inner_->HeldBackBlocks() : 0; }
    std::size_t DestinationBlockAlign() const { return dst_.BlockAlign(); }
    bool Resampling() const { return inner_ && inner_->Resampling(); }
    double SourcePerOutput() const { return inner_ ? inner_->SourcePerOutput() : 1.0; }

    // Float source samples clamped on the way in (beyond full scale) since
    // the last call; the count starts again at 0.
    std::uint64_t TakeClipped() {
        const std::uint64_t count = clipped_;
        clipped_ = 0;
        return count;
    }

  private:
    // Reads blocks of the float source into in_ as 32-bit integers.
    void ReadFloats(const unsigned char* src, std::size_t blocks);
    // Counts the float source samples of blocks that lie beyond the range.
    void CountClipped(const unsigned char* src, std::size_t blocks);
    // Turns the 32-bit integers at dst into floats, in place.
    void WriteFloats(unsigned char* dst, std::size_t bytes) const;

    PcmFormat src_;
    PcmFormat dst_;
    std::shared_ptr<ConvertStream> inner_;  // null for a copy
    double inScale_ = 0.0;                  // float source sample to 32-bit integer
    float outScale_ = 0.0f;                 // 32-bit integer to float destination sample
    std::size_t chunkBlocks_ = 0;
    std::vector<unsigned char> in_;  // a chunk of the float source as 32-bit integers
    std::uint64_t clipped_ = 0;
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_FORMAT_STREAM_H
