#include "engine/mix_kernel.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "engine/vector_clones.h"
#include "pcm/sample_codec.h"

#if defined(CAROVEL_AVX2)
#include <immintrin.h>
#endif

// On x86-64 the kernel is built for AVX2 and for the baseline (see
// vector_clones.h); plain sums of 16-bit samples have a sweep of their own
// for AVX2 (SweepPairs16), chosen at run time.

namespace _Carovel {
namespace {

// The wide sums of a block of sample positions fit in kBlockBytes (in L1
// beside the frames' samples): 2048 positions of 32-bit sums, fewer of wider
// ones. The plain mix keeps one block on the stack.
constexpr std::size_t kBlockBytes = 8192;
template <typename Acc>
constexpr std::size_t kBlockSamples = kBlockBytes / sizeof(Acc);

// Frames summed per sweep over a block's sums: each sweep loads and stores
// the sums once, however many frames it adds.
constexpr std::size_t kGroupFrames = 8;

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

// What a sweep does at each position with the sum of its group's terms:
// sets the block's sums to it (the first sweep), adds it to them, or adds it
// and writes the result rounded and clamped (the last sweep of a plain mix),
// or writes it alone so (the only sweep).
enum class Sweep { kSet, kAdd, kFinish, kSetFinish };

#if defined(CAROVEL_AVX2)
// Whether the CPU runs the CAROVEL_AVX2 steps.
bool CpuHasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

// SweepGroup for 16-bit samples into 32-bit sums. The compiler widens each
// frame's samples with a sign-extending shuffle per 8 of them, the slowest
// step of the sweep; here the samples of two frames are interleaved and each
// pair added by vpmaddwd (times 1 each), which takes half the instructions.
// A 16-position step holds positions 0-3 and 8-11 in lo, 4-7 and 12-15 in
// hi: the order in which vpackssdw, which also clamps, puts them back when
// the sweep finishes the block.
template <std::size_t G, Sweep S>
CAROVEL_AVX2 CAROVEL_VECTOR_INLINE void PairStep(std::int32_t* acc, const unsigned char* const* src,
                                                 std::size_t i, unsigned char* out) {
    const __m256i ones = _mm256_set1_epi16(1);
    const std::size_t o = 2 * i;
    __m256i lo = _mm256_setzero_si256();
    __m256i hi = _mm256_setzero_si256();
    for (std::size_t g = 0; g < G; g += 2) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[g] + o));
        const __m256i b = g + 1 < G
                              ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[g + 1] + o))
                              : _mm256_setzero_si256();
        lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), ones));
        hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), ones));
    }
    auto* const sums = reinterpret_cast<__m256i*>(acc + i);
    if constexpr (S == Sweep::kSet || S == Sweep::kAdd) {
        __m256i first = _mm256_permute2x128_si256(lo, hi, 0x20);
        __m256i second = _mm256_permute2x128_si256(lo, hi, 0x31);
        if constexpr (S == Sweep::kAdd) {
            first = _mm256_add_epi32(first, _mm256_loadu_si256(sums));
            second = _mm256_add_epi32(second, _mm256_loadu_si256(sums + 1));
        }
        _mm256_storeu_si256(sums, first);
        _mm256_storeu_si256(sums + 1, second);
    } else {
        if constexpr (S == Sweep::kFinish) {
            const __m256i first = _mm256_loadu_si256(sums);
            const __m256i second = _mm256_loadu_si256(sums + 1);
            lo = _mm256_add_epi32(lo, _mm256_permute2x128_si256(first, second, 0x20));
            hi = _mm256_add_epi32(hi, _mm256_permute2x128_si256(first, second, 0x31));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), _mm256_packs_epi32(lo, hi));
    }
}

// Bytes ahead of each frame's loads that SweepPairs16 asks for the frame's
// samples: the compiled loop is short enough per byte that the CPU's own
// prefetching of 8 streams at once falls behind it.
constexpr std::size_t kPairsAhead = 192;

