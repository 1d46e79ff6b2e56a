// Opening, closing, sharing and refusing bad calls.
#include <gtest/gtest.h>

#include "convert/convert_fixtures.h"

namespace {

using _Carovel::CWaveConvert;
using convert_test::Bytes;

const Bytes kSrc = convert_test::Pack({100, -100, 200, -200}, 16);

// Converts kSrc mono 16-bit; returns false and checks the lengths stayed put
// when the converter refuses.
bool Step(CWaveConvert& cv, unsigned long* produced = nullptr) {
    Bytes dst(64);
    unsigned long srcLen = kSrc.size(), dstLen = dst.size();
    const bool ok = cv.Convert(kSrc.data(), srcLen, dst.data(), dstLen);
    if (!ok) {
        EXPECT_EQ(srcLen, kSrc.size());
        EXPECT_EQ(dstLen, dst.size());
    }
    if (produced != nullptr) {
        *produced = dstLen;
    }
    return ok;
}

TEST(Lifecycle, OpenRefusesUnsupportedFormatsAndStaysClosed) {
    CWaveConvert cv;
    EXPECT_FALSE(Step(cv)) << "never opened";
    const unsigned short bad[][6] = {{0, 8000, 16, 1, 8000, 16}, {1, 8000, 16, 0, 8000, 16},
                                     {1, 0, 16, 1, 8000, 16},    {1, 8000, 16, 1, 0, 16},
                                     {1, 8000, 12, 1, 8000, 16}, {1, 8000, 16, 1, 8000, 0},
                                     {1, 8000, 64, 1, 8000, 16}, {1, 8000, 16, 1, 16000, 20}};
    for (const auto& b : bad) {
        ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 8000, 16));
        EXPECT_FALSE(cv.Open(b[0], b[1], b[2], b[3], b[4], b[5]));
        EXPECT_FALSE(Step(cv)) << b[0] << " " << b[1] << " " << b[2] << " " << b[3];
    }
}

TEST(Lifecycle, ConvertAfterCloseFailsAndCloseTwiceIsHarmless) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 2, 8000, 16));
    unsigned long produced = 0;
    EXPECT_TRUE(Step(cv, &produced));
    EXPECT_EQ(produced, 16u);
    cv.Close();
    EXPECT_FALSE(Step(cv));
    cv.Close();
    EXPECT_FALSE(Step(cv));
}

TEST(Lifecycle, OpenTwiceReplacesTheStream) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 2, 8000, 16));
    ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 8000, 8));
    unsigned long produced = 0;
    EXPECT_TRUE(Step(cv, &produced));
    EXPECT_EQ(produced, 4u);
}

TEST(Lifecycle, CopiesShareOneStreamUntilEachCloses) {
    CWaveConvert a;
    ASSERT_TRUE(a.Open(1, 8000, 16, 2, 8000, 16));
    CWaveConvert b;
    b = a;
    CWaveConvert c(a);
    unsigned long produced = 0;
    a.Close();
    EXPECT_FALSE(Step(a));
    EXPECT_TRUE(Step(b, &produced));
    EXPECT_EQ(produced, 16u);
    b.Close();
    EXPECT_TRUE(Step(c, &produced)) << "the last holder keeps the stream";
    EXPECT_EQ(produced, 16u);
    b = c;
    c.Close();
    EXPECT_TRUE(Step(b));
    b = a;  // assigning a closed object closes this one
    EXPECT_FALSE(Step(b));
}

TEST(Lifecycle, SharedStreamAdvancesThroughEitherCopy) {
    CWaveConvert a;
    ASSERT_TRUE(a.Open(1, 8000, 16, 1, 16000, 16));
    CWaveConvert b(a), fresh;
    ASSERT_TRUE(fresh.Open(1, 8000, 16, 1, 16000, 16));
    const Bytes src = convert_test::Pack(convert_test::Tone(1000, 8000, 64, 1, 16, 0.5), 16);
    const Bytes expected = convert_test::ConvertOnce(fresh, src, 1024, 2);
    Bytes got = convert_test::ConvertOnce(a, Bytes(src.begin(), src.begin() + 64), 1024, 2);
    const Bytes rest = convert_test::ConvertOnce(b, Bytes(src.begin() + 64, src.end()), 1024, 2);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(got == expected);
}

TEST(Lifecycle, NullPointersWithLengthsAreRefused) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 8000, 16));
    Bytes dst(8);
    unsigned long srcLen = 4, dstLen = dst.size();
    EXPECT_FALSE(cv.Convert(nullptr, srcLen, dst.data(), dstLen));
    EXPECT_EQ(srcLen, 4u);
    EXPECT_EQ(dstLen, 8u);
    EXPECT_FALSE(cv.Convert(kSrc.data(), srcLen, nullptr, dstLen));
    EXPECT_EQ(srcLen, 4u);
    EXPECT_EQ(dstLen, 8u);
}

}  // namespace
