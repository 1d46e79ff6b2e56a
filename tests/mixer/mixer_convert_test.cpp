// The mixer's converting intake, checked against the converter used directly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_convert.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::CWaveConvert;
using _Carovel::MixerTestAccess;
using carovel_test::MixOut;
using carovel_test::MixSink;
using carovel_test::Pack16;
using carovel_test::Unpack;

constexpr unsigned short kFrame = 320;  // 8000 Hz mono 16-bit, 20 ms

struct Format {
    unsigned short channels, rate, bits;
};

// A sine with the same value on every channel, as 16-bit samples.
std::vector<char> Sine16(const Format& f, double seconds, double hz, double amplitude,
                         double phaseSamples = 0) {
    std::vector<std::int64_t> s;
    const auto frames = static_cast<long>(seconds * f.rate);
    for (long i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2 * M_PI * hz * (i + phaseSamples) / f.rate);
        for (int c = 0; c < f.channels; ++c) {
            s.push_back(std::lround(v));
        }
    }
    return Pack16(s);
}

// What the converter still holds back.
std::vector<char> FlushAll(CWaveConvert& conv) {
    std::vector<char> out(conv.PendingBytes());
    unsigned long produced = out.size();
    EXPECT_TRUE(conv.Flush(reinterpret_cast<unsigned char*>(out.data()), produced));
    EXPECT_EQ(produced, out.size());
    return out;
}

// Everything one converter makes of `input` fed as one piece.
std::vector<char> ConvertAll(CWaveConvert& conv, const std::vector<char>& input) {
    std::vector<char> out(input.size() * 8 + 4096);
    unsigned long used = input.size();
    unsigned long produced = out.size();
    EXPECT_TRUE(conv.Convert(reinterpret_cast<const unsigned char*>(input.data()), used,
                             reinterpret_cast<unsigned char*>(out.data()), produced));
    EXPECT_EQ(used, input.size());
    out.resize(produced);
    return out;
}

std::vector<char> ConvertFresh(const Format& from, const std::vector<char>& input) {
    CWaveConvert conv;
    EXPECT_TRUE(conv.Open(from.channels, from.rate, from.bits, 1, 8000, 16));
    return ConvertAll(conv, input);
}

// Everything the mixer made of source 0 so far: the delivered master frames
// followed by the bytes still staged.
std::vector<char> MasterStream(MixSink& sink, CMixer& mixer, std::size_t frames) {
    EXPECT_TRUE(sink.WaitFor(frames));
    std::vector<char> all;
    for (const MixOut& out : sink.Outs()) {
        all.insert(all.end(), out.master.begin(), out.master.end());
    }
    const auto* rec = MixerTestAccess::Record(mixer, 0);
    all.insert(all.end(), rec->StagedData(), rec->StagedData() + rec->StagedBytes());
    return all;
}

const Format kMono16k{1, 16000, 16};
const Format kStereo11k{2, 11025, 16};

TEST(MixerConversion, OddSizedChunksLoseNothing) {
    const std::vector<char> input = Sine16(kMono16k, 0.5, 700.0, 9000.0);
    const std::vector<char> expected = ConvertFresh(kMono16k, input);

    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    // Chunks of 7 bytes split samples; every odd byte waits for the next chunk.
    for (std::size_t pos = 0; pos < input.size(); pos += 7) {
        const int len = static_cast<int>(std::min<std::size_t>(7, input.size() - pos));
        ASSERT_TRUE(mixer.AddFrame(0, input.data() + pos, len, 1, 16000, 16, nullptr));
    }
    EXPECT_EQ(MasterStream(sink, mixer, expected.size() / kFrame), expected);
}

