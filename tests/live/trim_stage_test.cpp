// Live mode's trim stage against an ideal resampler: a sine read at the
// positions the trims ask for, whatever the blocks and pulls; the length
// the ratio accounts for; audio shed only where the stream is quiet; and
// PushPull (filtering from the stack) against Push and Pull.
#include "mixer/live/trim_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using _Carovel::PcmFormat;
using _Carovel::TrimStage;

constexpr double kPi = 3.14159265358979323846;

std::vector<unsigned char> Pack16(const std::vector<double>& samples) {
    std::vector<unsigned char> out;
    for (const double v : samples) {
        const auto s = static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
        out.push_back(static_cast<unsigned char>(s & 0xff));
        out.push_back(static_cast<unsigned char>((s >> 8) & 0xff));
    }
    return out;
}

std::vector<double> Unpack16(const std::vector<unsigned char>& bytes) {
    std::vector<double> out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return out;
}

// Runs input through a stage in random pieces, pulling into random room,
// with the trim changed to trims[k] after every changeEvery outputs; drains
// at the end. positions receives the ideal input position of every output.
std::vector<unsigned char> Stream(TrimStage& stage, const std::vector<unsigned char>& input,
                                  const std::vector<std::int32_t>& trims, std::size_t changeEvery,
                                  std::mt19937& rng, std::vector<double>* positions = nullptr) {
    std::vector<unsigned char> out;
    std::uniform_int_distribution<std::size_t> piece(1, 2000);
    std::uniform_int_distribution<std::size_t> room(1, 700);
    std::size_t fed = 0;
    std::size_t trimIndex = 0;
    std::size_t made = 0;
    double position = 0.0;
    stage.SetTrim(trims[0]);
    const std::size_t blocks = input.size() / 2;
    std::vector<unsigned char> buf(2 * 700);
    const auto take = [&](std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (positions != nullptr) {
                positions->push_back(position);
            }
            position += stage.SourcePerOutput();
            ++made;
        }
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(2 * n));
    };
    while (fed < blocks) {
        const std::size_t n = std::min(piece(rng), blocks - fed);
        EXPECT_TRUE(stage.Push(input.data() + 2 * fed, n));
        fed += n;
        for (;;) {
            // Pull no further than the next change of trim.
            const std::size_t next = (made / changeEvery + 1) * changeEvery;
            const std::size_t got = stage.Pull(buf.data(), std::min(room(rng), next - made));
            take(got);
            if (made == next && trimIndex + 1 < trims.size()) {
                stage.SetTrim(trims[++trimIndex]);
            }
            if (got == 0) {
                break;
            }
        }
    }
    for (;;) {
        const std::size_t got = stage.Drain(buf.data(), room(rng));
        take(got);
        if (got == 0) {
            break;
        }
    }
    return out;
}

struct Snr {
    double signal = 0;
    double noise = 0;
    double Db() const { return 10 * std::log10(signal / std::max(noise, 1e-12)); }
};

TEST(TrimStage, ReadsASineWhereTheTrimsSayToWithinTheQualityPromised) {
    // 1 kHz at -6 dBFS in a 48 kHz and an 8 kHz stream; every trim the
    // drift control and the recovery use, changed every 4000 outputs.
    std::mt19937 rng(11);
    for (const unsigned rate : {48000u, 8000u}) {
        SCOPED_TRACE(rate);
        const double amplitude = 16384.0;
        const double w = 2 * kPi * 1000.0 / rate;
        std::vector<double> tone;
        for (std::size_t n = 0; n < rate * 3; ++n) {
            tone.push_back(amplitude * std::sin(w * static_cast<double>(n)));
        }
        const std::vector<std::int32_t> trims = {0,  500,   -500,  12000, -12000,
                                                 37, 50000, -4000, 60000, -60000};
        TrimStage stage(PcmFormat{1, rate, 16});
        std::vector<double> positions;
        const std::vector<double> out =
            Unpack16(Stream(stage, Pack16(tone), trims, tone.size() / 12, rng, &positions));
        ASSERT_EQ(out.size(), positions.size());
        // Every output is made, none twice: the last reads the input's end.
        ASSERT_GE(positions.back(), static_cast<double>(tone.size()) - 1.07);
        ASSERT_LT(positions.back(), static_cast<double>(tone.size()));
        // Away from the ends, where the filter reads silence.
        Snr snr;
        Snr large;  // at the trims of recovery (5 to 6 per cent)
        for (std::size_t i = 100; i < out.size(); ++i) {
            if (positions[i] > static_cast<double>(tone.size()) - 100) {
                break;
            }
            const double want = amplitude * std::sin(w * positions[i]);
            Snr& into = std::abs(trims[std::min(i / (tone.size() / 12), trims.size() - 1)]) > 20000
                            ? large
                            : snr;
            into.signal += want * want;
            into.noise += (out[i] - want) * (out[i] - want);
        }
        // 16-bit rounding alone leaves 92 dB.
        EXPECT_GT(snr.Db(), rate == 48000 ? 85.0 : 75.0);
        EXPECT_GT(large.Db(), rate == 48000 ? 80.0 : 60.0);
    }
}

