#include "engine/mix_kernel.h"

#include <algorithm>
#include <cstdint>

#include "engine/vector_clones.h"
#include "pcm/sample_codec.h"

// On x86-64 the kernel is built for AVX2 and for the baseline (see
// vector_clones.h).

namespace _Carovel {
namespace {

// Sample positions summed per block; the accumulators live on the stack.
constexpr std::size_t kBlockSamples = 512;

// ---------------------------------------------------------------------------
// Wide sums: kept for the whole pass so that mix-minus outputs and the
// limiter can be derived from them.

// The term a sample adds: the sample itself, or sample * gain.
template <typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE Acc Term(std::int32_t sample, std::int32_t gain) {
    if constexpr (Scaled) {
        return static_cast<Acc>(std::int64_t{sample} * gain);
    } else {
        (void)gain;
        return static_cast<Acc>(sample);
    }
}

template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void AddFrameTerms(Acc* acc, const unsigned char* src, std::int32_t gain,
                                         std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        acc[i] += Term<Acc, Scaled>(Codec::Read(src + i * Codec::kWidth), gain);
    }
}

template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void AddFourFrameTerms(Acc* acc, const unsigned char* const* src,
                                             const std::int32_t* gain, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t o = i * Codec::kWidth;
        acc[i] += Term<Acc, Scaled>(Codec::Read(src[0] + o), gain[0]) +
                  Term<Acc, Scaled>(Codec::Read(src[1] + o), gain[1]) +
                  Term<Acc, Scaled>(Codec::Read(src[2] + o), gain[2]) +
                  Term<Acc, Scaled>(Codec::Read(src[3] + o), gain[3]);
    }
}

template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void SumWith(const WaveFrame* const* frames, const std::int32_t* gains,
                                   std::size_t count, Acc* sums, std::size_t from, std::size_t to) {
    std::fill(sums, sums + (to - from), Acc{0});
    const unsigned char* src[4];
    std::int32_t gain[4];
    std::size_t len[4];
    for (std::size_t base = from; base < to; base += kBlockSamples) {
        const std::size_t n = std::min(kBlockSamples, to - base);
        Acc* const acc = sums + (base - from);
        std::size_t grouped = 0;
        for (std::size_t f = 0; f < count; ++f) {
            const std::size_t samples = static_cast<std::size_t>(frames[f]->nLen) / Codec::kWidth;
            if (samples <= base) {
                continue;
            }
            src[grouped] =
                reinterpret_cast<const unsigned char*>(frames[f]->pData) + base * Codec::kWidth;
            gain[grouped] = gains != nullptr ? gains[f] : kUnityGain;
            len[grouped] = std::min(n, samples - base);
            if (++grouped == 4) {
                const std::size_t common = *std::min_element(len, len + 4);
                AddFourFrameTerms<Codec, Acc, Scaled>(acc, src, gain, common);
                for (std::size_t g = 0; g < 4; ++g) {
                    AddFrameTerms<Codec, Acc, Scaled>(acc + common, src[g] + common * Codec::kWidth,
                                                      gain[g], len[g] - common);
                }
                grouped = 0;
            }
        }
        for (std::size_t g = 0; g < grouped; ++g) {
            AddFrameTerms<Codec, Acc, Scaled>(acc, src[g], gain[g], len[g]);
        }
    }
}

// A scaled value rounded to the nearest whole sample, halves away from zero;
// an unscaled value as it is.
template <typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE Acc RoundWide(Acc v) {
    if constexpr (Scaled) {
        const Acc sign = v < 0 ? Acc{-1} : Acc{0};
        const Acc magnitude = (v ^ sign) - sign;
        const Acc rounded = (magnitude + Acc{0x8000}) >> 16;
        return (rounded ^ sign) - sign;
    } else {
        return v;
    }
}

// Writes a value clamped to the width's range.
template <typename Codec, typename Acc>
CAROVEL_VECTOR_INLINE void StoreClamped(unsigned char* out, Acc v) {
    Codec::Write(out, static_cast<std::int64_t>(std::clamp<Acc>(v, static_cast<Acc>(Codec::kMin),
                                                                static_cast<Acc>(Codec::kMax))));
}

// The whole samples of own (null for none) among the first total positions.
template <typename Codec>
CAROVEL_VECTOR_INLINE std::size_t OwnSamples(const WaveFrame* own, std::size_t total) {
    return own != nullptr ? std::min(total, static_cast<std::size_t>(own->nLen) / Codec::kWidth)
                          : 0;
}

