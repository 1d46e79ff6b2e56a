#include "mixcore/mix_kernel.h"

#include <algorithm>
#include <cstdint>

#include "pcm/sample_codec.h"

// On x86-64 the kernel is built twice, for AVX2 and for the baseline, and the
// loader picks the one the processor runs. The helpers are forced inline so
// they are compiled into each variant. Not in sanitizer builds: the loader runs
// the variant chooser while relocating, before the sanitizer's runtime is set up,
// and a statically linked thread-sanitized program crashes there.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define CAROVEL_KERNEL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define CAROVEL_KERNEL_CLONES
#endif
#if defined(__GNUC__)
#define CAROVEL_INLINE inline __attribute__((always_inline))
#else
#define CAROVEL_INLINE inline
#endif

namespace _Carovel {
namespace {

// Sample positions summed per block; the accumulators live on the stack.
constexpr std::size_t kBlockSamples = 512;

template <typename Codec, typename Acc>
CAROVEL_INLINE void AccumulateFrame(Acc* acc, const unsigned char* src, std::size_t from,
                                    std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        acc[i] += static_cast<Acc>(Codec::Read(src + i * Codec::kWidth));
    }
}

// Adds four frames per sweep over the accumulators, so the accumulators are
// loaded and stored once for four frames instead of once per frame.
template <typename Codec, typename Acc>
CAROVEL_INLINE void AccumulateFour(Acc* acc, const unsigned char* const* src, std::size_t n) {
    const unsigned char* a = src[0];
    const unsigned char* b = src[1];
    const unsigned char* c = src[2];
    const unsigned char* d = src[3];
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t o = i * Codec::kWidth;
        acc[i] += static_cast<Acc>(Codec::Read(a + o)) + static_cast<Acc>(Codec::Read(b + o)) +
                  static_cast<Acc>(Codec::Read(c + o)) + static_cast<Acc>(Codec::Read(d + o));
    }
}

template <typename Codec, typename Acc>
CAROVEL_INLINE void StoreClamped(unsigned char* dst, const Acc* acc, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Acc v =
            std::clamp<Acc>(acc[i], static_cast<Acc>(Codec::kMin), static_cast<Acc>(Codec::kMax));
        Codec::Write(dst + i * Codec::kWidth, v);
    }
}

template <typename Codec, typename Acc>
CAROVEL_INLINE std::size_t MixWith(const WaveFrame* const* frames, std::size_t count,
                                   unsigned char* out, std::size_t capSamples) {
    std::size_t longest = 0;
    for (std::size_t f = 0; f < count; ++f) {
        longest = std::max(longest, static_cast<std::size_t>(frames[f]->nLen) / Codec::kWidth);
    }
    const std::size_t total = std::min(longest, capSamples);

    Acc acc[kBlockSamples];
    const unsigned char* src[4];
    std::size_t len[4];
    for (std::size_t base = 0; base < total; base += kBlockSamples) {
        const std::size_t n = std::min(kBlockSamples, total - base);
        std::fill(acc, acc + n, Acc{0});
        std::size_t grouped = 0;
        for (std::size_t f = 0; f < count; ++f) {
            const std::size_t samples = static_cast<std::size_t>(frames[f]->nLen) / Codec::kWidth;
            if (samples <= base) {
                continue;
            }
            src[grouped] =
                reinterpret_cast<const unsigned char*>(frames[f]->pData) + base * Codec::kWidth;
            len[grouped] = std::min(n, samples - base);
            if (++grouped == 4) {
                const std::size_t common = *std::min_element(len, len + 4);
                AccumulateFour<Codec>(acc, src, common);
                for (std::size_t g = 0; g < 4; ++g) {
                    AccumulateFrame<Codec>(acc, src[g], common, len[g]);
                }
                grouped = 0;
            }
        }
        for (std::size_t g = 0; g < grouped; ++g) {
            AccumulateFrame<Codec>(acc, src[g], 0, len[g]);
        }
        StoreClamped<Codec>(out + base * Codec::kWidth, acc, n);
    }
    return total * Codec::kWidth;
}

// 8- and 16-bit sums fit 32 bits for up to 65536 full-scale frames.
template <typename Codec>
CAROVEL_INLINE std::size_t MixNarrow(const WaveFrame* const* frames, std::size_t count,
                                     unsigned char* out, std::size_t capSamples) {
    if (count <= 65536) {
        return MixWith<Codec, std::int32_t>(frames, count, out, capSamples);
    }
    return MixWith<Codec, std::int64_t>(frames, count, out, capSamples);
}

}  // namespace

CAROVEL_KERNEL_CLONES int MixFrames(const WaveFrame* const* frames, std::size_t count,
                                    unsigned bytesPerSample, char* out, int capacity) {
    if (capacity <= 0 || out == nullptr || !IsSupportedWidth(bytesPerSample)) {
        return 0;
    }
    auto* dst = reinterpret_cast<unsigned char*>(out);
    const std::size_t capSamples = static_cast<std::size_t>(capacity) / bytesPerSample;
    // A switch rather than WithCodec: a lambda would be compiled outside the
    // cloned variants of this function.
    std::size_t written = 0;
    switch (bytesPerSample) {
        case 1:
            written = MixNarrow<Unsigned8>(frames, count, dst, capSamples);
            break;
        case 2:
            written = MixNarrow<Signed16>(frames, count, dst, capSamples);
            break;
        case 3:
            written = MixWith<Signed24, std::int64_t>(frames, count, dst, capSamples);
            break;
        default:
            written = MixWith<Signed32, std::int64_t>(frames, count, dst, capSamples);
            break;
    }
    return static_cast<int>(written);
}

}  // namespace _Carovel