// A switch drains the old converter into the stream first, so nothing it
// held back is lost.
TEST(MixerConversion, FormatChangesKeepStagedBytesAndReopenOnlyOnAChange) {
    const std::vector<char> a = Sine16(kMono16k, 0.1, 500.0, 8000.0);
    const std::vector<char> b = Sine16(kMono16k, 0.1, 500.0, 8000.0, 1600);
    const std::vector<char> c = Sine16(kStereo11k, 0.1, 300.0, 5000.0);
    const std::vector<char> direct = Pack16(std::vector<std::int64_t>(50, 1234));

    // Expected: a and b through one stream (no reopen between them), c
    // through a fresh one, a again through a fresh one.
    std::vector<char> expected = direct;
    {
        CWaveConvert conv;
        ASSERT_TRUE(conv.Open(1, 16000, 16, 1, 8000, 16));
        const std::vector<char> ab1 = ConvertAll(conv, a);
        const std::vector<char> ab2 = ConvertAll(conv, b);
        const std::vector<char> abTail = FlushAll(conv);
        expected.insert(expected.end(), ab1.begin(), ab1.end());
        expected.insert(expected.end(), ab2.begin(), ab2.end());
        expected.insert(expected.end(), abTail.begin(), abTail.end());
    }
    {
        CWaveConvert conv;
        ASSERT_TRUE(conv.Open(2, 11025, 16, 1, 8000, 16));
        const std::vector<char> cOut = ConvertAll(conv, c);
        const std::vector<char> cTail = FlushAll(conv);
        expected.insert(expected.end(), cOut.begin(), cOut.end());
        expected.insert(expected.end(), cTail.begin(), cTail.end());
    }
    const std::vector<char> aOut = ConvertFresh(kMono16k, a);  // its tail is still held back
    expected.insert(expected.end(), aOut.begin(), aOut.end());

    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    auto feed = [&mixer](const std::vector<char>& block, const Format& f) {
        return mixer.AddFrame(0, block.data(), static_cast<int>(block.size()), f.channels, f.rate,
                              f.bits, nullptr);
    };
    ASSERT_TRUE(feed(direct, Format{1, 8000, 16}));  // 100 bytes staged first
    ASSERT_TRUE(feed(a, kMono16k));
    ASSERT_TRUE(feed(b, kMono16k));
    ASSERT_TRUE(feed(c, kStereo11k));
    ASSERT_TRUE(feed(a, kMono16k));
    EXPECT_EQ(MasterStream(sink, mixer, expected.size() / kFrame), expected);
}

TEST(MixerConversion, ConvertedSineKeepsItsFrequencyAndLevel) {
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    const Format stereo44{2, 44100, 16};
    const std::vector<char> tone = Sine16(stereo44, 1.0, 1000.0, 10000.0);
    const std::vector<char> silence(16000, 0);
    ASSERT_TRUE(
        mixer.AddFrame(1, tone.data(), static_cast<int>(tone.size()), 2, 44100, 16, nullptr));
    ASSERT_TRUE(mixer.AddFrame(0, silence.data(), 16000, 1, 8000, 16, nullptr));
    ASSERT_TRUE(sink.WaitFor(50));

    std::vector<std::int64_t> mixed;
    for (const MixOut& out : sink.Outs()) {
        const std::vector<std::int64_t> s = Unpack(out.mix, 2);
        mixed.insert(mixed.end(), s.begin(), s.end());
    }
    // Skip the resampler's start-up and measure 0.5 s.
    const std::vector<std::int64_t> window(mixed.begin() + 800, mixed.begin() + 4800);
    double energy = 0;
    int crossings = 0;
    for (std::size_t i = 0; i < window.size(); ++i) {
        energy += static_cast<double>(window[i]) * static_cast<double>(window[i]);
        if (i > 0 && (window[i - 1] < 0) != (window[i] < 0)) {
            ++crossings;
        }
    }
    const double rms = std::sqrt(energy / static_cast<double>(window.size()));
    EXPECT_NEAR(20 * std::log10(rms / (10000.0 / std::sqrt(2.0))), 0.0, 0.5);
    EXPECT_NEAR(crossings, 1000, 4);  // 500 periods in 0.5 s, two crossings each
}

}  // namespace
