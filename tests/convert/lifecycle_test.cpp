// Opening, closing, sharing and refusing bad calls.
#include <gtest/gtest.h>

#include "convert/convert_fixtures.h"

namespace {

using _Carovel::CWaveConvert;
using convert_test::Bytes;

const Bytes kSrc = convert_test::Pack({100, -100, 200, -200}, 16);
constexpr long kRefused = -1;

// Offers kSrc (four mono 16-bit frames) with 64 bytes of room; returns the
// bytes produced, or kRefused after checking that both lengths stayed put.
long Produced(CWaveConvert& cv, const unsigned char* src = kSrc.data(), bool withDst = true) {
    Bytes dst(64);
    unsigned long srcLen = kSrc.size(), dstLen = dst.size();
    if (cv.Convert(src, srcLen, withDst ? dst.data() : nullptr, dstLen)) {
        return static_cast<long>(dstLen);
    }
    EXPECT_EQ(srcLen, kSrc.size());
    EXPECT_EQ(dstLen, dst.size());
    return kRefused;
}

TEST(Lifecycle, OpenRefusesUnsupportedFormatsAndStaysClosed) {
    CWaveConvert cv;
    EXPECT_EQ(Produced(cv), kRefused) << "never opened";
    const unsigned short bad[][6] = {{0, 8000, 16, 1, 8000, 16}, {1, 8000, 16, 0, 8000, 16},
                                     {1, 0, 16, 1, 8000, 16},    {1, 8000, 16, 1, 0, 16},
                                     {1, 8000, 12, 1, 8000, 16}, {1, 8000, 16, 1, 8000, 0},
                                     {1, 8000, 64, 1, 8000, 16}, {1, 8000, 16, 1, 16000, 20}};
    for (const auto& b : bad) {
        ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 8000, 16));
        EXPECT_FALSE(cv.Open(b[0], b[1], b[2], b[3], b[4], b[5]));
        EXPECT_EQ(Produced(cv), kRefused) << b[0] << " " << b[1] << " " << b[2] << " " << b[3];
    }
}

TEST(Lifecycle, CloseTwiceAndOpenTwice) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 2, 8000, 16));
    EXPECT_EQ(Produced(cv), 16);
    cv.Close();
    EXPECT_EQ(Produced(cv), kRefused);
    cv.Close();
    EXPECT_EQ(Produced(cv), kRefused);
    ASSERT_TRUE(cv.Open(1, 8000, 16, 2, 8000, 16));
    ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 8000, 8));
    EXPECT_EQ(Produced(cv), 4) << "the second Open replaced the stream";
}

TEST(Lifecycle, CopiesShareOneStreamUntilEachCloses) {
    CWaveConvert a;
    ASSERT_TRUE(a.Open(1, 8000, 16, 2, 8000, 16));
    CWaveConvert b;
    b = a;
    CWaveConvert c(a);
    a.Close();
    EXPECT_EQ(Produced(a), kRefused);
    EXPECT_EQ(Produced(b), 16);
    b.Close();
    EXPECT_EQ(Produced(c), 16) << "the last holder keeps the stream";
    b = c;
    c.Close();
    EXPECT_EQ(Produced(b), 16);
    b = a;  // assigning a closed object closes this one
    EXPECT_EQ(Produced(b), kRefused);
}

TEST(Lifecycle, SharedStreamAdvancesThroughEitherCopy) {
    CWaveConvert a, fresh;
    ASSERT_TRUE(a.Open(1, 8000, 16, 1, 16000, 16));
    ASSERT_TRUE(fresh.Open(1, 8000, 16, 1, 16000, 16));
    CWaveConvert b(a);
    const Bytes src = convert_test::Pack(convert_test::Tone(1000, 8000, 64, 1, 16, 0.5), 16);
    const Bytes expected = convert_test::ConvertOnce(fresh, src, 1024, 2);
    Bytes got(1024);
    unsigned long srcLen = 64, dstLen = got.size();
    ASSERT_TRUE(a.Convert(src.data(), srcLen, got.data(), dstLen));  // no flush between pieces
    ASSERT_EQ(srcLen, 64u);
    got.resize(dstLen);
    const Bytes rest = convert_test::ConvertOnce(b, Bytes(src.begin() + 64, src.end()), 1024, 2);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(got == expected);
}

TEST(Lifecycle, NullPointersWithLengthsAreRefused) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 8000, 16));
    EXPECT_EQ(Produced(cv, nullptr), kRefused);
    EXPECT_EQ(Produced(cv, kSrc.data(), false), kRefused);
    EXPECT_EQ(Produced(cv), 8);
}

}  // namespace