TEST(TrimStage, OverTenMinutesTheOutputsAreThoseTheTrimAccountsFor) {
    // Ten minutes of 48 kHz mono in 20 ms blocks through PushPull, as the
    // intake feeds it, then drained: the outputs are those whose positions,
    // a ratio apart, fall before the input's end. The ratio is the trim
    // asked for to within one output in ten minutes, whichever kernel runs
    // (long runs within 1000 ppm, short runs beyond).
    constexpr std::size_t kBlock = 960;
    constexpr std::size_t kBlocks = 30000;
    const std::vector<unsigned char> block(2 * kBlock, 0);
    std::vector<unsigned char> out(2 * 2 * kBlock);
    for (const std::int32_t ppm : {123, -777, 4321, -61000}) {
        SCOPED_TRACE(ppm);
        TrimStage stage(PcmFormat{1, 48000, 16});
        stage.SetTrim(ppm);
        std::size_t outputs = 0;
        for (std::size_t b = 0; b < kBlocks; ++b) {
            std::size_t made = 0;
            ASSERT_TRUE(stage.PushPull(block.data(), kBlock, out.data(), 2 * kBlock, &made));
            outputs += made;
        }
        for (std::size_t got = 1; got != 0;) {
            got = stage.Drain(out.data(), 2 * kBlock);
            outputs += got;
        }
        const double input = static_cast<double>(kBlock * kBlocks);
        EXPECT_NEAR(static_cast<double>(outputs), std::ceil(input / stage.SourcePerOutput()), 1.0);
        EXPECT_NEAR(static_cast<double>(outputs), input / (1.0 + ppm * 1e-6), 1.0);
    }
}

TEST(TrimStage, AtNoTrimTheStreamPassesUnchangedAndPrimedWithoutASeam) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::vector<unsigned char> input;
    for (int i = 0; i < 20000; ++i) {
        const auto v = static_cast<std::int16_t>(any(rng));
        input.push_back(static_cast<unsigned char>(v & 0xff));
        input.push_back(static_cast<unsigned char>((v >> 8) & 0xff));
    }
    TrimStage stage(PcmFormat{1, 48000, 16});
    // Primed with what went before: an exact copy from the first sample.
    stage.Prime(input.data(), 100);
    const std::vector<unsigned char> tail(input.begin() + 200, input.end());
    EXPECT_EQ(Stream(stage, tail, {0}, 1000000, rng), tail);
    // After a drain the stage starts afresh.
    EXPECT_EQ(stage.HeldBackBlocks(), 0u);
    EXPECT_EQ(Stream(stage, tail, {0}, 1000000, rng), tail);
}

