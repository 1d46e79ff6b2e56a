// The two resamplers (Resampler): which one runs for a pair of rates, what
// the fast one holds back and how it paces its output, and the contracts both
// keep: the same bytes however the stream is cut, and output aligned with the
// input to within a destination sample. (The default's own hold-back and
// rhythm are checked by resample_test.cpp and stepping_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "carovel/format.h"
#include "convert/convert_fixtures.h"
#include "convert/convert_stream.h"

namespace {

using _Carovel::ConvertStream;
using _Carovel::CWaveConvert;
using _Carovel::PcmFormat;
using _Carovel::Resampler;
using convert_test::Bytes;
using convert_test::Pack;
using convert_test::Samples;
using convert_test::Unpack;

const char* Name(Resampler kind) {
    return kind == Resampler::kFast ? "kFast" : "kLowLatency";
}

// kLowLatency runs on speexdsp unless the higher rate is more than 16 times
// the lower; kFast always on libsoxr. Equal rates have no resampler.
TEST(ResamplerChoice, TheDefaultTakesLibsoxrOnlyBeyondTheRatioLimit) {
    struct Pair {
        unsigned short src, dst;
    };
    for (const Pair p : {Pair{8000, 16000},
                         {48000, 8000},
                         {8000, 48000},
                         {44100, 48000},
                         {4096, 65535},
                         {65535, 4096},
                         {4095, 65535},
                         {65535, 4095},
                         {2000, 48000},
                         {48000, 2000},
                         {1, 65535},
                         {65535, 1},
                         {3, 48}}) {
        const PcmFormat src{1, p.src, 16}, dst{1, p.dst, 16};
        const auto low = ConvertStream::Create(src, dst);
        const auto fast = ConvertStream::Create(src, dst, Resampler::kFast);
        ASSERT_NE(low, nullptr);
        ASSERT_NE(fast, nullptr);
        const unsigned lo = std::min(p.src, p.dst);
        const unsigned hi = std::max(p.src, p.dst);
        EXPECT_EQ(low->OnSoxr(), hi > lo * _Carovel::kFastAboveRatio) << p.src << " " << p.dst;
        EXPECT_TRUE(fast->OnSoxr()) << p.src << " " << p.dst;
    }
    const auto same = ConvertStream::Create({2, 8000, 16}, {1, 8000, 24}, Resampler::kFast);
    ASSERT_NE(same, nullptr);
    EXPECT_FALSE(same->Resampling());
    EXPECT_EQ(ConvertStream::Create({1, 8000, 16}, {1, 16000, 16}, static_cast<Resampler>(7)),
              nullptr);
    CWaveConvert cv;
    EXPECT_FALSE(cv.Open(1, 8000, 16, 1, 16000, 16, static_cast<Resampler>(7)));
    EXPECT_EQ(cv.LastStatus(), _Carovel::Status::kBadArgument);
    EXPECT_TRUE(cv.Open(1, 8000, 16, 1, 16000, 16, Resampler::kFast));
    EXPECT_EQ(cv.LastStatus(), _Carovel::Status::kOk);
}

// The fast resampler's delay is skipped too: an impulse comes out at its own
// time, and draining gives out the rest of the stream, to the rate ratio.
// What is held back after the step is the pacing latency and the few blocks
// of the last step that the pacing keeps back.
TEST(FastResampler, ImpulseComesOutAtItsOwnTimeAndDrainingCompletesTheStream) {
    const PcmFormat src{1, 8000, 16}, dst{1, 16000, 16};
    const auto stream = ConvertStream::Create(src, dst, Resampler::kFast);
    ASSERT_NE(stream, nullptr);
    Samples impulse(400, 0);
    impulse[100] = 16384;
    Bytes in = Pack(impulse, 16), out(2000);
    const _Carovel::StepResult r = stream->Step(in.data(), in.size(), out.data(), out.size());
    EXPECT_EQ(r.used, in.size());
    EXPECT_GT(stream->HeldBackBlocks(), 0u);
    EXPECT_GT(stream->PacingLatency(), 0u);
    EXPECT_LE(stream->HeldBackBlocks(), stream->PacingLatency() + 2);
    Bytes tail(2000);
    const _Carovel::StepResult t = stream->Drain(tail.data(), tail.size());
    EXPECT_EQ(stream->HeldBackBlocks(), 0u);
    out.resize(r.produced);
    out.insert(out.end(), tail.begin(), tail.begin() + static_cast<long>(t.produced));
    const Samples y = Unpack(out, 16);
    EXPECT_EQ(y.size(), 800u);  // 400 blocks at twice the rate
    const auto peak = std::max_element(y.begin(), y.end()) - y.begin();
    EXPECT_NEAR(static_cast<double>(peak), 200.0, 1.0);
}

// Every 20 ms block in gives one 20 ms block out, give or take one frame,
// once the stream has filled the pacing latency (the first blocks give
// nothing, then one gives less than the ratio), and what came out plus what
// is held back is exactly the input at the rate ratio, rounded up. The
// latency is libsoxr's largest hold-back: 21 to 118 ms for these pairs.
TEST(FastResampler, TwentyMillisecondBlocksGiveBlocksAtTheRateRatio) {
    for (const auto& [inRate, outRate] :
         {std::pair{8000, 16000}, {16000, 8000}, {44100, 48000}, {48000, 8000}, {48000, 44100}}) {
        CWaveConvert cv;
        ASSERT_TRUE(cv.Open(2, inRate, 16, 2, outRate, 16, Resampler::kFast));
        const Bytes block(inRate / 50 * 4, 0x11);
        Bytes dst(outRate / 50 * 4 + 64);
        std::int64_t total = 0;  // 64-bit: long is 32 bits on Windows
        int flowing = 0;         // blocks since the first that gave output
        for (int i = 1; i <= 100; ++i) {
            unsigned long srcLen = block.size(), dstLen = dst.size();
            ASSERT_TRUE(cv.Convert(block.data(), srcLen, dst.data(), dstLen));
            ASSERT_EQ(srcLen, block.size());
            if (total > 0 || dstLen > 0) {
                ++flowing;
            }
            if (flowing > 1) {
                EXPECT_NEAR(static_cast<double>(dstLen / 4), outRate / 50.0, 1.0) << inRate;
            }
            total += static_cast<std::int64_t>(dstLen / 4);
            const std::int64_t inFrames = std::int64_t{inRate / 50} * i;
            EXPECT_EQ(total + static_cast<std::int64_t>(cv.PendingBytes() / 4),
                      (inFrames * outRate + inRate - 1) / inRate)
                << inRate;
            EXPECT_LE(cv.PendingBytes() / 4, outRate * 125u / 1000) << "more than 125 ms held back";
        }
        EXPECT_GT(flowing, 90) << inRate;
    }
}

Bytes Noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) {
        b = static_cast<unsigned char>(rng());
    }
    return out;
}

