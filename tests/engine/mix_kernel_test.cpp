// The summing kernel's fast paths (up to eight frames per sweep, blocks of
// samples, 32-bit accumulators for narrow widths, the last sweep writing the
// mix, pairs of 16-bit frames on AVX2) against a plain loop over the sample
// codecs.
#include "engine/mix_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "pcm/sample_codec.h"

namespace {

using namespace _Carovel;

struct Frames {
    std::vector<WaveFramePtr> owned;
    std::vector<const WaveFrame*> view;
};

// Adds a frame of random bytes; loud frames sit near full scale so that sums
// clip.
void AddRandomFrame(std::mt19937& rng, Frames& out, std::size_t bytes, bool loud) {
    std::vector<char> data(bytes);
    for (char& b : data) {
        b = static_cast<char>(loud ? (rng() % 2 ? 0x7f : 0x80) : rng());
    }
    out.owned.push_back(AllocWaveFrame(data.data(), static_cast<int>(data.size()), nullptr));
    out.view.push_back(out.owned.back().get());
}

Frames RandomFrames(std::mt19937& rng, std::size_t count, std::size_t maxBytes, bool loud) {
    Frames out;
    std::uniform_int_distribution<std::size_t> length(0, maxBytes);
    for (std::size_t f = 0; f < count; ++f) {
        AddRandomFrame(rng, out, length(rng), loud);
    }
    return out;
}

template <class C>
std::vector<char> ReferenceMix(const std::vector<const WaveFrame*>& frames, int capacity) {
    std::vector<char> out;
    for (std::size_t pos = 0; pos + C::kWidth <= static_cast<std::size_t>(capacity);
         pos += C::kWidth) {
        std::int64_t sum = 0;
        bool any = false;
        for (const WaveFrame* f : frames) {
            if (static_cast<std::size_t>(f->nLen) >= pos + C::kWidth) {
                sum += C::Read(reinterpret_cast<const unsigned char*>(f->pData) + pos);
                any = true;
            }
        }
        if (!any) {
            break;
        }
        unsigned char sample[4];
        C::Write(sample, std::clamp(sum, C::kMin, C::kMax));
        out.insert(out.end(), sample, sample + C::kWidth);
    }
    return out;
}

template <class C>
void CompareWithReference(std::mt19937& rng) {
    for (const std::size_t count : {2, 3, 4, 5, 7, 8, 9, 13, 70}) {
        for (const bool loud : {false, true}) {
            const Frames frames = RandomFrames(rng, count, 3000, loud);
            for (const int capacity : {0, 1, 7, 2000, 4000}) {
                std::vector<char> out(static_cast<std::size_t>(capacity) + 8, 0x55);
                const int written =
                    MixFrames(frames.view.data(), count, C::kWidth, out.data(), capacity);
                out.resize(static_cast<std::size_t>(std::max(written, 0)));
                ASSERT_EQ(out, ReferenceMix<C>(frames.view, capacity))
                    << "width " << C::kWidth << ", " << count << " frames, capacity " << capacity;
            }
        }
    }
}

TEST(MixKernel, EqualsAPlainCodecLoopAtEveryWidth) {
    std::mt19937 rng(20261208);
    CompareWithReference<Unsigned8>(rng);
    CompareWithReference<Signed16>(rng);
    CompareWithReference<Signed24>(rng);
    CompareWithReference<Signed32>(rng);
}

// count frames of samples whole samples each; with shortFrame below count,
// that frame holds half as many.
Frames EqualFrames(std::mt19937& rng, std::size_t count, std::size_t bytes, bool loud,
                   std::size_t shortFrame) {
    Frames out;
    for (std::size_t f = 0; f < count; ++f) {
        AddRandomFrame(rng, out, f == shortFrame ? bytes / 2 : bytes, loud);
    }
    return out;
}

// The mix of total positions with gains (1/65536), each position rounded
// once, halves away from zero, then clamped.
template <class C>
std::vector<char> ReferenceGainedMix(const std::vector<const WaveFrame*>& frames,
                                     const std::vector<std::int32_t>& gains, std::size_t total) {
    std::vector<char> out;
    for (std::size_t i = 0; i < total; ++i) {
        std::int64_t sum = 0;
        for (std::size_t f = 0; f < frames.size(); ++f) {
            if (static_cast<std::size_t>(frames[f]->nLen) >= (i + 1) * C::kWidth) {
                const auto* p = reinterpret_cast<const unsigned char*>(frames[f]->pData);
                sum += std::int64_t{C::Read(p + i * C::kWidth)} * gains[f];
            }
        }
        const std::int64_t magnitude = ((sum < 0 ? -sum : sum) + 0x8000) >> 16;
        unsigned char sample[4];
        C::Write(sample, std::clamp(sum < 0 ? -magnitude : magnitude, C::kMin, C::kMax));
        out.insert(out.end(), sample, sample + C::kWidth);
    }
    return out;
}

template <class C>
void CompareEqualLengths(std::mt19937& rng) {
    for (const std::size_t count : {1, 2, 3, 4, 5, 8, 9, 12, 15, 16, 17, 24, 70}) {
        for (const std::size_t samples : {1, 15, 16, 17, 31, 32, 33, 100, 1920, 2048, 2049, 4500}) {
            for (const bool loud : {false, true}) {
                const std::size_t shortFrame = loud && count > 1 ? count / 2 : count;
                const Frames frames =
                    EqualFrames(rng, count, samples * C::kWidth, loud, shortFrame);
                const int capacity = static_cast<int>(samples * C::kWidth);
                std::vector<char> out(static_cast<std::size_t>(capacity));
                ASSERT_EQ(MixFrames(frames.view.data(), count, C::kWidth, out.data(), capacity),
                          capacity);
                const std::vector<char> expected = ReferenceMix<C>(frames.view, capacity);
                ASSERT_EQ(out, expected) << "width " << C::kWidth << ", " << count << " frames of "
                                         << samples << " samples";

                // The same sums kept whole, then stored.
                const WideKind kind = ChooseWide(C::kWidth, count, false);
                std::vector<unsigned char> sums(samples * WideBytes(kind));
                SumWide(frames.view.data(), nullptr, count, C::kWidth, kind, sums.data(), 0,
                        samples);
                std::vector<char> stored(out.size());
                StoreWideMinus(sums.data(), kind, samples, C::kWidth, nullptr, kUnityGain,
                               stored.data());
                ASSERT_EQ(stored, expected) << "width " << C::kWidth << ", " << count
                                            << " frames of " << samples << " samples, kept";

                // With gains.
                std::vector<std::int32_t> gains(count);
                for (std::int32_t& g : gains) {
                    g = static_cast<std::int32_t>(rng() % (2 * kUnityGain + 1));
                }
                MixFrames(frames.view.data(), gains.data(), count, C::kWidth, out.data(), samples);
                ASSERT_EQ(out, ReferenceGainedMix<C>(frames.view, gains, samples))
                    << "width " << C::kWidth << ", " << count << " frames of " << samples
                    << " samples, gained";
            }
        }
    }
}

TEST(MixKernel, EqualLengthsTakeTheFusedSweepsAtEveryWidth) {
    std::mt19937 rng(20260611);
    CompareEqualLengths<Unsigned8>(rng);
    CompareEqualLengths<Signed16>(rng);
    CompareEqualLengths<Signed24>(rng);
    CompareEqualLengths<Signed32>(rng);
}

TEST(MixKernel, WideAccumulatorsBeyond65536NarrowFrames) {
    // 70,000 full-scale 16-bit frames sum past 32 bits only if the kernel
    // kept 32-bit accumulators: the clamped result must still be full scale.
    std::mt19937 rng(7);
    const std::vector<char> low = {0x00, static_cast<char>(0x80)};  // -32768
    Frames frames;
    for (int f = 0; f < 70000; ++f) {
        frames.owned.push_back(AllocWaveFrame(low.data(), 2, nullptr));
        frames.view.push_back(frames.owned.back().get());
    }
    char out[2] = {};
    ASSERT_EQ(MixFrames(frames.view.data(), frames.view.size(), 2, out, 2), 2);
    EXPECT_EQ(Signed16::Read(reinterpret_cast<unsigned char*>(out)), -32768);
    EXPECT_EQ(std::vector<char>(out, out + 2), ReferenceMix<Signed16>(frames.view, 2));
}

TEST(MixKernel, RefusesWidthsOutsideOneToFour) {
    const std::vector<char> bytes(10, 1);
    WaveFramePtr f = AllocWaveFrame(bytes.data(), 10, nullptr);
    const WaveFrame* view[] = {f.get(), f.get()};
    char out[10];
    EXPECT_EQ(MixFrames(view, 2, 0, out, 10), 0);
    EXPECT_EQ(MixFrames(view, 2, 5, out, 10), 0);
}

}  // namespace