TEST(TrimStage, PushPullGivesWhatPushThenPullGivesInEveryFormat) {
    // Two stages fed alike, one by Push and Pull, the other by PushPull and
    // Pull: pieces of every size (past what the stack holds too), room for
    // few outputs or many, trims changing, quiet stretches shed.
    const PcmFormat formats[] = {{1, 48000, 16}, {2, 48000, 16}, {1, 16000, 24},
                                 {3, 8000, 16},  {4, 32000, 32}, {1, 48000, 32, true}};
    for (const PcmFormat& format : formats) {
        SCOPED_TRACE(testing::Message()
                     << format.channels << " channels, " << format.bitsPerSample << " bits");
        std::mt19937 rng(17);
        const std::size_t blockAlign = format.BlockAlign();
        // Loud noise with quiet stretches (all bytes zero: silence in
        // every format but 8-bit, which is not among them).
        std::vector<unsigned char> input(blockAlign * 60000);
        std::uniform_int_distribution<int> byte(0, 255);
        for (std::size_t i = 0; i < input.size(); ++i) {
            const bool quiet = (i / blockAlign / 4000) % 3 == 1;
            input[i] = quiet ? 0 : static_cast<unsigned char>(byte(rng));
        }
        if (format.isFloat) {  // noise within full scale
            for (std::size_t i = 0; i < input.size(); i += 4) {
                float v;
                std::memcpy(&v, &input[i], 4);
                v = std::isfinite(v) && v != 0.0f ? std::fmod(v, 1.0f) : 0.0f;
                std::memcpy(&input[i], &v, 4);
            }
        }
        TrimStage a(format);
        TrimStage b(format);
        std::vector<unsigned char> outA, outB;
        std::vector<unsigned char> buf(blockAlign * 3000);
        const std::int32_t trims[] = {0, 333, -500, 999, -1000, 4000, -12000, 60000};
        std::uniform_int_distribution<std::size_t> piece(0, 2500);
        std::uniform_int_distribution<std::size_t> room(1, 1500);
        std::size_t fed = 0;
        for (int step = 0; fed < input.size() / blockAlign; ++step) {
            const std::int32_t trim = trims[static_cast<std::size_t>(step) % 8];
            a.SetTrim(trim);
            b.SetTrim(trim);
            if (step % 5 == 2) {
                a.AllowShed(700);
                b.AllowShed(700);
            }
            const std::size_t n = std::min(piece(rng), input.size() / blockAlign - fed);
            const unsigned char* in = input.data() + fed * blockAlign;
            fed += n;
            // Now and then no room at all: PushPull then only takes.
            std::size_t r = step % 7 == 3 ? 0 : room(rng);
            ASSERT_TRUE(a.Push(in, n));
            std::size_t got = a.Pull(buf.data(), r);
            outA.insert(outA.end(), buf.begin(), buf.begin() + got * blockAlign);
            // Now and then b takes a piece by Push too, after PushPull kept
            // what it had inside the stage.
            if (step % 4 == 1) {
                ASSERT_TRUE(b.Push(in, n));
                got = b.Pull(buf.data(), r);
            } else {
                ASSERT_TRUE(b.PushPull(in, n, buf.data(), r, &got));
            }
            outB.insert(outB.end(), buf.begin(), buf.begin() + got * blockAlign);
            do {
                r = room(rng);
                got = a.Pull(buf.data(), r);
                outA.insert(outA.end(), buf.begin(), buf.begin() + got * blockAlign);
                const std::size_t gotB = b.Pull(buf.data(), r);
                outB.insert(outB.end(), buf.begin(), buf.begin() + gotB * blockAlign);
                ASSERT_EQ(got, gotB);
            } while (got > 0);
            ASSERT_EQ(outA, outB) << "after piece " << step;
            ASSERT_EQ(a.HeldBackBlocks(), b.HeldBackBlocks());
        }
        EXPECT_EQ(a.ShedBlocks(), b.ShedBlocks());
        EXPECT_GT(a.ShedBlocks(), 0u);
        for (std::size_t got = 1; got > 0;) {
            got = a.Drain(buf.data(), 500);
            outA.insert(outA.end(), buf.begin(), buf.begin() + got * blockAlign);
            const std::size_t gotB = b.Drain(buf.data(), 500);
            outB.insert(outB.end(), buf.begin(), buf.begin() + gotB * blockAlign);
        }
        EXPECT_EQ(outA, outB);
        EXPECT_GT(outA.size(), input.size() / 2);
    }
}