// Room for 50 frames at twice the rate takes about 25 frames, plus the input
// whose output the resampler holds back (its pacing latency, 118 ms at these
// rates), and leaves the rest of the 250 ms.
TEST(FastResampler, SmallRoomTakesOnlyTheInputThatFits) {
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, 8000, 16, 1, 16000, 16, Resampler::kFast));
    const Bytes noise = Noise(4000, 3);
    unsigned long srcLen = noise.size(), dstLen = 100;
    Bytes room(100);
    ASSERT_TRUE(cv.Convert(noise.data(), srcLen, room.data(), dstLen));
    EXPECT_EQ(dstLen, 100u);
    EXPECT_LT(srcLen, noise.size());
    EXPECT_EQ((dstLen + cv.PendingBytes()) / 2, srcLen / 2 * 2);
}

struct Format {
    unsigned short srcCh, srcRate, srcBits, dstCh, dstRate, dstBits;
    std::size_t SrcBlock() const { return srcCh * srcBits / 8u; }
    std::size_t DstBlock() const { return dstCh * dstBits / 8u; }
};

struct PiecesCase {
    Resampler kind;
    Format f;
};

// Feeds src in random pieces (splitting blocks) with random room, keeping the
// unused bytes for the next step the way a caller would, then flushes in
// random pieces.
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

class ResamplerPieces : public ::testing::TestWithParam<PiecesCase> {};

// Half a second of noise in one piece and in random pieces: the same bytes,
// ceil(blocks * ratio) of them.
TEST_P(ResamplerPieces, PiecesGiveTheSameBytesAsOnePiece) {
    const auto [kind, f] = GetParam();
    const Bytes src = Noise(f.SrcBlock() * f.srcRate / 2 + 1, 7);
    CWaveConvert whole;
    ASSERT_TRUE(whole.Open(f.srcCh, f.srcRate, f.srcBits, f.dstCh, f.dstRate, f.dstBits, kind));
    const Bytes expected =
        convert_test::ConvertOnce(whole, src, (f.dstRate + 4u) * f.DstBlock(), f.SrcBlock());
    const std::uint64_t blocks = src.size() / f.SrcBlock();
    EXPECT_EQ(expected.size() / f.DstBlock(), (blocks * f.dstRate + f.srcRate - 1) / f.srcRate);
    for (unsigned seed = 1; seed <= 3; ++seed) {
        CWaveConvert cv;
        ASSERT_TRUE(cv.Open(f.srcCh, f.srcRate, f.srcBits, f.dstCh, f.dstRate, f.dstBits, kind));
        const Bytes got = ConvertInPieces(cv, f, src, seed);
        ASSERT_EQ(got.size(), expected.size()) << "seed " << seed;
        EXPECT_TRUE(got == expected) << "seed " << seed;
    }
}

