#include "pcm/sample_pack.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

#include "pcm/sample_codec.h"
#include "support/pcm.h"

namespace {

using namespace _Carovel;

constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();

// Samples at 32-bit scale across the whole range, with low bits that a
// narrow width drops.
std::vector<std::int32_t> Spread() {
    std::vector<std::int32_t> samples = {0, 1, -1, kMin32, kMax32, 0x12345678, -0x12345678};
    for (std::int64_t v = kMin32; v <= kMax32; v += 0x01010101LL * 3 + 7) {
        samples.push_back(static_cast<std::int32_t>(v));
    }
    return samples;
}

// The signed value at `bytes` width that a sample at 32-bit scale narrows to,
// laid out as the tests' own packer lays it out (offset binary for one byte).
std::vector<std::int64_t> Narrowed(const std::vector<std::int32_t>& samples, unsigned bytes) {
    std::vector<std::int64_t> out;
    for (const std::int32_t s : samples) {
        const std::int64_t v = std::int64_t{s} >> (32 - 8 * bytes);
        out.push_back(bytes == 1 ? v + 128 : v);
    }
    return out;
}

std::vector<char> Packed(const std::vector<std::int32_t>& samples, unsigned bytes) {
    std::vector<char> packed(samples.size() * bytes);
    PackFrom32BitScale(samples.data(), samples.size(), bytes, packed.data());
    return packed;
}

TEST(SamplePack, PacksTheTopBitsOfEveryWidthLittleEndian) {
    const std::vector<std::int32_t> samples = Spread();
    for (unsigned bytes = 1; bytes <= 4; ++bytes) {
        EXPECT_EQ(Packed(samples, bytes), carovel_test::Pack(Narrowed(samples, bytes), bytes))
            << bytes;
    }
}

TEST(SamplePack, UnpackingGivesTheNarrowedSampleBack) {
    const std::vector<std::int32_t> samples = Spread();
    for (unsigned bytes = 1; bytes <= 4; ++bytes) {
        const std::vector<char> packed = Packed(samples, bytes);
        std::vector<std::int32_t> back(samples.size());
        UnpackTo32BitScale(packed.data(), samples.size(), bytes, back.data());
        const auto keep = static_cast<std::uint32_t>(~std::uint64_t{0} << (32 - 8 * bytes));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(back[i],
                      static_cast<std::int32_t>(static_cast<std::uint32_t>(samples[i]) & keep))
                << bytes << " " << samples[i];
        }
    }
}

TEST(SamplePack, EightBitSilenceIsTheMidpoint) {
    const std::int32_t silence[3] = {0, 0, 0};
    char packed[3] = {};
    PackFrom32BitScale(silence, 3, 1, packed);
    for (const char c : packed) {
        EXPECT_EQ(static_cast<unsigned char>(c), 128);
    }
    const char low[1] = {0};
    std::int32_t v = 1;
    UnpackTo32BitScale(low, 1, 1, &v);
    EXPECT_EQ(v, kMin32);
}

TEST(SamplePack, WriteAt32BitScaleUndoesReadAt32BitScale) {
    unsigned char bytes[3] = {0x56, 0x34, 0x92};
    const std::int32_t v = ReadAt32BitScale<3>(bytes);
    EXPECT_EQ(v, static_cast<std::int32_t>(0x92345600u));
    unsigned char out[3] = {};
    WriteAt32BitScale<3>(out, v | 0xff);  // the dropped bits do not matter
    EXPECT_EQ(out[0], 0x56);
    EXPECT_EQ(out[1], 0x34);
    EXPECT_EQ(out[2], 0x92);
}

TEST(SamplePack, FloatsRoundClampAndSilenceNaN) {
    const float in[] = {0.0f, 0.5f,  -0.5f,         -1.0f,  1.0f,
                        2.0f, -3.0f, std::nanf(""), 1e-10f, std::ldexp(1.0f, -31) * 1.5f};
    std::int32_t out[std::size(in)] = {};
    FloatTo32BitScale(in, std::size(in), out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1 << 30);
    EXPECT_EQ(out[2], -(1 << 30));
    EXPECT_EQ(out[3], kMin32);
    EXPECT_EQ(out[4], kMax32);
    EXPECT_EQ(out[5], kMax32);
    EXPECT_EQ(out[6], kMin32);
    EXPECT_EQ(out[7], 0);
    EXPECT_EQ(out[8], 0);
    EXPECT_EQ(out[9], 2);  // 1.5 rounds to the even 2
}

TEST(SamplePack, SamplesBecomeFloatsOfFullScaleOne) {
    const std::int32_t in[] = {0, kMin32, 1 << 30, -(1 << 29), kMax32};
    float out[std::size(in)] = {};
    FloatFrom32BitScale(in, std::size(in), out);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], -1.0f);
    EXPECT_EQ(out[2], 0.5f);
    EXPECT_EQ(out[3], -0.25f);
    EXPECT_EQ(out[4], 1.0f);  // the nearest float to 1 - 2^-31
    std::int32_t back[std::size(in)] = {};
    FloatTo32BitScale(out, 4, back);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(back[i], in[i]);
    }
}

}  // namespace
