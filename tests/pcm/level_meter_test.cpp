#include "pcm/level_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "pcm/sample_pack.h"
#include "support/pcm.h"

namespace {

using namespace _Carovel;

constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();

// Packed PCM of `bytes` width from signed values at that width, laid out by
// the tests' own packer (offset binary for one byte).
std::vector<char> PackAtWidth(const std::vector<std::int64_t>& values, unsigned bytes) {
    std::vector<std::int64_t> laidOut = values;
    if (bytes == 1) {
        for (std::int64_t& v : laidOut) {
            v += 128;
        }
    }
    return carovel_test::Pack(laidOut, bytes);
}

// The samples of packed PCM at 32-bit scale, as the meters see them.
std::vector<std::int32_t> Unpacked(const std::vector<char>& packed, unsigned bytes) {
    std::vector<std::int32_t> samples(packed.size() / bytes);
    UnpackTo32BitScale(packed.data(), samples.size(), bytes, samples.data());
    return samples;
}

TEST(LevelMeter, NothingOrSilenceIsMinusInfinity) {
    LevelMeter meter;
    EXPECT_EQ(meter.PeakDbfs(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(meter.RmsDbfs(), -std::numeric_limits<double>::infinity());
    const std::vector<std::int32_t> zeros(100, 0);
    meter.Add(zeros.data(), zeros.size());
    EXPECT_EQ(meter.Samples(), 100u);
    EXPECT_EQ(meter.PeakDbfs(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(meter.RmsDbfs(), -std::numeric_limits<double>::infinity());
}

TEST(LevelMeter, ASquareWaveHasItsAmplitudeAsPeakAndRms) {
    std::vector<std::int32_t> square(10000, 1 << 30);  // half of full scale
    for (std::size_t i = 0; i < square.size(); i += 2) {
        square[i] = -square[i];
    }
    LevelMeter meter;
    meter.Add(square.data(), square.size());
    EXPECT_NEAR(meter.PeakDbfs(), 20.0 * std::log10(0.5), 1e-9);
    EXPECT_NEAR(meter.RmsDbfs(), 20.0 * std::log10(0.5), 1e-9);
    // The most negative sample is full scale.
    meter.Add(&kMin32, 1);
    EXPECT_EQ(meter.PeakDbfs(), 0.0);
    EXPECT_EQ(meter.Samples(), 10001u);
}

TEST(LevelMeter, PackedSamplesOfEveryWidthMeasureAsUnpacked) {
    for (unsigned bytes = 1; bytes <= 4; ++bytes) {
        // Values spread over the width's range, more than the meter unpacks
        // at a time.
        const std::int64_t top = (std::int64_t{1} << (8 * bytes - 1)) - 1;
        std::vector<std::int64_t> values;
        for (std::int64_t i = 0; i < 9000; ++i) {
            values.push_back((i * 7919) % (2 * top + 1) - top);
        }
        const std::vector<char> packed = PackAtWidth(values, bytes);
        const std::vector<std::int32_t> samples = Unpacked(packed, bytes);
        LevelMeter fromPacked;
        fromPacked.AddPacked(packed.data(), values.size(), bytes);
        LevelMeter fromSamples;
        fromSamples.Add(samples.data(), samples.size());
        EXPECT_EQ(fromPacked.Samples(), values.size());
        EXPECT_EQ(fromPacked.PeakDbfs(), fromSamples.PeakDbfs()) << bytes;
        EXPECT_NEAR(fromPacked.RmsDbfs(), fromSamples.RmsDbfs(), 1e-9) << bytes;
    }
}

TEST(ClipCounter, CountsTheEndsOfItsWidth) {
    for (unsigned bytes = 1; bytes <= 4; ++bytes) {
        const std::int64_t top = (std::int64_t{1} << (8 * bytes - 1)) - 1;
        // Two at the bottom and one at the top of the range, repeated across
        // several of the counter's unpacking blocks.
        std::vector<std::int64_t> values;
        for (int r = 0; r < 2000; ++r) {
            values.insert(values.end(), {0, -top - 1, top, top - 1, -top - 1, -top});
        }
        const std::vector<char> packed = PackAtWidth(values, bytes);
        const std::vector<std::int32_t> samples = Unpacked(packed, bytes);
        ClipCounter counter(bytes);
        counter.Add(samples.data(), samples.size());
        EXPECT_EQ(counter.Count(), 6000u) << bytes;
        ClipCounter fromPacked(bytes);
        fromPacked.AddPacked(packed.data(), values.size());
        EXPECT_EQ(fromPacked.Count(), 6000u) << bytes;
    }
}

}  // namespace