// The fast resampler on the formats stepping_test.cpp runs through the
// default; the default where the rates are far enough apart for it to take
// libsoxr.
INSTANTIATE_TEST_SUITE_P(
    Formats, ResamplerPieces,
    ::testing::Values(PiecesCase{Resampler::kFast, {1, 8000, 16, 1, 16000, 16}},
                      PiecesCase{Resampler::kFast, {2, 16000, 16, 2, 8000, 16}},
                      PiecesCase{Resampler::kFast, {2, 44100, 16, 2, 48000, 16}},
                      PiecesCase{Resampler::kFast, {2, 48000, 24, 1, 8000, 16}},
                      PiecesCase{Resampler::kFast, {1, 11025, 8, 3, 16000, 32}},
                      PiecesCase{Resampler::kFast, {8, 48000, 24, 2, 16000, 16}},
                      PiecesCase{Resampler::kFast, {6, 48000, 24, 1, 8000, 16}},
                      PiecesCase{Resampler::kFast, {6, 48000, 16, 2, 8000, 16}},
                      PiecesCase{Resampler::kFast, {2, 48000, 16, 1, 8000, 16}},
                      PiecesCase{Resampler::kFast, {1, 8000, 16, 2, 8000, 16}},
                      PiecesCase{Resampler::kLowLatency, {1, 2000, 16, 1, 48000, 16}},
                      PiecesCase{Resampler::kLowLatency, {2, 48000, 16, 1, 2000, 16}},
                      PiecesCase{Resampler::kLowLatency, {1, 3000, 24, 2, 65535, 24}},
                      // Rates far enough apart to be lowered before libsoxr.
                      PiecesCase{Resampler::kFast, {2, 48000, 16, 1, 50, 16}},
                      PiecesCase{Resampler::kLowLatency, {1, 65535, 24, 2, 100, 24}},
                      PiecesCase{Resampler::kLowLatency, {1, 65535, 16, 1, 1, 16}}),
    [](const ::testing::TestParamInfo<PiecesCase>& info) {
        const Format& f = info.param.f;
        return std::string(Name(info.param.kind)) + "_" + std::to_string(f.srcCh) + "x" +
               std::to_string(f.srcRate) + "x" + std::to_string(f.srcBits) + "_to_" +
               std::to_string(f.dstCh) + "x" + std::to_string(f.dstRate) + "x" +
               std::to_string(f.dstBits);
    });

struct AlignCase {
    Resampler kind;
    unsigned short srcRate, dstRate;
};

class ResamplerAlignment : public ::testing::TestWithParam<AlignCase> {};