// Runs PairStep over the first n positions; returns the positions done (n
// rounded down to 16).
template <std::size_t G, Sweep S>
CAROVEL_AVX2 std::size_t SweepPairs16(std::int32_t* acc, const unsigned char* const* groupSrc,
                                      std::size_t n, unsigned char* out) {
    const unsigned char* src[G];
    for (std::size_t g = 0; g < G; ++g) {
        src[g] = groupSrc[g];
    }
    std::size_t i = 0;
    // 32 positions (a 64-byte line of each frame) per round.
    for (; i + 32 <= n; i += 32) {
        for (std::size_t g = 0; g < G; ++g) {
            const std::uintptr_t ahead =
                reinterpret_cast<std::uintptr_t>(src[g]) + 2 * i + kPairsAhead;
            _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
        }
        PairStep<G, S>(acc, src, i, out);
        PairStep<G, S>(acc, src, i + 16, out);
    }
    if (i + 16 <= n) {
        PairStep<G, S>(acc, src, i, out);
        i += 16;
    }
    return i;
}
#endif

// One sweep of G frames over the first n positions of a block, all of whose
// frames hold n whole samples.
template <typename Codec, typename Acc, bool Scaled, std::size_t G, Sweep S>
CAROVEL_VECTOR_INLINE void SweepGroup(Acc* acc, const unsigned char* const* groupSrc,
                                      const std::int32_t* groupGain, std::size_t n,
                                      unsigned char* out) {
    // Local copies, so that the compiler keeps them in registers whatever
    // the stores may alias.
    const unsigned char* src[G];
    std::int32_t gain[G];
    for (std::size_t g = 0; g < G; ++g) {
        src[g] = groupSrc[g];
        gain[g] = groupGain[g];
    }
    std::size_t done = 0;
#if defined(CAROVEL_AVX2)
    if constexpr (std::is_same_v<Codec, Signed16> && std::is_same_v<Acc, std::int32_t> && !Scaled) {
        if (CpuHasAvx2()) {
            done = SweepPairs16<G, S>(acc, src, n, out);
        }
    }
#endif
    // acc and out are the kernel's own, apart from the frames.
    CAROVEL_NO_OVERLAP
    for (std::size_t i = done; i < n; ++i) {
        const std::size_t o = i * Codec::kWidth;
        Acc t = Term<Acc, Scaled>(Codec::Read(src[0] + o), gain[0]);
        for (std::size_t g = 1; g < G; ++g) {
            t += Term<Acc, Scaled>(Codec::Read(src[g] + o), gain[g]);
        }
        if constexpr (S == Sweep::kSet) {
            acc[i] = t;
        } else if constexpr (S == Sweep::kAdd) {
            acc[i] += t;
        } else if constexpr (S == Sweep::kFinish) {
            StoreClamped<Codec>(out + o, RoundWide<Acc, Scaled>(acc[i] + t));
        } else {
            StoreClamped<Codec>(out + o, RoundWide<Acc, Scaled>(t));
        }
    }
}

// Adds a group of G frames (len[g] of their samples from src[g]) into the
// first n sums of a block. The first sweep sets the sums rather than adding
// to them; with out, the last one writes the finished block there, fused
// with its sums where every frame of the group covers the block.
template <typename Codec, typename Acc, bool Scaled, std::size_t G>
CAROVEL_VECTOR_INLINE void SumGroup(Acc* acc, const unsigned char* const* src,
                                    const std::int32_t* gain, const std::size_t* len, std::size_t n,
                                    bool first, unsigned char* out) {
    const std::size_t common = *std::min_element(len, len + G);
    if (common == n) {
        if (out != nullptr) {
            if (first) {
                SweepGroup<Codec, Acc, Scaled, G, Sweep::kSetFinish>(acc, src, gain, n, out);
            } else {
                SweepGroup<Codec, Acc, Scaled, G, Sweep::kFinish>(acc, src, gain, n, out);
            }
        } else if (first) {
            SweepGroup<Codec, Acc, Scaled, G, Sweep::kSet>(acc, src, gain, n, out);
        } else {
            SweepGroup<Codec, Acc, Scaled, G, Sweep::kAdd>(acc, src, gain, n, out);
        }
        return;
    }
    if (first) {
        std::fill(acc, acc + n, Acc{0});
    }
    SweepGroup<Codec, Acc, Scaled, G, Sweep::kAdd>(acc, src, gain, common, out);
    for (std::size_t g = 0; g < G; ++g) {
        AddFrameTerms<Codec, Acc, Scaled>(acc + common, src[g] + common * Codec::kWidth, gain[g],
                                          len[g] - common);
    }
    if (out != nullptr) {
        StoreMinusWith<Codec, Acc, Scaled>(acc, n, nullptr, kUnityGain, out);
    }
}

