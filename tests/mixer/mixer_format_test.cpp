// The mixer and the converter at rates above 65535 Hz and with 32-bit float
// samples, through the calls taking an AudioFormat: alignment of resampled
// sources (an impulse lands within one sample of its time), a float mix's
// headroom, and float sources clamped and counted in an integer mix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "carovel/carovel.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"

namespace {

using _Carovel::AudioFormat;
using _Carovel::CMixer;
using _Carovel::CWaveConvert;
using _Carovel::SampleType;
using _Carovel::SourceStats;
using _Carovel::Status;
using carovel_test::MixOut;
using carovel_test::MixSink;
using carovel_test::Pack16;
using carovel_test::Unpack;

std::vector<char> Floats(const std::vector<float>& v) {
    std::vector<char> bytes(v.size() * 4);
    std::memcpy(bytes.data(), v.data(), bytes.size());
    return bytes;
}

std::vector<float> ToFloats(const std::vector<char>& bytes) {
    std::vector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

// Runs every pass a host-driven mixer has and returns the concatenated mix.
std::vector<char> AllMix(CMixer& mixer, MixSink& sink) {
    while (mixer.MixPending(1000) > 0) {
    }
    std::vector<char> all;
    for (const MixOut& out : sink.Outs()) {
        all.insert(all.end(), out.mix.begin(), out.mix.end());
    }
    return all;
}

// The index of the largest magnitude.
template <class T>
std::size_t PeakAt(const std::vector<T>& v) {
    std::size_t at = 0;
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (std::fabs(static_cast<double>(v[i])) > std::fabs(static_cast<double>(v[at]))) {
            at = i;
        }
    }
    return at;
}

// A mono 16-bit source at sourceRate with an impulse at `seconds`, mixed
// with a silent master into a mono 16-bit mix at mixRate: the impulse must
// come out within one sample of the same time.
void ExpectImpulseAligned(std::uint32_t sourceRate, std::uint32_t mixRate) {
    SCOPED_TRACE("source " + std::to_string(sourceRate) + " Hz into " + std::to_string(mixRate) +
                 " Hz");
    const AudioFormat mixFormat{mixRate, 1, SampleType::kS16};
    const unsigned long frameBytes = mixRate / 100 * 2;  // 10 ms
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.OpenManual(mixFormat, frameBytes, &MixSink::Callback, &sink));
    const double seconds = 0.3;
    const std::vector<char> master(static_cast<std::size_t>(mixRate) * 2, 0);  // 1 s of silence
    ASSERT_TRUE(
        mixer.AddFrame(0, master.data(), static_cast<int>(master.size()), mixFormat, nullptr));
    std::vector<std::int64_t> source(sourceRate / 2, 0);  // 0.5 s
    const auto impulseAt = static_cast<std::size_t>(std::lround(seconds * sourceRate));
    source[impulseAt] = 30000;
    const std::vector<char> bytes = Pack16(source);
    ASSERT_TRUE(mixer.AddFrame(1, bytes.data(), static_cast<int>(bytes.size()),
                               AudioFormat{sourceRate, 1, SampleType::kS16}, nullptr));
    ASSERT_TRUE(mixer.FlushSource(1, nullptr));
    const std::vector<std::int64_t> mix = Unpack(AllMix(mixer, sink), 2);
    ASSERT_GT(mix.size(), static_cast<std::size_t>(seconds * mixRate) + 10);
    const std::size_t want = static_cast<std::size_t>(std::lround(seconds * mixRate));
    const std::size_t got = PeakAt(mix);
    EXPECT_LE(got, want + 1);
    EXPECT_GE(got + 1, want);
    // The impulse, not noise: downsampling spreads it over rate ratio samples.
    EXPECT_GT(static_cast<double>(std::llabs(mix[got])),
              30000.0 * std::min(1.0, static_cast<double>(mixRate) / sourceRate) / 2);
    mixer.Close();
}

TEST(MixerFormats, SourcesAtHighRatesAreAlignedWithinOneSample) {
    ExpectImpulseAligned(96000, 48000);
    ExpectImpulseAligned(192000, 48000);
    ExpectImpulseAligned(48000, 96000);
    ExpectImpulseAligned(44100, 192000);
    ExpectImpulseAligned(768000, 48000);
}