template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void StoreMinusWith(const Acc* sums, std::size_t total, const WaveFrame* own,
                                          std::int32_t gain, unsigned char* out) {
    const std::size_t ownSamples = OwnSamples<Codec>(own, total);
    const auto* src = own != nullptr ? reinterpret_cast<const unsigned char*>(own->pData) : nullptr;
    for (std::size_t i = 0; i < ownSamples; ++i) {
        StoreClamped<Codec>(
            out + i * Codec::kWidth,
            RoundWide<Acc, Scaled>(sums[i] -
                                   Term<Acc, Scaled>(Codec::Read(src + i * Codec::kWidth), gain)));
    }
    for (std::size_t i = ownSamples; i < total; ++i) {
        StoreClamped<Codec>(out + i * Codec::kWidth, RoundWide<Acc, Scaled>(sums[i]));
    }
}

template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void WideMinusWith(const Acc* sums, std::size_t total, const WaveFrame* own,
                                         std::int32_t gain, Acc* dst) {
    const std::size_t ownSamples = OwnSamples<Codec>(own, total);
    const auto* src = own != nullptr ? reinterpret_cast<const unsigned char*>(own->pData) : nullptr;
    for (std::size_t i = 0; i < ownSamples; ++i) {
        dst[i] = sums[i] - Term<Acc, Scaled>(Codec::Read(src + i * Codec::kWidth), gain);
    }
    std::copy(sums + ownSamples, sums + total, dst + ownSamples);
}

// The three wide operations for one codec, dispatched on the accumulator.
// Templates rather than lambdas, so that they are compiled into each cloned
// variant of the callers.
enum class WideOp { kSum, kStore, kMinus };

struct WideArgs {
    const WaveFrame* const* frames;
    const std::int32_t* gains;
    std::size_t count;
    const WaveFrame* own;
    std::int32_t gain;
    const void* sums;
    void* dst;
    std::size_t from;  // kSum only: the first position summed
    std::size_t total;
};

template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void RunWide(WideOp op, const WideArgs& a) {
    switch (op) {
        case WideOp::kSum:
            SumWith<Codec, Acc, Scaled>(a.frames, a.gains, a.count, static_cast<Acc*>(a.dst),
                                        a.from, a.total);
            break;
        case WideOp::kStore:
            StoreMinusWith<Codec, Acc, Scaled>(static_cast<const Acc*>(a.sums), a.total, a.own,
                                               a.gain, static_cast<unsigned char*>(a.dst));
            break;
        case WideOp::kMinus:
            WideMinusWith<Codec, Acc, Scaled>(static_cast<const Acc*>(a.sums), a.total, a.own,
                                              a.gain, static_cast<Acc*>(a.dst));
            break;
    }
}

template <typename Codec>
CAROVEL_VECTOR_INLINE void RunWideKind(WideOp op, WideKind kind, const WideArgs& a) {
    switch (kind) {
        case WideKind::k32:
            RunWide<Codec, std::int32_t, false>(op, a);
            break;
        case WideKind::k64:
            RunWide<Codec, std::int64_t, false>(op, a);
            break;
        case WideKind::k64Scaled:
            RunWide<Codec, std::int64_t, true>(op, a);
            break;
        case WideKind::k128Scaled:
            RunWide<Codec, WideInt128, true>(op, a);
            break;
    }
}

CAROVEL_VECTOR_INLINE void RunWideOp(WideOp op, WideKind kind, unsigned bytesPerSample,
                                     const WideArgs& a) {
    switch (bytesPerSample) {
        case 1:
            RunWideKind<Unsigned8>(op, kind, a);
            break;
        case 2:
            RunWideKind<Signed16>(op, kind, a);
            break;
        case 3:
            RunWideKind<Signed24>(op, kind, a);
            break;
        default:
            RunWideKind<Signed32>(op, kind, a);
            break;
    }
}

// Extremes of wide sums and of frames, for the limiter's quick check.
template <typename Acc>
CAROVEL_VECTOR_INLINE double WidePeakWith(const Acc* sums, std::size_t total) {
    Acc low = 0;
    Acc high = 0;
    for (std::size_t i = 0; i < total; ++i) {
        low = std::min(low, sums[i]);
        high = std::max(high, sums[i]);
    }
    return std::max(-static_cast<double>(low), static_cast<double>(high));
}

template <typename Codec>
CAROVEL_VECTOR_INLINE std::int64_t FramePeakWith(const WaveFrame* frame, std::size_t total) {
    const std::size_t n = std::min(total, static_cast<std::size_t>(frame->nLen) / Codec::kWidth);
    const auto* src = reinterpret_cast<const unsigned char*>(frame->pData);
    std::int32_t low = 0;
    std::int32_t high = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t v = Codec::Read(src + i * Codec::kWidth);
        low = std::min(low, v);
        high = std::max(high, v);
    }
    return std::max(-std::int64_t{low}, std::int64_t{high});
}

}  // namespace

