#include "convert/format_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pcm/sample_codec.h"

namespace _Carovel {
namespace {

// Float source samples per chunk read into 32-bit integers.
constexpr std::size_t kChunkSamples = 4096;

// 32-bit integers per 1.0 of a float that goes through the converter into
// another float format: 2^27, 24 dB of headroom.
constexpr int kFloatThroughBits = 27;

}  // namespace

std::shared_ptr<FormatStream> FormatStream::Create(const PcmFormat& src, const PcmFormat& dst,
                                                   Resampler resampler) {
    if (!src.IsSupported() || !dst.IsSupported()) {
        return nullptr;
    }
    auto stream = std::make_shared<FormatStream>(Token{}, src, dst);
    if (src == dst && src.isFloat) {
        return stream;  // a copy
    }
    PcmFormat innerSrc = src;
    PcmFormat innerDst = dst;
    innerSrc.isFloat = false;
    innerDst.isFloat = false;
    stream->inner_ = ConvertStream::Create(innerSrc, innerDst, resampler);
    if (stream->inner_ == nullptr) {
        return nullptr;
    }
    const int bits = src.isFloat && dst.isFloat ? kFloatThroughBits : 31;
    stream->inScale_ = std::ldexp(1.0, bits);
    stream->outScale_ = std::ldexp(1.0f, -bits);
    if (src.isFloat) {
        stream->chunkBlocks_ = std::max<std::size_t>(1, kChunkSamples / src.channels);
        stream->in_.resize(stream->chunkBlocks_ * src.BlockAlign());
    }
    return stream;
}

FormatStream::FormatStream(Token, const PcmFormat& src, const PcmFormat& dst)
    : src_(src), dst_(dst) {}

void FormatStream::ReadFloats(const unsigned char* src, std::size_t blocks) {
    const std::size_t n = blocks * src_.channels;
    constexpr auto lo = static_cast<double>(Signed32::kMin);
    constexpr auto hi = static_cast<double>(Signed32::kMax);
    unsigned char* out = in_.data();
    for (std::size_t i = 0; i < n; ++i) {
        bool clipped = false;  // counted for the blocks used only (CountClipped)
        Signed32::Write(out + 4 * i,
                        FloatToWhole(Float32::Read(src + 4 * i), inScale_, lo, hi, clipped));
    }
}

void FormatStream::CountClipped(const unsigned char* src, std::size_t blocks) {
    const std::size_t n = blocks * src_.channels;
    // Full scale of the integers, as a float sample: 1.0, or 16.0 between
    // floats.
    const auto limit = static_cast<float>(std::ldexp(1.0, 31) / inScale_);
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        count += std::fabs(Float32::Read(src + 4 * i)) > limit ? 1 : 0;
    }
    clipped_ += count;
}

void FormatStream::WriteFloats(unsigned char* dst, std::size_t bytes) const {
    for (std::size_t i = 0; i + 4 <= bytes; i += 4) {
        Float32::Write(dst + i, static_cast<float>(Signed32::Read(dst + i)) * outScale_);
    }
}

StepResult FormatStream::Step(const unsigned char* src, std::size_t srcLen, unsigned char* dst,
                              std::size_t dstLen) {
    const std::size_t srcAlign = src_.BlockAlign();
    if (!inner_) {
        const std::size_t bytes = std::min(srcLen, dstLen) / srcAlign * srcAlign;
        if (bytes > 0) {
            std::memcpy(dst, src, bytes);
        }
        return {bytes, bytes};
    }
    StepResult result{0, 0};
    if (!src_.isFloat) {
        result = inner_->Step(src, srcLen, dst, dstLen);
    } else {
        const std::size_t blocks = srcLen / srcAlign;
        while (result.used < blocks * srcAlign) {
            const std::size_t n = std::min(blocks - result.used / srcAlign, chunkBlocks_);
            const unsigned char* const from = src + result.used;
            ReadFloats(from, n);
            const StepResult step = inner_->Step(in_.data(), n * srcAlign, dst + result.produced,
                                                 dstLen - result.produced);
            CountClipped(from, step.used / srcAlign);
            result.used += step.used;
            result.produced += step.produced;
            if (step.used < n * srcAlign) {
                break;  // the room ran out
            }
        }
    }
    if (dst_.isFloat) {
        WriteFloats(dst, result.produced);
    }
    return result;
}

StepResult FormatStream::Drain(unsigned char* dst, std::size_t dstLen) {
    if (!inner_) {
        return {0, 0};
    }
    const StepResult result = inner_->Drain(dst, dstLen);
    if (dst_.isFloat) {
        WriteFloats(dst, result.produced);
    }
    return result;
}

}  // namespace _Carovel