TEST(MixerFormats, FloatMixKeepsAFloatSourceAboveFullScale) {
    // A +6 dBFS float sine (peak 2.0) and an integer source at half scale:
    // the float mix keeps the peak near 2.5 and counts nothing as clipped.
    const AudioFormat mixFormat{48000, 1, SampleType::kF32};
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.OpenManual(mixFormat, 480 * 4, &MixSink::Callback, &sink));
    std::vector<float> loud(4800);
    for (std::size_t i = 0; i < loud.size(); ++i) {
        loud[i] = static_cast<float>(2.0 * std::sin(2 * M_PI * 1000.0 * i / 48000.0));
    }
    const std::vector<char> loudBytes = Floats(loud);
    ASSERT_TRUE(mixer.AddFrame(0, loudBytes.data(), static_cast<int>(loudBytes.size()), mixFormat,
                               nullptr));
    const std::vector<std::int64_t> half(4800, 16384);  // 0.5 exactly
    const std::vector<char> halfBytes = Pack16(half);
    ASSERT_TRUE(mixer.AddFrame(1, halfBytes.data(), static_cast<int>(halfBytes.size()),
                               AudioFormat{48000, 1, SampleType::kS16}, nullptr));
    const std::vector<float> mix = ToFloats(AllMix(mixer, sink));
    ASSERT_EQ(mix.size(), loud.size());
    for (std::size_t i = 0; i < mix.size(); ++i) {
        ASSERT_NEAR(mix[i], loud[i] + 0.5f, 1e-6f) << i;
    }
    EXPECT_NEAR(mix[PeakAt(mix)], 2.5f, 1e-3f);
    SourceStats stats;
    ASSERT_TRUE(mixer.GetSourceStats(0, stats));
    EXPECT_EQ(stats.clippedSamples, 0u);
    EXPECT_NEAR(stats.peakDbfs, 20 * std::log10(2.0), 0.01);  // the level above full scale
}

TEST(MixerFormats, FloatSourceIntoAnIntegerMixIsClampedAndCounted) {
    const AudioFormat mixFormat{48000, 2, SampleType::kS16};
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.OpenManual(mixFormat, 960 * 2, &MixSink::Callback, &sink));
    const std::vector<char> master(48000 / 10 * 4, 0);
    ASSERT_TRUE(
        mixer.AddFrame(0, master.data(), static_cast<int>(master.size()), mixFormat, nullptr));
    // Stereo float at +6 dBFS: every sample beyond +-1.0 is clamped.
    std::vector<float> loud(4800 * 2);
    std::uint64_t beyond = 0;
    for (std::size_t i = 0; i < loud.size(); ++i) {
        loud[i] = static_cast<float>(2.0 * std::sin(2 * M_PI * 440.0 * (i / 2) / 48000.0));
        beyond += std::fabs(loud[i]) > 1.0f ? 1 : 0;
    }
    const std::vector<char> bytes = Floats(loud);
    ASSERT_TRUE(mixer.AddFrame(1, bytes.data(), static_cast<int>(bytes.size()),
                               AudioFormat{48000, 2, SampleType::kF32}, nullptr));
    const std::vector<std::int64_t> mix = Unpack(AllMix(mixer, sink), 2);
    ASSERT_EQ(mix.size(), loud.size());
    for (std::size_t i = 0; i < mix.size(); ++i) {
        const double want =
            std::clamp(std::round(static_cast<double>(loud[i]) * 32768.0), -32768.0, 32767.0);
        ASSERT_NEAR(static_cast<double>(mix[i]), want, 1.0) << i;
    }
    SourceStats stats;
    ASSERT_TRUE(mixer.GetSourceStats(1, stats));
    EXPECT_GT(beyond, 1000u);
    EXPECT_EQ(stats.clippedSamples, beyond);
}

