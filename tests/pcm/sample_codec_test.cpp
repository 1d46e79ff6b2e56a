#include "pcm/sample_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/pcm.h"

namespace {

using namespace _Carovel;

// Every value of the narrow widths, and the edges and a spread of values of
// the wide ones, survive a write and a read and are laid out as the tests'
// own independent packer lays them out.
template <class C>
void CheckRoundTrip(std::int64_t step) {
    for (std::int64_t v = C::kMin; v <= C::kMax; v += step) {
        unsigned char bytes[4] = {};
        C::Write(bytes, v);
        ASSERT_EQ(C::Read(bytes), v);
        const std::int64_t packed = C::kWidth == 1 ? v + 128 : v;
        const std::vector<char> expected = carovel_test::Pack({packed}, C::kWidth);
        for (unsigned b = 0; b < C::kWidth; ++b) {
            ASSERT_EQ(static_cast<char>(bytes[b]), expected[b]) << v;
        }
        ASSERT_EQ(ReadAt32BitScale<C::kWidth>(bytes),
                  static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << (32 - 8 * C::kWidth)));
        if (v > C::kMax - step) {
            break;  // the next step would overflow for the widest codec
        }
    }
}

TEST(SampleCodec, RoundTripsEveryWidth) {
    CheckRoundTrip<Unsigned8>(1);
    CheckRoundTrip<Signed16>(1);
    CheckRoundTrip<Signed24>(257);
    CheckRoundTrip<Signed32>(65537LL * 257);
    unsigned char edge[4] = {};
    Signed32::Write(edge, Signed32::kMax);
    EXPECT_EQ(Signed32::Read(edge), Signed32::kMax);
    Signed24::Write(edge, Signed24::kMax);
    EXPECT_EQ(Signed24::Read(edge), Signed24::kMax);
}

TEST(SampleCodec, WidthRulesAndClamping) {
    for (unsigned bits = 0; bits <= 40; ++bits) {
        EXPECT_EQ(IsSupportedBits(bits), bits == 8 || bits == 16 || bits == 24 || bits == 32)
            << bits;
    }
    EXPECT_FALSE(IsSupportedWidth(0));
    EXPECT_TRUE(IsSupportedWidth(4));
    EXPECT_FALSE(IsSupportedWidth(5));
    EXPECT_EQ(ClampToWidth(40000, 2), 32767);
    EXPECT_EQ(ClampToWidth(-40000, 2), -32768);
    EXPECT_EQ(ClampToWidth(-129, 1), -128);
    EXPECT_EQ(ClampToWidth(1LL << 40, 4), 2147483647);
    EXPECT_EQ(WithCodec(3, [](auto c) { return decltype(c)::kWidth; }), 3u);
}

}  // namespace
