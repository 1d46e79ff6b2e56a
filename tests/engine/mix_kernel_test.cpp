// The summing kernel's fast paths (four frames per sweep, blocks of samples,
// 32-bit accumulators for narrow widths) against a plain loop over the sample
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

Frames RandomFrames(std::mt19937& rng, std::size_t count, std::size_t maxBytes, bool loud) {
    Frames out;
    std::uniform_int_distribution<std::size_t> length(0, maxBytes);
    for (std::size_t f = 0; f < count; ++f) {
        std::vector<char> bytes(length(rng));
        for (char& b : bytes) {
            // Loud frames sit near full scale so that sums clip.
            b = static_cast<char>(loud ? (rng() % 2 ? 0x7f : 0x80) : rng());
        }
        out.owned.push_back(AllocWaveFrame(bytes.data(), static_cast<int>(bytes.size()), nullptr));
        out.view.push_back(out.owned.back().get());
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
