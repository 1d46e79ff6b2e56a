// The stepping contract: whole blocks, bounded output, nothing lost, and the
// same bytes however the stream is cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "convert/convert_fixtures.h"

namespace {

using _Carovel::CWaveConvert;
using convert_test::Bytes;

struct Format {
    unsigned short srcCh, srcRate, srcBits, dstCh, dstRate, dstBits;
    std::size_t SrcBlock() const { return srcCh * srcBits / 8u; }
    std::size_t DstBlock() const { return dstCh * dstBits / 8u; }
};

Bytes Noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) {
        b = static_cast<unsigned char>(rng());
    }
    return out;
}

// Feeds src in random pieces (splitting blocks) with random room, keeping the
// unused bytes for the next step the way a caller would.
Bytes ConvertInPieces(CWaveConvert& cv, const Format& f, const Bytes& src, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes pending, out, room(3 * f.DstBlock() + 13 * f.DstBlock() * f.dstRate / f.srcRate);
    for (std::size_t pos = 0; pos < src.size();) {
        const std::size_t piece = std::min<std::size_t>(1 + rng() % 997, src.size() - pos);
        pending.insert(pending.end(), src.begin() + pos, src.begin() + pos + piece);
        pos += piece;
        while (pending.size() >= f.SrcBlock()) {
            unsigned long srcLen = pending.size();
            unsigned long dstLen = rng() % room.size();
            std::fill(room.begin(), room.end(), 0xA5);
            EXPECT_TRUE(cv.Convert(pending.data(), srcLen, room.data(), dstLen));
            EXPECT_TRUE(std::all_of(room.begin() + dstLen, room.end(),
                                    [](unsigned char b) { return b == 0xA5; }));
            EXPECT_EQ(srcLen % f.SrcBlock(), 0u);
            EXPECT_EQ(dstLen % f.DstBlock(), 0u);
            pending.erase(pending.begin(), pending.begin() + srcLen);
            out.insert(out.end(), room.begin(), room.begin() + dstLen);
        }
    }
    // Flushing in small pieces gives the same tail as flushing at once.
    for (;;) {
        unsigned long dstLen = f.DstBlock() * (1 + rng() % (room.size() / f.DstBlock()));
        EXPECT_TRUE(cv.Flush(room.data(), dstLen));
        if (dstLen == 0) {
            break;
        }
        out.insert(out.end(), room.begin(), room.begin() + dstLen);
    }
    return out;
}

class Stepping : public ::testing::TestWithParam<Format> {};

TEST_P(Stepping, PiecesGiveTheSameBytesAsOnePiece) {
    const Format f = GetParam();
    const Bytes src = Noise(f.SrcBlock() * f.srcRate / 2 + 1, 7);
    CWaveConvert whole;
    ASSERT_TRUE(whole.Open(f.srcCh, f.srcRate, f.srcBits, f.dstCh, f.dstRate, f.dstBits));
    const Bytes expected =
        convert_test::ConvertOnce(whole, src, (f.dstRate + 4u) * f.DstBlock(), f.SrcBlock());
    ASSERT_GT(expected.size(), f.DstBlock() * f.dstRate / 2 - 2 * f.DstBlock());
    for (unsigned seed = 1; seed <= 3; ++seed) {
        CWaveConvert cv;
        ASSERT_TRUE(cv.Open(f.srcCh, f.srcRate, f.srcBits, f.dstCh, f.dstRate, f.dstBits));
        const Bytes got = ConvertInPieces(cv, f, src, seed);
        ASSERT_EQ(got.size(), expected.size()) << "seed " << seed;
        EXPECT_TRUE(got == expected) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Stepping,
    ::testing::Values(Format{1, 8000, 16, 2, 8000, 16}, Format{3, 22050, 24, 2, 22050, 8},
                      Format{1, 8000, 16, 1, 16000, 16}, Format{2, 16000, 16, 2, 8000, 16},
                      Format{2, 44100, 16, 2, 48000, 16}, Format{2, 48000, 24, 1, 8000, 16},
                      Format{1, 11025, 8, 3, 16000, 32},
                      // The vector downmixes and the 16-bit encoder.
                      Format{8, 48000, 24, 2, 16000, 16}, Format{6, 48000, 24, 1, 8000, 16},
                      Format{6, 48000, 16, 2, 8000, 16}, Format{6, 48000, 16, 1, 8000, 16},
                      Format{2, 48000, 16, 1, 8000, 16}));

TEST(SteppingRoom, SmallRoomTakesOnlyTheInputThatFits) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 2, 8000, 16));
    const Bytes src = convert_test::Pack({1, 2, 3, 4, 5}, 16);
    Bytes dst(16, 0xEE);
    unsigned long srcLen = src.size(), dstLen = 11;
    ASSERT_TRUE(cv.Convert(src.data(), srcLen, dst.data(), dstLen));
    EXPECT_EQ(srcLen, 4u);
    EXPECT_EQ(dstLen, 8u);
    EXPECT_EQ(convert_test::Unpack(Bytes(dst.begin(), dst.begin() + 8), 16),
              (convert_test::Samples{1, 1, 2, 2}));
    EXPECT_EQ(dst[8], 0xEE) << "wrote past the whole blocks";
    srcLen = src.size() - 4, dstLen = 16;
    ASSERT_TRUE(cv.Convert(src.data() + 4, srcLen, dst.data(), dstLen));
    EXPECT_EQ(srcLen, 6u);
    EXPECT_EQ(convert_test::Unpack(Bytes(dst.begin(), dst.begin() + 12), 16),
              (convert_test::Samples{3, 3, 4, 4, 5, 5}));
    // Resampled: room for 50 frames at twice the rate takes about 25 frames,
    // plus the input the filter looks ahead, whose output it holds back.
    ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 16000, 16));
    const Bytes noise = Noise(320, 3);
    srcLen = noise.size(), dstLen = 100;
    Bytes room(100);
    ASSERT_TRUE(cv.Convert(noise.data(), srcLen, room.data(), dstLen));
    EXPECT_EQ(dstLen, 100u);
    EXPECT_EQ((dstLen + cv.PendingBytes()) / 2, srcLen / 2 * 2);
}

TEST(SteppingRoom, NoProgressStillSucceedsWithZeroCounts) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(2, 8000, 16, 1, 16000, 24));
    const Bytes src(64, 1);
    Bytes dst(64);
    unsigned long srcLen = 3, dstLen = dst.size();
    EXPECT_TRUE(cv.Convert(src.data(), srcLen, dst.data(), dstLen));
    EXPECT_EQ(srcLen, 0u);
    EXPECT_EQ(dstLen, 0u);
    srcLen = src.size(), dstLen = 2;
    EXPECT_TRUE(cv.Convert(src.data(), srcLen, dst.data(), dstLen));
    EXPECT_EQ(srcLen, 0u);
    EXPECT_EQ(dstLen, 0u);
    srcLen = 0, dstLen = 0;
    EXPECT_TRUE(cv.Convert(nullptr, srcLen, nullptr, dstLen));
}

}  // namespace
