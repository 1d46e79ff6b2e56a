#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "carovel/mixer.h"
#include "support/pcm.h"

namespace {

using _Carovel::CMixer;
using carovel_test::Pack;
using carovel_test::Unpack;
using Samples = std::vector<std::int64_t>;

Samples Scaled(const Samples& in, unsigned width, float factor, int bytesPerSample = 0) {
    std::vector<char> buf = Pack(in, width);
    CMixer::ChangeVolume(buf.data(), static_cast<unsigned>(buf.size()),
                         bytesPerSample != 0 ? bytesPerSample : static_cast<int>(width), factor);
    return Unpack(buf, width);
}

TEST(ChangeVolume, SixteenBitTruncatesTowardZeroAndClamps) {
    EXPECT_EQ(Scaled({20000, -20000, 1000, -3}, 2, 2.0f), (Samples{32767, -32768, 2000, -6}));
    EXPECT_EQ(Scaled({3, -3, 32767, -32768}, 2, 0.5f), (Samples{1, -1, 16383, -16384}));
    EXPECT_EQ(Scaled({123, -32768, 32767}, 2, 1.0f), (Samples{123, -32768, 32767}));
    // Widths other than 1, 3 and 4 take the 16-bit path.
    EXPECT_EQ(Scaled({100, -100}, 2, 3.0f, 0), (Samples{300, -300}));
    EXPECT_EQ(Scaled({100, -100}, 2, 3.0f, 7), (Samples{300, -300}));
}

TEST(ChangeVolume, EightBitScalesAroundTheMidpoint) {
    // 128 is silence; 228 is +100, 28 is -100.
    EXPECT_EQ(Scaled({128, 228, 28, 255, 0}, 1, 0.5f), (Samples{128, 178, 78, 191, 64}));
    EXPECT_EQ(Scaled({228, 28, 129}, 1, 2.0f), (Samples{255, 0, 130}));
    EXPECT_EQ(Scaled({131, 125}, 1, -1.0f), (Samples{125, 131}));
}

TEST(ChangeVolume, WideSamplesAreScaledWhole) {
    EXPECT_EQ(Scaled({1000000, -1000000, 8000000, -3}, 3, 2.0f),
              (Samples{2000000, -2000000, 8388607, -6}));
    EXPECT_EQ(Scaled({2000000000, -2000000000, 7}, 4, 1.5f),
              (Samples{2147483647, -2147483648LL, 10}));
    EXPECT_EQ(Scaled({1 << 20}, 4, 0.25f), (Samples{1 << 18}));
}

TEST(ChangeVolume, AnyFactorIsSafe) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Scaled({5, -5, 0}, 2, inf), (Samples{32767, -32768, 0}));
    EXPECT_EQ(Scaled({5, -5}, 4, -inf), (Samples{-2147483648LL, 2147483647}));
    EXPECT_EQ(Scaled({5, -5}, 3, 1e30f), (Samples{8388607, -8388608}));
    EXPECT_EQ(Scaled({5, -5}, 2, nan), (Samples{0, 0}));
    EXPECT_EQ(Scaled({200, 10}, 1, nan), (Samples{128, 128}));
}

TEST(ChangeVolume, LeavesPartialSamplesAndEmptyBuffersAlone) {
    std::vector<char> buf = Pack({1000, 1000}, 2);
    buf.push_back(9);  // a trailing odd byte
    CMixer::ChangeVolume(buf.data(), 5, 2, 2.0f);
    EXPECT_EQ(Unpack(buf.data(), 4, 2), (Samples{2000, 2000}));
    EXPECT_EQ(buf[4], 9);
    CMixer::ChangeVolume(buf.data(), 0, 2, 0.0f);
    EXPECT_EQ(Unpack(buf.data(), 4, 2), (Samples{2000, 2000}));
    CMixer::ChangeVolume(nullptr, 16, 2, 2.0f);  // no buffer: nothing to do
}

Samples Copied(const Samples& in, unsigned width, enChannel ch, unsigned len = 0) {
    std::vector<char> buf = Pack(in, width);
    CMixer::CopyChannel(buf.data(), len != 0 ? len : static_cast<unsigned>(buf.size()),
                        static_cast<int>(width), ch);
    return Unpack(buf, width);
}

TEST(CopyChannel, CopiesOneChannelOverTheOtherAtEveryWidth) {
    const Samples lr = {11, 12, 21, 22};
    for (unsigned width : {1u, 2u, 3u, 4u}) {
        EXPECT_EQ(Copied(lr, width, CH_RIGHT), (Samples{12, 12, 22, 22})) << width;
        EXPECT_EQ(Copied(lr, width, CH_LEFT), (Samples{11, 11, 21, 21})) << width;
        EXPECT_EQ(Copied(lr, width, static_cast<enChannel>(2)), lr) << width;
    }
    EXPECT_EQ(Copied({-300000, 400000}, 3, CH_LEFT), (Samples{-300000, -300000}));
}

TEST(CopyChannel, TouchesOnlyWholePairs) {
    // Six bytes of 16-bit samples: one whole pair and a lone sample.
    EXPECT_EQ(Copied({1, 2, 3}, 2, CH_LEFT), (Samples{1, 1, 3}));
    EXPECT_EQ(Copied({1, 2, 3, 4}, 2, CH_RIGHT, 6), (Samples{2, 2, 3, 4}));
    EXPECT_EQ(Copied({1, 2}, 2, CH_RIGHT, 0 + 3), (Samples{1, 2}));
}

}  // namespace