TEST(MixerFormats, OpenAndAddFrameRefuseWhatTheFormatCannotBe) {
    MixSink sink;
    CMixer mixer;
    EXPECT_FALSE(
        mixer.OpenManual(AudioFormat{768001, 1, SampleType::kS16}, 2, &MixSink::Callback, &sink));
    EXPECT_EQ(mixer.LastStatus(), Status::kUnsupportedFormat);
    EXPECT_FALSE(
        mixer.OpenManual(AudioFormat{0, 1, SampleType::kS16}, 2, &MixSink::Callback, &sink));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    EXPECT_FALSE(mixer.OpenManual(AudioFormat{48000, 1, static_cast<SampleType>(9)}, 4,
                                  &MixSink::Callback, &sink));
    EXPECT_EQ(mixer.LastStatus(), Status::kUnsupportedFormat);
    EXPECT_FALSE(mixer.OpenManual(AudioFormat{48000, 2, SampleType::kF32}, 12, &MixSink::Callback,
                                  &sink));  // a block and a half
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    ASSERT_TRUE(mixer.OpenManual(AudioFormat{768000, 2, SampleType::kF32}, 768 * 8,
                                 &MixSink::Callback, &sink));
    const std::vector<char> block(64, 0);
    EXPECT_FALSE(
        mixer.AddFrame(1, block.data(), 64, AudioFormat{800000, 1, SampleType::kS16}, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kUnsupportedFormat);
    EXPECT_TRUE(
        mixer.AddFrame(1, block.data(), 64, AudioFormat{8000, 1, SampleType::kU8}, nullptr));
}

// The converter between the usual rates and 96 or 192 kHz, both ways: an
// impulse comes out within one sample of its time, and the whole stream
// gives ceil(blocks * dst / src) blocks.
TEST(ConvertFormats, HighRatesConvertAlignedBothWays) {
    const std::uint32_t rates[][2] = {{96000, 48000}, {192000, 48000}, {48000, 96000},
                                      {44100, 96000}, {192000, 44100}, {8000, 192000},
                                      {96000, 192000}};
    for (const auto& pair : rates) {
        const std::uint32_t from = pair[0];
        const std::uint32_t to = pair[1];
        SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
        CWaveConvert conv;
        ASSERT_TRUE(conv.Open(AudioFormat{from, 1, SampleType::kS24},
                              AudioFormat{to, 1, SampleType::kF32}));
        std::vector<std::int64_t> in(from / 5, 0);  // 200 ms
        in[from / 10] = 4000000;                    // at 100 ms, about -6 dBFS
        const std::vector<char> bytes = carovel_test::Pack(in, 3);
        std::vector<char> out(bytes.size() / 3 * 4 * (to / from + 2) + 4096);
        unsigned long used = bytes.size();
        unsigned long produced = out.size();
        ASSERT_TRUE(conv.Convert(reinterpret_cast<const unsigned char*>(bytes.data()), used,
                                 reinterpret_cast<unsigned char*>(out.data()), produced));
        ASSERT_EQ(used, bytes.size());
        unsigned long flushed = out.size() - produced;
        ASSERT_TRUE(conv.Flush(reinterpret_cast<unsigned char*>(out.data()) + produced, flushed));
        out.resize(produced + flushed);
        const std::vector<float> v = ToFloats(out);
        const std::uint64_t wantBlocks = (std::uint64_t{in.size()} * to + from - 1) / from;
        EXPECT_EQ(v.size(), wantBlocks);
        const std::size_t at = PeakAt(v);
        const std::size_t want = to / 10;
        EXPECT_LE(at, want + 1);
        EXPECT_GE(at + 1, want);
    }
}

TEST(ConvertFormats, FloatToFloatKeepsHeadroomAndFloatToIntegerClamps) {
    // A 2.0-peak sine at 96 kHz into 48 kHz float stays near 2.0; into
    // 16-bit it clamps at full scale.
    std::vector<float> in(9600);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<float>(2.0 * std::sin(2 * M_PI * 1000.0 * i / 96000.0));
    }
    const std::vector<char> bytes = Floats(in);
    for (const SampleType type : {SampleType::kF32, SampleType::kS16}) {
        CWaveConvert conv;
        ASSERT_TRUE(
            conv.Open(AudioFormat{96000, 1, SampleType::kF32}, AudioFormat{48000, 1, type}));
        std::vector<char> out(bytes.size());
        unsigned long used = bytes.size();
        unsigned long produced = out.size();
        ASSERT_TRUE(conv.Convert(reinterpret_cast<const unsigned char*>(bytes.data()), used,
                                 reinterpret_cast<unsigned char*>(out.data()), produced));
        ASSERT_EQ(used, bytes.size());
        out.resize(produced);
        if (type == SampleType::kF32) {
            const std::vector<float> v = ToFloats(out);
            EXPECT_NEAR(std::fabs(v[PeakAt(v)]), 2.0, 0.01);
        } else {
            const std::vector<std::int64_t> v = Unpack(out, 2);
            EXPECT_GE(std::llabs(v[PeakAt(v)]), 32767);  // clamped at full scale
        }
    }
    // Equal float formats: a copy, bit for bit.
    CWaveConvert same;
    ASSERT_TRUE(same.Open(AudioFormat{96000, 1, SampleType::kF32},
                          AudioFormat{96000, 1, SampleType::kF32}));
    std::vector<char> out(bytes.size());
    unsigned long used = bytes.size();
    unsigned long produced = out.size();
    ASSERT_TRUE(same.Convert(reinterpret_cast<const unsigned char*>(bytes.data()), used,
                             reinterpret_cast<unsigned char*>(out.data()), produced));
    EXPECT_EQ(out, bytes);
    // 5.1 float at 2.0 on every channel folded into stereo float: each side
    // weighs its front, the centre and its surround to a sum of 1, so it
    // keeps 2.0, above full scale.
    CWaveConvert fold;
    ASSERT_TRUE(fold.Open(AudioFormat{48000, 6, SampleType::kF32},
                          AudioFormat{48000, 2, SampleType::kF32}));
    const std::vector<char> six = Floats(std::vector<float>(6 * 100, 2.0f));
    std::vector<char> two(2 * 100 * 4);
    used = six.size();
    produced = two.size();
    ASSERT_TRUE(fold.Convert(reinterpret_cast<const unsigned char*>(six.data()), used,
                             reinterpret_cast<unsigned char*>(two.data()), produced));
    ASSERT_EQ(produced, two.size());
    for (const float v : ToFloats(two)) {
        ASSERT_NEAR(v, 2.0f, 1e-5f);
    }
    // Formats the converter cannot take.
    CWaveConvert bad;
    EXPECT_FALSE(bad.Open(AudioFormat{768001, 1, SampleType::kF32},
                          AudioFormat{48000, 1, SampleType::kF32}));
    EXPECT_EQ(bad.LastStatus(), Status::kUnsupportedFormat);
}

}  // namespace