// Whether ChooseWide picks these sums for the codec's width at an ordinary
// frame count: sweeps of up to kGroupFrames frames then. The others (32-bit
// sums of wider samples, 64-bit plain sums of narrow ones past 65536 frames,
// 128-bit sums) take a frame per sweep, which keeps the kernel's code small.
template <typename Codec, typename Acc, bool Scaled>
constexpr bool kGroupedSweeps = sizeof(Acc) == 8 ? Scaled || Codec::kWidth > 2
                                                 : sizeof(Acc) == 4 && Codec::kWidth <= 2;

// Frames in the next sweep when left remain: kGroupFrames, else the largest
// power of two not above left; always 1 without grouped sweeps.
template <bool Grouped>
constexpr std::size_t GroupSize(std::size_t left) {
    if constexpr (Grouped) {
        return left >= kGroupFrames ? kGroupFrames : left >= 4 ? 4 : left >= 2 ? 2 : 1;
    } else {
        (void)left;
        return 1;
    }
}

// The sums of the n positions from base (n at most a block) into acc: at
// each position, the sum over the frames holding a whole sample there. With
// out, the block is finished there (rounded and clamped), acc serving as
// room only.
template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void SumBlock(const WaveFrame* const* frames, const std::int32_t* gains,
                                    std::size_t count, std::size_t base, std::size_t n, Acc* acc,
                                    unsigned char* out) {
    const auto samples = [frames](std::size_t f) {
        return static_cast<std::size_t>(frames[f]->nLen) / Codec::kWidth;
    };
    std::size_t left = 0;
    for (std::size_t f = 0; f < count; ++f) {
        left += samples(f) > base ? 1 : 0;
    }
    if (left == 0) {
        std::fill(acc, acc + n, Acc{0});
        if (out != nullptr) {
            StoreMinusWith<Codec, Acc, Scaled>(acc, n, nullptr, kUnityGain, out);
        }
        return;
    }
    const unsigned char* src[kGroupFrames];
    std::int32_t gain[kGroupFrames];
    std::size_t len[kGroupFrames];
    constexpr bool kGrouped = kGroupedSweeps<Codec, Acc, Scaled>;
    std::size_t grouped = 0;
    std::size_t size = GroupSize<kGrouped>(left);
    bool first = true;
    for (std::size_t f = 0; f < count; ++f) {
        const std::size_t held = samples(f);
        if (held <= base) {
            continue;
        }
        src[grouped] =
            reinterpret_cast<const unsigned char*>(frames[f]->pData) + base * Codec::kWidth;
        gain[grouped] = gains != nullptr ? gains[f] : kUnityGain;
        len[grouped] = std::min(n, held - base);
        if (++grouped < size) {
            continue;
        }
        left -= size;
        unsigned char* const finish = left == 0 ? out : nullptr;
        if constexpr (kGrouped) {
            switch (size) {
                case kGroupFrames:
                    SumGroup<Codec, Acc, Scaled, kGroupFrames>(acc, src, gain, len, n, first,
                                                               finish);
                    break;
                case 4:
                    SumGroup<Codec, Acc, Scaled, 4>(acc, src, gain, len, n, first, finish);
                    break;
                case 2:
                    SumGroup<Codec, Acc, Scaled, 2>(acc, src, gain, len, n, first, finish);
                    break;
                default:
                    SumGroup<Codec, Acc, Scaled, 1>(acc, src, gain, len, n, first, finish);
                    break;
            }
        } else {
            SumGroup<Codec, Acc, Scaled, 1>(acc, src, gain, len, n, first, finish);
        }
        if (left == 0) {
            return;
        }
        first = false;
        grouped = 0;
        size = GroupSize<kGrouped>(left);
    }
}

// The sums of positions from..to-1 a block at a time: into sums[0..to-from)
// or, with room (a block's sums), finished into out (the samples of
// positions from..to-1). One call of SumBlock for both, so that the loops
// are compiled once.
template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void SumWith(const WaveFrame* const* frames, const std::int32_t* gains,
                                   std::size_t count, std::size_t from, std::size_t to, Acc* sums,
                                   Acc* room, unsigned char* out) {
    for (std::size_t base = from; base < to; base += kBlockSamples<Acc>) {
        const std::size_t n = std::min(kBlockSamples<Acc>, to - base);
        Acc* const acc = room != nullptr ? room : sums + (base - from);
        unsigned char* const finish =
            room != nullptr ? out + (base - from) * Codec::kWidth : nullptr;
        SumBlock<Codec, Acc, Scaled>(frames, gains, count, base, n, acc, finish);
    }
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
    void* room;  // kSum only: a block's sums, to finish the mix into dst
};

