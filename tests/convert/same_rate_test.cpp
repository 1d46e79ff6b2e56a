// Same-rate conversions: exact width changes and channel maps.
#include <gtest/gtest.h>

#include "convert/convert_fixtures.h"

namespace {

using _Carovel::CWaveConvert;
using convert_test::Bytes;
using convert_test::ConvertOnce;
using convert_test::Pack;
using convert_test::Samples;
using convert_test::Unpack;

// Converts values at 8000 samples per second and returns the destination
// values.
Samples Same(unsigned short srcCh, unsigned short srcBits, unsigned short dstCh,
             unsigned short dstBits, const Samples& values) {
    CWaveConvert cv;
    EXPECT_TRUE(cv.Open(srcCh, 8000, srcBits, dstCh, 8000, dstBits));
    const Bytes src = Pack(values, srcBits);
    const std::size_t frames = values.size() / srcCh;
    const Bytes dst = ConvertOnce(cv, src, frames * dstCh * dstBits / 8 + 7, srcCh * srcBits / 8);
    EXPECT_EQ(dst.size(), frames * dstCh * dstBits / 8);
    return Unpack(dst, dstBits);
}

constexpr std::int64_t kMax32 = 2147483647;
constexpr std::int64_t kMin32 = -2147483647 - 1;

TEST(SameRateWidth, WideningIsAnExactShift) {
    EXPECT_EQ(Same(1, 8, 1, 16, {-128, 0, 127, -1}), (Samples{-32768, 0, 32512, -256}));
    EXPECT_EQ(Same(1, 16, 1, 24, {32767, -32768, 1}), (Samples{8388352, -8388608, 256}));
    EXPECT_EQ(Same(1, 16, 1, 32, {-1, 32767}), (Samples{-65536, 2147418112}));
    EXPECT_EQ(Same(1, 24, 1, 32, {8388607, -3}), (Samples{2147483392, -768}));
    EXPECT_EQ(Same(1, 8, 1, 32, {-128, 127}), (Samples{kMin32, 2130706432}));
}

TEST(SameRateWidth, NarrowingRoundsToNearestAndClampsAtFullScale) {
    EXPECT_EQ(Same(1, 16, 1, 8, {32767, -32768, 0, 127, 128, -129, 384, -32640}),
              (Samples{127, -128, 0, 0, 1, -1, 2, -127}));
    EXPECT_EQ(Same(1, 24, 1, 16, {8388607, -8388608, 128, -129, 127}),
              (Samples{32767, -32768, 1, -1, 0}));
    EXPECT_EQ(Same(1, 32, 1, 16, {kMax32, kMin32, 32768, -32769}), (Samples{32767, -32768, 1, -1}));
    EXPECT_EQ(Same(1, 32, 1, 24, {kMax32, 383}), (Samples{8388607, 1}));
    EXPECT_EQ(Same(1, 32, 1, 8, {kMax32, kMin32}), (Samples{127, -128}));
}

TEST(SameRateWidth, EqualFormatsCopyBytes) {
    const Samples values{5, -7, 32767, -32768, 0, 1};
    EXPECT_EQ(Same(2, 16, 2, 16, values), values);
    EXPECT_EQ(Same(3, 24, 3, 24, {1, -1, 8388607, -8388608, 0, 2}),
              (Samples{1, -1, 8388607, -8388608, 0, 2}));
}

TEST(SameRateChannels, MonoToStereoDuplicatesEverySample) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 2, 8000, 16));
    Samples mono(160);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] = static_cast<std::int64_t>(i * 409) - 32768;
    }
    const Bytes dst = ConvertOnce(cv, Pack(mono, 16), 700, 2);
    ASSERT_EQ(dst.size(), 640u);
    const Samples stereo = Unpack(dst, 16);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        ASSERT_EQ(stereo[2 * i], mono[i]) << i;
        ASSERT_EQ(stereo[2 * i + 1], mono[i]) << i;
    }
}

TEST(SameRateChannels, OneChannelGoesToEveryChannel) {
    EXPECT_EQ(Same(1, 16, 4, 8, {256, -32768}), (Samples{1, 1, 1, 1, -128, -128, -128, -128}));
}

TEST(SameRateChannels, ManyToOneAveragesWithRounding) {
    EXPECT_EQ(Same(2, 16, 1, 16, {1, 2, -1, -2, 32767, 32767, -32768, 32767, -32768, -32768}),
              (Samples{2, -1, 32767, 0, -32768}));
    // Three channels are L R C: mono takes 0.293 L + 0.293 R + 0.414 C, and
    // 649.2 / 256 = 2.54 rounds to 3.
    EXPECT_EQ(Same(3, 16, 1, 8, {256, 512, 1024, 32767, 32767, 32767}), (Samples{3, 127}));
    EXPECT_EQ(Same(2, 32, 1, 32, {kMax32, kMax32, kMin32, kMin32, 3, 4}),
              (Samples{kMax32, kMin32, 4}));
}

TEST(SameRateChannels, OtherCountsMapByIndexWithSilentExtras) {
    EXPECT_EQ(Same(2, 16, 3, 16, {10, -20, 30, -40}), (Samples{10, -20, 0, 30, -40, 0}));
    EXPECT_EQ(Same(2, 16, 3, 8, {2560, -5120}), (Samples{10, -20, 0}));
}

TEST(SameRateChannels, LayoutsFoldIntoStereoWithTheCentreAtMinusThreeDb) {
    // L R C into stereo: L' = (L + C / sqrt 2) / (1 + 1 / sqrt 2).
    EXPECT_EQ(Same(3, 16, 2, 16, {1, 2, 3, 4, 5, 6}), (Samples{2, 2, 5, 5}));
}

}  // namespace