TEST(TrimStage, AMonoStreamComesOutAsEachChannelOfTheSameStreamInStereo) {
    // Mono 16-bit has a path of its own (on processors with AVX2); a stereo
    // stream of the same samples on both channels takes the general one.
    // Their outputs must be the same samples, byte for byte. A difference
    // in the last bit of an output's position moves a rounded sample only
    // now and then, so the stream is long: 4 minutes at 48 kHz.
    std::mt19937 rng(41);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> trim(-1000, 1000);
    TrimStage one(PcmFormat{1, 48000, 16});
    TrimStage two(PcmFormat{2, 48000, 16});
    constexpr std::size_t kBlock = 960;
    std::vector<unsigned char> mono(2 * kBlock);
    std::vector<unsigned char> stereo(4 * kBlock);
    std::vector<unsigned char> outOne(2 * 3000);
    std::vector<unsigned char> outTwo(4 * 3000);
    std::size_t compared = 0;
    for (int block = 0; block < 12000; ++block) {
        for (std::size_t i = 0; i < kBlock; ++i) {
            const auto v = static_cast<std::int16_t>(any(rng) / static_cast<int>(i % 7 + 1));
            const auto lo = static_cast<unsigned char>(v & 0xff);
            const auto hi = static_cast<unsigned char>((v >> 8) & 0xff);
            mono[2 * i] = stereo[4 * i] = stereo[4 * i + 2] = lo;
            mono[2 * i + 1] = stereo[4 * i + 1] = stereo[4 * i + 3] = hi;
        }
        if (block % 50 == 0) {
            const std::int32_t ppm = block % 500 == 0 ? 3000 : trim(rng);
            one.SetTrim(ppm);
            two.SetTrim(ppm);
        }
        std::size_t gotOne = 0;
        ASSERT_TRUE(one.PushPull(mono.data(), kBlock, outOne.data(), 3000, &gotOne));
        ASSERT_TRUE(two.Push(stereo.data(), kBlock));
        const std::size_t gotTwo = two.Pull(outTwo.data(), 3000);
        ASSERT_EQ(gotOne, gotTwo);
        for (std::size_t i = 0; i < gotOne; ++i) {
            for (std::size_t c = 0; c < 2; ++c) {
                ASSERT_EQ(outOne[2 * i], outTwo[4 * i + 2 * c]) << compared + i;
                ASSERT_EQ(outOne[2 * i + 1], outTwo[4 * i + 2 * c + 1]) << compared + i;
            }
        }
        compared += gotOne;
    }
    EXPECT_GT(compared, 11400000u);
}

TEST(TrimStage, SixteenBitStreamsSummedInIntegersStayWithinAFewUnitsOfTheFloatSums) {
    // 16-bit streams are filtered with integer taps, 32-bit ones in floats:
    // the same samples (shifted up 16 bits) must come out within a few
    // units of 16 bits at every trim. The input is the worst case for the
    // integer sums: full scale, alternating in sign as the taps do on both
    // sides of the reading position, the pattern flipping every 61 samples
    // so that every fraction meets a flip; a sum that wrapped past 32 bits
    // would be off by thousands.
    std::vector<std::int16_t> input;
    for (int n = 0; n < 48000 * 4; ++n) {
        input.push_back(((n + n / 61) % 2) == 0 ? std::int16_t{32767} : std::int16_t{-32768});
    }
    std::vector<unsigned char> in16(2 * input.size()), in32(4 * input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        const auto v = static_cast<std::uint16_t>(input[i]);
        in16[2 * i] = static_cast<unsigned char>(v & 0xff);
        in16[2 * i + 1] = static_cast<unsigned char>(v >> 8);
        in32[4 * i + 2] = in16[2 * i];  // the low 16 bits zero
        in32[4 * i + 3] = in16[2 * i + 1];
    }
    TrimStage ints(PcmFormat{1, 48000, 16});
    TrimStage floats(PcmFormat{1, 48000, 32});
    constexpr std::size_t kBlock = 960;
    std::vector<unsigned char> out16(2 * 2000), out32(4 * 2000);
    int worst = 0;
    std::size_t compared = 0;
    for (std::size_t b = 0; b + 1 < input.size() / kBlock; ++b) {
        const std::int32_t trims[] = {0, 1000, -1000, 333, -777, 150};
        ints.SetTrim(trims[b / 20 % 6]);
        floats.SetTrim(trims[b / 20 % 6]);
        std::size_t got16 = 0;
        ASSERT_TRUE(
            ints.PushPull(in16.data() + 2 * kBlock * b, kBlock, out16.data(), 2000, &got16));
        ASSERT_TRUE(floats.Push(in32.data() + 4 * kBlock * b, kBlock));
        ASSERT_EQ(floats.Pull(out32.data(), 2000), got16);
        for (std::size_t i = 0; i < got16; ++i) {
            const int a = static_cast<std::int16_t>(out16[2 * i] | (out16[2 * i + 1] << 8));
            std::int32_t v;
            std::memcpy(&v, &out32[4 * i], 4);
            const int b32 = static_cast<int>(std::lround(v / 65536.0));
            worst = std::max(worst, std::abs(a - std::clamp(b32, -32768, 32767)));
        }
        compared += got16;
    }
    EXPECT_GT(compared, input.size() - 4 * kBlock);
    EXPECT_LE(worst, 8);
}