template <typename Codec, typename Acc, bool Scaled>
CAROVEL_VECTOR_INLINE void RunWide(WideOp op, const WideArgs& a) {
    switch (op) {
        case WideOp::kSum:
            SumWith<Codec, Acc, Scaled>(a.frames, a.gains, a.count, a.from, a.total,
                                        static_cast<Acc*>(a.dst), static_cast<Acc*>(a.room),
                                        static_cast<unsigned char*>(a.dst));
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
        case WideKind::kFloat:
            break;  // float sums take their own functions (mix_kernel_float.cpp)
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

// The summing stage of SumWide and MixFrames, compiled (and cloned) once
// for both, in a function per width: one function of all the widths' loops
// takes the compiler twice as long to optimise.
CAROVEL_VECTOR_CLONES void SumStage8(WideKind kind, const WideArgs& a) {
    RunWideKind<Unsigned8>(WideOp::kSum, kind, a);
}

CAROVEL_VECTOR_CLONES void SumStage16(WideKind kind, const WideArgs& a) {
    RunWideKind<Signed16>(WideOp::kSum, kind, a);
}

CAROVEL_VECTOR_CLONES void SumStage24(WideKind kind, const WideArgs& a) {
    RunWideKind<Signed24>(WideOp::kSum, kind, a);
}

CAROVEL_VECTOR_CLONES void SumStage32(WideKind kind, const WideArgs& a) {
    RunWideKind<Signed32>(WideOp::kSum, kind, a);
}

void SumStage(WideKind kind, unsigned bytesPerSample, const WideArgs& a) {
    switch (bytesPerSample) {
        case 1:
            SumStage8(kind, a);
            break;
        case 2:
            SumStage16(kind, a);
            break;
        case 3:
            SumStage24(kind, a);
            break;
        default:
            SumStage32(kind, a);
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

void MixFrames(const WaveFrame* const* frames, const std::int32_t* gains, std::size_t count,
               unsigned bytesPerSample, char* out, std::size_t total) {
    if (!IsSupportedWidth(bytesPerSample)) {
        return;
    }
    // A block of sums at a time on the stack: the plain mix needs no room of
    // its own.
    alignas(64) unsigned char room[kBlockBytes];
    const WideKind kind = ChooseWide(bytesPerSample, count, gains != nullptr);
    SumStage(kind, bytesPerSample,
             WideArgs{frames, gains, count, nullptr, kUnityGain, nullptr, out, 0, total, room});
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
        case WideKind::kFloat:
            return 4;
        case WideKind::k64:
        case WideKind::k64Scaled:
            return 8;
        default:
            return sizeof(WideInt128);
    }
}

void SumWide(const WaveFrame* const* frames, const std::int32_t* gains, std::size_t count,
             unsigned bytesPerSample, WideKind kind, void* sums, std::size_t from, std::size_t to) {
    if (kind == WideKind::kFloat) {
        SumFloat(frames, gains, count, static_cast<float*>(sums), from, to);
        return;
    }
    if (!IsSupportedWidth(bytesPerSample)) {
        return;
    }
    SumStage(kind, bytesPerSample,
             WideArgs{frames, gains, count, nullptr, kUnityGain, nullptr, sums, from, to, nullptr});
}

CAROVEL_VECTOR_CLONES void StoreWideMinus(const void* sums, WideKind kind, std::size_t total,
                                          unsigned bytesPerSample, const WaveFrame* own,
                                          std::int32_t gain, char* out) {
    if (kind == WideKind::kFloat) {
        StoreFloatMinus(static_cast<const float*>(sums), total, own, gain, out);
        return;
    }
    const WideArgs a{nullptr, nullptr, 0, own, gain, sums, out, 0, total, nullptr};
    RunWideOp(WideOp::kStore, kind, bytesPerSample, a);
}

CAROVEL_VECTOR_CLONES void WideMinus(const void* sums, WideKind kind, std::size_t total,
                                     unsigned bytesPerSample, const WaveFrame* own,
                                     std::int32_t gain, void* dst) {
    if (kind == WideKind::kFloat) {
        FloatMinus(static_cast<const float*>(sums), total, own, gain, static_cast<float*>(dst));
        return;
    }
    const WideArgs a{nullptr, nullptr, 0, own, gain, sums, dst, 0, total, nullptr};
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
        case WideKind::kFloat:
            return FloatPeak(static_cast<const float*>(sums), total);
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