CAROVEL_VECTOR_CLONES void MixFrames(const WaveFrame* const* frames, const std::int32_t* gains,
                                     std::size_t count, unsigned bytesPerSample, char* out,
                                     std::size_t total) {
    if (!IsSupportedWidth(bytesPerSample)) {
        return;
    }
    // A block of sums at a time on the stack: the plain mix needs no room of
    // its own.
    alignas(16) unsigned char sums[kBlockSamples * kMaxWideBytes];
    const WideKind kind = ChooseWide(bytesPerSample, count, gains != nullptr);
    for (std::size_t base = 0; base < total; base += kBlockSamples) {
        const std::size_t n = std::min(kBlockSamples, total - base);
        RunWideOp(
            WideOp::kSum, kind, bytesPerSample,
            WideArgs{frames, gains, count, nullptr, kUnityGain, nullptr, sums, base, base + n});
        RunWideOp(WideOp::kStore, kind, bytesPerSample,
                  WideArgs{nullptr, nullptr, 0, nullptr, kUnityGain, sums,
                           out + base * bytesPerSample, 0, n});
    }
}

int MixFrames(const WaveFrame* const* frames, std::size_t count, unsigned bytesPerSample, char* out,
              int capacity) {
    if (capacity <= 0 || out == nullptr || !IsSupportedWidth(bytesPerSample)) {
        return 0;
    }
    std::size_t longest = 0;
    for (std::size_t f = 0; f < count; ++f) {
        longest = std::max(longest, static_cast<std::size_t>(frames[f]->nLen) / bytesPerSample);
    }
    const std::size_t total =
        std::min(longest, static_cast<std::size_t>(capacity) / bytesPerSample);
    MixFrames(frames, nullptr, count, bytesPerSample, out, total);
    return static_cast<int>(total * bytesPerSample);
}

}  // namespace _Carovel

namespace _Carovel {

WideKind ChooseWide(unsigned bytesPerSample, std::size_t count, bool gained) {
    if (!gained) {
        return bytesPerSample <= 2 && count <= 65536 ? WideKind::k32 : WideKind::k64;
    }
    // A term is at most 2^(8 * width - 1) * kMaxGain = 2^(8 * width + 19) in
    // magnitude; the sum of count of them, and its magnitude when rounding,
    // stays below 2^63 while count < 2^(44 - 8 * width).
    const unsigned bits = 44 - 8 * std::min(bytesPerSample, 4u);
    return count < (std::size_t{1} << bits) ? WideKind::k64Scaled : WideKind::k128Scaled;
}

std::size_t WideBytes(WideKind kind) {
    switch (kind) {
        case WideKind::k32:
            return 4;
        case WideKind::k64:
        case WideKind::k64Scaled:
            return 8;
        default:
            return sizeof(WideInt128);
    }
}

CAROVEL_VECTOR_CLONES void SumWide(const WaveFrame* const* frames, const std::int32_t* gains,
                                   std::size_t count, unsigned bytesPerSample, WideKind kind,
                                   void* sums, std::size_t from, std::size_t to) {
    const WideArgs a{frames, gains, count, nullptr, kUnityGain, nullptr, sums, from, to};
    RunWideOp(WideOp::kSum, kind, bytesPerSample, a);
}

CAROVEL_VECTOR_CLONES void StoreWideMinus(const void* sums, WideKind kind, std::size_t total,
                                          unsigned bytesPerSample, const WaveFrame* own,
                                          std::int32_t gain, char* out) {
    const WideArgs a{nullptr, nullptr, 0, own, gain, sums, out, 0, total};
    RunWideOp(WideOp::kStore, kind, bytesPerSample, a);
}

CAROVEL_VECTOR_CLONES void WideMinus(const void* sums, WideKind kind, std::size_t total,
                                     unsigned bytesPerSample, const WaveFrame* own,
                                     std::int32_t gain, void* dst) {
    const WideArgs a{nullptr, nullptr, 0, own, gain, sums, dst, 0, total};
    RunWideOp(WideOp::kMinus, kind, bytesPerSample, a);
}

}  // namespace _Carovel

namespace _Carovel {

CAROVEL_VECTOR_CLONES double WidePeak(const void* sums, WideKind kind, std::size_t total) {
    switch (kind) {
        case WideKind::k32:
            return WidePeakWith(static_cast<const std::int32_t*>(sums), total);
        case WideKind::k64:
        case WideKind::k64Scaled:
            return WidePeakWith(static_cast<const std::int64_t*>(sums), total);
        default:
            return WidePeakWith(static_cast<const WideInt128*>(sums), total);
    }
}

CAROVEL_VECTOR_CLONES std::int64_t FramePeak(const WaveFrame* frame, unsigned bytesPerSample,
                                             std::size_t total) {
    switch (bytesPerSample) {
        case 1:
            return FramePeakWith<Unsigned8>(frame, total);
        case 2:
            return FramePeakWith<Signed16>(frame, total);
        case 3:
            return FramePeakWith<Signed24>(frame, total);
        default:
            return FramePeakWith<Signed32>(frame, total);
    }
}

}  // namespace _Carovel