TEST(TrimStage, ShedsOnlyQuietStretchesAndNoMoreThanTheBudget) {
    // 100 ms of tone, 200 ms of low noise (-60 dBFS), 100 ms of tone, 30 ms
    // of silence, tone again; a budget of 150 ms at 48 kHz.
    std::vector<double> in;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> hiss(-30.0, 30.0);
    const auto tone = [&](int ms) {
        for (int n = 0; n < ms * 48; ++n) {
            in.push_back(12000.0 * std::sin(2 * kPi * 440.0 * n / 48000.0));
        }
    };
    tone(100);
    for (int n = 0; n < 200 * 48; ++n) {
        in.push_back(hiss(rng));
    }
    tone(100);
    in.insert(in.end(), 30 * 48, 0.0);
    tone(100);
    const std::vector<unsigned char> bytes = Pack16(in);
    TrimStage plain(PcmFormat{1, 48000, 16});
    const std::vector<double> reference = Unpack16(Stream(plain, bytes, {0}, 1u << 30, rng));
    ASSERT_EQ(reference.size(), in.size());

    TrimStage stage(PcmFormat{1, 48000, 16});
    stage.AllowShed(150 * 48);
    const std::vector<double> out = Unpack16(Stream(stage, bytes, {0}, 1u << 30, rng));
    // The budget went, all of it, and the output is that much shorter.
    EXPECT_EQ(stage.ShedBudget(), 0u);
    EXPECT_EQ(stage.ShedBlocks(), 150u * 48);
    ASSERT_EQ(out.size(), in.size() - 150 * 48);
    // The tones are untouched: the first whole, the others shifted by what
    // went before them.
    const std::size_t firstTone = 100 * 48;
    for (std::size_t i = 0; i < firstTone; ++i) {
        ASSERT_EQ(out[i], reference[i]) << i;
    }
    // Nothing outside the quiet stretches changed: every output sample is
    // an input sample, and the tones follow each other in order.
    const std::size_t secondTone = 300 * 48;
    const std::size_t shift = 150 * 48;
    for (std::size_t i = secondTone; i < in.size(); ++i) {
        if (std::fabs(reference[i]) > 104) {
            ASSERT_EQ(out[i - shift], reference[i]) << i;
        }
    }
    // No click: the output never steps by more than the tone does.
    double biggestStep = 0;
    for (std::size_t i = 1; i < out.size(); ++i) {
        biggestStep = std::max(biggestStep, std::fabs(out[i] - out[i - 1]));
    }
    EXPECT_LT(biggestStep, 12000.0 * 2 * kPi * 440.0 / 48000.0 + 2);
}

}  // namespace

namespace {

// A float mixing format through the stage: at no trim the stream passes as
// it is, and trimmed, a sine at +6 dBFS keeps its level (nothing clamped).
std::vector<float> StreamFloats(TrimStage& stage, const std::vector<float>& in) {
    std::vector<unsigned char> bytes(in.size() * 4);
    std::memcpy(bytes.data(), in.data(), bytes.size());
    EXPECT_TRUE(stage.Push(bytes.data(), in.size()));
    std::vector<unsigned char> out;
    std::vector<unsigned char> buf(4 * 512);
    for (std::size_t got = 1; got > 0;) {
        got = stage.Pull(buf.data(), 512);
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(4 * got));
    }
    for (std::size_t got = 512; got == 512;) {
        got = stage.Drain(buf.data(), 512);
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(4 * got));
    }
    std::vector<float> v(out.size() / 4);
    std::memcpy(v.data(), out.data(), v.size() * 4);
    return v;
}

TEST(TrimStage, FloatStreamsKeepTheirLevelAboveFullScale) {
    std::vector<float> in(48000);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] =
            static_cast<float>(2.0 * std::sin(2 * kPi * 1000.0 * static_cast<double>(i) / 48000.0));
    }
    _Carovel::PcmFormat format{1, 48000, 32, true};
    TrimStage plain(format);
    plain.SetTrim(0);
    const std::vector<float> same = StreamFloats(plain, in);
    ASSERT_EQ(same.size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_NEAR(same[i], in[i], 1e-5f) << i;
    }
    TrimStage trimmed(format);
    trimmed.SetTrim(5000);
    const std::vector<float> out = StreamFloats(trimmed, in);
    EXPECT_NEAR(static_cast<double>(out.size()), in.size() / 1.005, 2.0);
    float peak = 0.0f;
    for (std::size_t i = 1000; i + 1000 < out.size(); ++i) {
        peak = std::max(peak, std::fabs(out[i]));
    }
    EXPECT_NEAR(peak, 2.0f, 0.01f);
}

}  // namespace