// A click at source sample k (a short raised-cosine pulse, band-limited well
// below both Nyquist frequencies so that neither filter smears it) peaks at
// destination sample k * dst / src, to within one sample, converted in 20 ms
// steps and flushed.
TEST_P(ResamplerAlignment, AClickComesOutAtItsOwnTime) {
    const AlignCase c = GetParam();
    const unsigned lo = std::min(c.srcRate, c.dstRate);
    // The pulse spans 8 samples of the lower rate, in source samples.
    const double width = 8.0 * c.srcRate / lo;
    const std::size_t length = c.srcRate;  // one second
    const std::size_t at = length / 3;
    Samples pulse(length, 0);
    const double pi = std::acos(-1.0);
    for (std::size_t n = 0; n < length; ++n) {
        const double x = (static_cast<double>(n) - static_cast<double>(at)) / width;
        if (std::abs(x) < 1.0) {
            pulse[n] = std::llround(12000.0 * (1 + std::cos(pi * x)));
        }
    }
    const Bytes src = Pack(pulse, 16);
    CWaveConvert cv;
    ASSERT_TRUE(cv.Open(1, c.srcRate, 16, 1, c.dstRate, 16, c.kind));
    Bytes out;
    Bytes room(c.dstRate / 50 * 2 + 64);
    const std::size_t step = std::max<std::size_t>(2, c.srcRate / 50 * 2);
    for (std::size_t pos = 0; pos < src.size();) {
        unsigned long srcLen = std::min(step, src.size() - pos), dstLen = room.size();
        ASSERT_TRUE(cv.Convert(src.data() + pos, srcLen, room.data(), dstLen));
        pos += srcLen;
        out.insert(out.end(), room.begin(), room.begin() + static_cast<long>(dstLen));
    }
    for (;;) {
        unsigned long dstLen = room.size();
        ASSERT_TRUE(cv.Flush(room.data(), dstLen));
        if (dstLen == 0) {
            break;
        }
        out.insert(out.end(), room.begin(), room.begin() + static_cast<long>(dstLen));
    }
    const Samples y = Unpack(out, 16);
    ASSERT_EQ(y.size(), (std::uint64_t{length} * c.dstRate + c.srcRate - 1) / c.srcRate);
    const auto peak = std::max_element(y.begin(), y.end()) - y.begin();
    EXPECT_NEAR(static_cast<double>(peak), static_cast<double>(at) * c.dstRate / c.srcRate, 1.0);
    EXPECT_NEAR(static_cast<double>(y[static_cast<std::size_t>(peak)]), 24000.0, 600.0);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ResamplerAlignment,
    ::testing::Values(
        AlignCase{Resampler::kLowLatency, 8000, 16000},
        AlignCase{Resampler::kLowLatency, 16000, 8000},
        AlignCase{Resampler::kLowLatency, 44100, 48000},
        AlignCase{Resampler::kLowLatency, 48000, 8000},
        AlignCase{Resampler::kLowLatency, 16000, 48000},
        AlignCase{Resampler::kLowLatency, 2000, 48000},
        AlignCase{Resampler::kLowLatency, 48000, 2000}, AlignCase{Resampler::kFast, 8000, 16000},
        AlignCase{Resampler::kFast, 16000, 8000}, AlignCase{Resampler::kFast, 44100, 48000},
        AlignCase{Resampler::kFast, 48000, 8000}, AlignCase{Resampler::kFast, 16000, 48000},
        AlignCase{Resampler::kFast, 2000, 48000}, AlignCase{Resampler::kFast, 48000, 2000},
        AlignCase{Resampler::kFast, 48000, 50}, AlignCase{Resampler::kLowLatency, 65535, 100}),
    [](const ::testing::TestParamInfo<AlignCase>& info) {
        return std::string(Name(info.param.kind)) + "_" + std::to_string(info.param.srcRate) +
               "_to_" + std::to_string(info.param.dstRate);
    });

}  // namespace

namespace {

// Both resamplers through the format description: a float stream at 96 kHz
// whose 1 kHz tone peaks at 1.5 (above full scale) comes out at 48 kHz with
// its level and its length at the rate ratio; a resampler out of range is
// refused there too.
TEST(ResamplerChoice, FloatStreamsAboveFullScaleKeepTheirLevelWithEitherResampler) {
    using _Carovel::AudioFormat;
    using _Carovel::SampleType;
    const AudioFormat in{96000, 1, SampleType::kF32};
    const AudioFormat out{48000, 1, SampleType::kF32};
    constexpr std::size_t kBlocks = 96000 / 2;  // half a second
    constexpr double kPi = 3.14159265358979323846;
    std::vector<float> tone(kBlocks);
    for (std::size_t i = 0; i < kBlocks; ++i) {
        tone[i] =
            static_cast<float>(1.5 * std::sin(2 * kPi * 1000.0 * static_cast<double>(i) / 96000.0));
    }
    for (const Resampler kind : {Resampler::kLowLatency, Resampler::kFast}) {
        CWaveConvert cv;
        ASSERT_TRUE(cv.Open(in, out, kind)) << Name(kind);
        std::vector<float> got(kBlocks);
        unsigned long srcLen = kBlocks * sizeof(float);
        unsigned long dstLen = got.size() * sizeof(float);
        ASSERT_TRUE(cv.Convert(reinterpret_cast<const unsigned char*>(tone.data()), srcLen,
                               reinterpret_cast<unsigned char*>(got.data()), dstLen));
        EXPECT_EQ(srcLen, kBlocks * sizeof(float)) << Name(kind);
        std::size_t made = dstLen / sizeof(float);
        unsigned long rest = (got.size() - made) * sizeof(float);
        ASSERT_TRUE(cv.Flush(reinterpret_cast<unsigned char*>(got.data() + made), rest));
        made += rest / sizeof(float);
        EXPECT_EQ(made, kBlocks / 2) << Name(kind);
        float peak = 0;
        for (std::size_t i = made / 4; i < 3 * made / 4; ++i) {
            peak = std::max(peak, std::fabs(got[i]));
        }
        EXPECT_NEAR(peak, 1.5f, 0.02f) << Name(kind);
    }
    CWaveConvert cv;
    EXPECT_FALSE(cv.Open(in, out, static_cast<Resampler>(7)));
    EXPECT_EQ(cv.LastStatus(), _Carovel::Status::kBadArgument);
}

}  // namespace
