// End-to-end tests of carovel-mix: each test writes its inputs, runs the
// built binary and checks the files it wrote.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>

#include "tool_harness.h"

namespace carovel_test {
namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWav24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
constexpr int kWavU8 = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;

// Sum of left-justified samples clamped to a `bits` wide range.
std::int32_t ClampedSum(std::int64_t a, std::int64_t b, unsigned bits) {
    const std::int64_t step = std::int64_t{1} << (32 - bits);
    const std::int64_t sum = (a / step + b / step) * step;
    const std::int64_t top = (std::int64_t{std::numeric_limits<std::int32_t>::max()} / step) * step;
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(), top));
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Mixing real files

TEST(MixToolExamples, MixHasTheMastersLengthAndTheMixingFormat) {
    ScratchDir dir;
    const std::string clips = CAROVEL_EXAMPLE_AUDIO;
    const RunResult run = RunMix(
        {"--length", "master", "-o", dir.Path("mix.wav"), "--master-out", dir.Path("master.wav"),
         clips + "/voice.wav", clips + "/beat.aiff", clips + "/pads.flac", clips + "/bass.flac"});
    ASSERT_EQ(run.status, 0) << run.err;

    const Audio voice = ReadAudio(clips + "/voice.wav");
    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    EXPECT_EQ(mix.rate, 8000);
    EXPECT_EQ(mix.channels, 1);
    EXPECT_EQ(mix.format, kWav16);
    EXPECT_EQ(mix.Frames(), voice.Frames());
    EXPECT_NE(mix.samples, voice.samples);  // the other sources are in it
    // The master track comes back unchanged: it is already in the mixing format.
    EXPECT_EQ(ReadAudio(dir.Path("master.wav")).samples, voice.samples);

    EXPECT_TRUE(Contains(run.out, clips + "/pads.flac")) << run.out;
    EXPECT_TRUE(Contains(run.out, "FLAC 44100 Hz stereo 24-bit")) << run.out;
    EXPECT_TRUE(Contains(run.out, "225 x 20 ms")) << run.out;
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(MixToolExamples, MixingFormatOptionsSetTheOutputFormat) {
    ScratchDir dir;
    const std::string clips = CAROVEL_EXAMPLE_AUDIO;
    const RunResult run =
        RunMix({"-q", "--rate", "16000", "--channels", "2", "--bits", "24", "--frame-ms", "10",
                "-o", dir.Path("mix.flac"), clips + "/voice.wav", clips + "/bass.flac"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.empty());
    const Audio mix = ReadAudio(dir.Path("mix.flac"));
    EXPECT_EQ(mix.rate, 16000);
    EXPECT_EQ(mix.channels, 2);
    EXPECT_EQ(mix.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(mix.Frames(), 2 * ReadAudio(clips + "/voice.wav").Frames());
}

// ---------------------------------------------------------------------------
// Sample-exact sums

class MixToolWidths : public ::testing::TestWithParam<std::pair<int, unsigned>> {};

TEST_P(MixToolWidths, MasterPlusItsCopyMixesToTheClampedDouble) {
    const auto [subtype, bits] = GetParam();
    ScratchDir dir;
    // 1234 frames: not a whole number of 20 ms frames, so the last one is partial.
    const std::vector<std::int32_t> noise = Noise(2 * 1234, bits, 7);
    WriteAudio(dir.Path("in.wav"), SF_FORMAT_WAV | subtype, 8000, 2, noise);
    const RunResult run =
        RunMix({"-o", dir.Path("mix.wav"), dir.Path("in.wav"), dir.Path("in.wav")});
    ASSERT_EQ(run.status, 0) << run.err;

    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    ASSERT_EQ(mix.samples.size(), noise.size());
    std::size_t clamped = 0;
    for (std::size_t i = 0; i < noise.size(); ++i) {
        ASSERT_EQ(mix.samples[i], ClampedSum(noise[i], noise[i], bits)) << "sample " << i;
        clamped += std::abs(std::int64_t{noise[i]}) >= (std::int64_t{1} << 30) ? 1 : 0;
    }
    EXPECT_GT(clamped, noise.size() / 4);  // the noise does reach the clamp
}

INSTANTIATE_TEST_SUITE_P(Widths, MixToolWidths,
                         ::testing::Values(std::make_pair(SF_FORMAT_PCM_U8, 8u),
                                           std::make_pair(SF_FORMAT_PCM_16, 16u),
                                           std::make_pair(SF_FORMAT_PCM_24, 24u),
                                           std::make_pair(SF_FORMAT_PCM_32, 32u)));

TEST(MixToolSums, WithLengthMasterShortSourceEndsLongSourceIsCutAndGainScales) {
    ScratchDir dir;
    const std::vector<std::int32_t> master = Noise(1000, 16, 1);
    std::vector<std::int32_t> shorter = Noise(400, 16, 2);
    std::vector<std::int32_t> longer = Noise(3000, 16, 3);
    for (auto* v : {&shorter, &longer}) {
        for (auto& s : *v) {
            s = (s >> 18) * 65536;  // quiet enough that nothing clips
        }
    }
    WriteAudio(dir.Path("m.wav"), kWav16, 8000, 1, master);
    WriteAudio(dir.Path("s.wav"), kWav16, 8000, 1, shorter);
    WriteAudio(dir.Path("l.wav"), kWav16, 8000, 1, longer);
    const RunResult run =
        RunMix({"--length", "master", "--gain", "2=0.5", "-o", dir.Path("mix.wav"),
                dir.Path("m.wav"), dir.Path("s.wav"), dir.Path("l.wav")});
    ASSERT_EQ(run.status, 0) << run.err;

    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    ASSERT_EQ(mix.Frames(), master.size());
    for (std::size_t i = 0; i < master.size(); ++i) {
        // The gain is applied in the mix: the whole sum is rounded once,
        // halves away from zero, not the halved source on its own.
        double sum = (master[i] >> 16) + (longer[i] >> 16) * 0.5;
        sum += i < shorter.size() ? shorter[i] >> 16 : 0;
        const auto expected = std::clamp<std::int64_t>(std::llround(sum), -32768, 32767);
        ASSERT_EQ(mix.samples[i] >> 16, expected) << "frame " << i;
    }
}

TEST(MixToolSums, FloatMasterIsMixedAtSixteenBits) {
    ScratchDir dir;
    WriteFloatAudio(dir.Path("f.wav"), 8000, 1, std::vector<float>(800, 0.25f));
    WriteAudio(dir.Path("i.wav"), kWav16, 8000, 1, std::vector<std::int32_t>(800, 1000 << 16));
    const RunResult run = RunMix({"-o", dir.Path("mix.wav"), dir.Path("f.wav"), dir.Path("i.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    EXPECT_EQ(mix.format, kWav16);
    EXPECT_EQ(mix.samples, std::vector<std::int32_t>(800, (8192 + 1000) << 16));
    EXPECT_TRUE(Contains(run.out, "WAV 8000 Hz mono float")) << run.out;
}

// ---------------------------------------------------------------------------
// Conversion

// Frequency from rising zero crossings and level from the RMS.
struct ToneMeasure {
    double hz;
    double rmsDbfs;
};

ToneMeasure MeasureTone(const std::vector<std::int32_t>& s, int rate) {
    double firstCross = -1.0;
    double lastCross = -1.0;
    int crossings = 0;
    double squares = 0.0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const double a = s[i - 1];
        const double b = s[i];
        squares += b * b;
        if (a < 0.0 && b >= 0.0) {
            const double at = static_cast<double>(i - 1) + a / (a - b);
            firstCross = firstCross < 0.0 ? at : firstCross;
            lastCross = at;
            ++crossings;
        }
    }
    const double rms = std::sqrt(squares / static_cast<double>(s.size() - 1)) / 2147483648.0;
    return {(crossings - 1) * rate / (lastCross - firstCross), 20.0 * std::log10(rms)};
}

TEST(MixToolConversion, StereoToneAt44100KeepsItsFrequencyAndLevelInAn8kMonoMaster) {
    ScratchDir dir;
    WriteAudio(dir.Path("silence.wav"), kWav16, 8000, 1, std::vector<std::int32_t>(16000, 0));
    // 440 Hz at -12 dBFS peak (-15 dBFS RMS) on both channels.
    WriteAudio(dir.Path("tone.wav"), kWav24, 44100, 2, Sine(440.0, 0.25, 44100, 2, 88200));
    const RunResult run =
        RunMix({"-o", dir.Path("mix.wav"), dir.Path("silence.wav"), dir.Path("tone.wav")});
    ASSERT_EQ(run.status, 0) << run.err;

    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    ASSERT_EQ(mix.Frames(), 16000u);
    // Skip the first and last quarter second, where a resampler may settle.
    const std::vector<std::int32_t> middle(mix.samples.begin() + 2000, mix.samples.end() - 2000);
    const ToneMeasure tone = MeasureTone(middle, 8000);
    EXPECT_NEAR(tone.hz, 440.0, 0.5);
    EXPECT_NEAR(tone.rmsDbfs, 20.0 * std::log10(0.25 / std::sqrt(2.0)), 0.5);
}

TEST(MixToolConversion, HighRatesMixAndTheMixingRateReachesThem) {
    ScratchDir dir;
    WriteAudio(dir.Path("m48.wav"), kWav16, 48000, 2, std::vector<std::int32_t>(2 * 48000, 0));
    // 1 kHz at -12 dBFS peak on both channels, at 96 kHz.
    WriteAudio(dir.Path("s96.wav"), kWav24, 96000, 2, Sine(1000.0, 0.25, 96000, 2, 96000));
    RunResult run = RunMix({"-o", dir.Path("x.wav"), dir.Path("m48.wav"), dir.Path("s96.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio mix = ReadAudio(dir.Path("x.wav"));
    EXPECT_EQ(mix.rate, 48000);
    ASSERT_EQ(mix.Frames(), 48000u);
    std::vector<std::int32_t> left;
    for (std::size_t i = 4000; i + 4000 < mix.Frames(); ++i) {
        left.push_back(mix.samples[2 * i]);
    }
    const ToneMeasure tone = MeasureTone(left, 48000);
    EXPECT_NEAR(tone.hz, 1000.0, 0.5);
    EXPECT_NEAR(tone.rmsDbfs, 20.0 * std::log10(0.25 / std::sqrt(2.0)), 0.2);
    for (const char* rate : {"96000", "192000"}) {
        run = RunMix(
            {"--rate", rate, "-o", dir.Path("y.wav"), dir.Path("m48.wav"), dir.Path("s96.wav")});
        ASSERT_EQ(run.status, 0) << run.err;
        const Audio y = ReadAudio(dir.Path("y.wav"));
        EXPECT_EQ(y.rate, std::atoi(rate));
        EXPECT_EQ(y.Frames(), static_cast<std::size_t>(std::atoi(rate)));
    }
}

TEST(MixToolConversion, AMasterWhere20MsIsNotWholeSamplesMixesWithNoOption) {
    ScratchDir dir;
    WriteAudio(dir.Path("m11.wav"), kWav16, 11025, 1, Sine(440.0, 0.25, 11025, 1, 11025));
    const RunResult run = RunMix({"-o", dir.Path("mix.wav"), dir.Path("m11.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    EXPECT_EQ(mix.rate, 11025);
    EXPECT_EQ(mix.Frames(), 11025u);
}

TEST(MixToolConversion, AFloatSourceBeyondFullScaleIsNamedInAWarning) {
    ScratchDir dir;
    WriteAudio(dir.Path("m.wav"), kWav16, 8000, 1, std::vector<std::int32_t>(800, 0));
    std::vector<float> loud(800, 0.5f);
    loud[100] = 2.0f;
    loud[200] = -3.0f;
    WriteFloatAudio(dir.Path("loud.wav"), 8000, 1, loud);
    const RunResult run =
        RunMix({"-o", dir.Path("mix.wav"), dir.Path("m.wav"), dir.Path("loud.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "loud.wav")) << run.err;
    EXPECT_TRUE(Contains(run.err, "2 samples lie beyond full scale (peak +9.5 dBFS)")) << run.err;
}

TEST(MixToolConversion, FloatOutputMixesInFloatAndKeepsAFloatSourcesHeadroom) {
    ScratchDir dir;
    WriteAudio(dir.Path("m.wav"), kWav16, 48000, 1, std::vector<std::int32_t>(4800, 0));
    // A 1 kHz sine at +6 dBFS (peak 2.0) and an integer source at 0.25.
    std::vector<float> loud(4800);
    for (std::size_t i = 0; i < loud.size(); ++i) {
        loud[i] = static_cast<float>(
            2.0 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 48000.0));
    }
    WriteFloatAudio(dir.Path("loud.wav"), 48000, 1, loud);
    WriteAudio(dir.Path("quarter.wav"), kWav16, 48000, 1,
               std::vector<std::int32_t>(4800, 8192 << 16));
    const RunResult run =
        RunMix({"--encoding", "float", "-o", dir.Path("mix.wav"), dir.Path("m.wav"),
                dir.Path("loud.wav"), dir.Path("quarter.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(Contains(run.err, "beyond full scale")) << run.err;
    SF_INFO info{};
    SNDFILE* file = sf_open(dir.Path("mix.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> mix(static_cast<std::size_t>(info.frames));
    sf_read_float(file, mix.data(), info.frames);
    sf_close(file);
    ASSERT_EQ(mix.size(), loud.size());
    float peak = 0.0f;
    for (std::size_t i = 0; i < mix.size(); ++i) {
        ASSERT_NEAR(mix[i], loud[i] + 0.25f, 1e-6f) << i;
        peak = std::max(peak, std::fabs(mix[i]));
    }
    EXPECT_NEAR(peak, 2.25f, 1e-3f);
    EXPECT_TRUE(Contains(run.out, "48000 Hz mono float")) << run.out;
}

TEST(MixToolConversion, SourcesSharingARateAreMixedThereAndConvertedOnceToTheSameResult) {
    ScratchDir dir;
    // Three mono voices at 16 kHz into a 48 kHz stereo mix, one delayed,
    // one faded with a gain; the mix, the master track and a mix-minus
    // output.
    WriteAudio(dir.Path("m.wav"), kWav16, 16000, 1, Sine(300.0, 0.3, 16000, 1, 32000));
    WriteAudio(dir.Path("a.wav"), kWav16, 16000, 1, Sine(1000.0, 0.3, 16000, 1, 24000));
    WriteAudio(dir.Path("b.wav"), kWav16, 16000, 1, Sine(2500.0, 0.3, 16000, 1, 16000));
    const std::vector<std::string> common = {"--rate",
                                             "48000",
                                             "--channels",
                                             "2",
                                             "--delay",
                                             "2=0.25",
                                             "--gain",
                                             "1=0.5",
                                             "--fade",
                                             "1=0.1:0.2",
                                             "-o",
                                             dir.Path("@.wav"),
                                             "--minus-out",
                                             "1=" + dir.Path("@-minus.wav"),
                                             "--master-out",
                                             dir.Path("@-master.wav"),
                                             dir.Path("m.wav"),
                                             dir.Path("a.wav"),
                                             dir.Path("b.wav")};
    const auto run = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = extra;
        for (std::string arg : common) {
            const auto at = arg.find('@');
            if (at != std::string::npos) {
                arg.replace(at, 1, name);
            }
            args.push_back(arg);
        }
        return RunMix(args);
    };
    const RunResult once = run("once", {});
    const RunResult each = run("each", {"--convert-each"});
    ASSERT_EQ(once.status, 0) << once.err;
    ASSERT_EQ(each.status, 0) << each.err;
    EXPECT_TRUE(Contains(once.out, "mixed at 16000 Hz, the sources' rate, and converted once"))
        << once.out;
    EXPECT_FALSE(Contains(each.out, "converted once")) << each.out;
    for (const char* output : {".wav", "-minus.wav", "-master.wav"}) {
        const Audio a = ReadAudio(dir.Path(std::string("once") + output));
        const Audio b = ReadAudio(dir.Path(std::string("each") + output));
        EXPECT_EQ(a.rate, 48000);
        EXPECT_EQ(a.channels, 2);
        ASSERT_EQ(a.Frames(), 96000u) << output;
        ASSERT_EQ(b.Frames(), a.Frames()) << output;
        // Equal within rounding (the two resamplers' filters differ far below
        // the 16-bit step in these tones' band), except within 5 ms of where
        // a source starts or stops abruptly (b at 0.25 and 1.25 s): a source
        // converted alone is cut there, while the converted mix keeps the
        // filter's ringing around the step.
        std::int64_t worst = 0;
        for (std::size_t i = 0; i < a.samples.size(); ++i) {
            const double t = static_cast<double>(i / 2) / 48000.0;
            if (std::fabs(t - 0.25) < 0.005 || std::fabs(t - 1.25) < 0.005) {
                continue;
            }
            worst = std::max(worst, std::abs(std::int64_t{a.samples[i]} - b.samples[i]) >> 16);
        }
        EXPECT_LE(worst, 3) << output;
    }

    // A mix that clips says the same either way: the samples of the stereo
    // output, and the peak of its sum at the output's rate.
    std::vector<std::int32_t> square(8000);
    for (std::size_t i = 0; i < square.size(); ++i) {
        square[i] = (i / 20 % 2 == 0 ? 30000 : -30000) * 65536;
    }
    WriteAudio(dir.Path("sq.wav"), kWav16, 8000, 1, square);
    std::string warnings[2];
    for (int each = 0; each < 2; ++each) {
        std::vector<std::string> args = {"-q",
                                         "--rate",
                                         "16000",
                                         "--channels",
                                         "2",
                                         "-o",
                                         dir.Path("clip.wav"),
                                         dir.Path("sq.wav"),
                                         dir.Path("sq.wav")};
        if (each == 1) {
            args.insert(args.begin(), "--convert-each");
        }
        const RunResult clip = RunMix(args);
        ASSERT_EQ(clip.status, 0) << clip.err;
        warnings[each] = clip.err;
    }
    EXPECT_TRUE(Contains(warnings[0], " of 32000 samples clipped")) << warnings[0];
    EXPECT_TRUE(Contains(warnings[0], "the sum peaked at +")) << warnings[0];
    EXPECT_EQ(warnings[0], warnings[1]);

    // A source at another rate: each source is converted.
    WriteAudio(dir.Path("c.wav"), kWav16, 8000, 1, Sine(500.0, 0.3, 8000, 1, 8000));
    const RunResult mixed = RunMix(
        {"--rate", "48000", "-o", dir.Path("mixed.wav"), dir.Path("m.wav"), dir.Path("c.wav")});
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_FALSE(Contains(mixed.out, "converted once")) << mixed.out;
}

TEST(MixToolConversion, GroupsOfSourcesAtAnotherRateAreSubmixedThereToTheSameResult) {
    ScratchDir dir;
    // A 48 kHz master; two 16 kHz voices (one delayed by a quarter second,
    // whole at every rate here, with a gain), two 44.1 kHz stereo beds (one
    // panned, one faded), and a 16 kHz voice with a mix-minus output, which
    // the mixer must have on its own.
    struct Input {
        const char* name;
        int rate;
        int channels;
        double hz;
        double seconds;
    };
    const Input inputs[] = {{"m.wav", 48000, 2, 200.0, 2.0},   {"a1.wav", 16000, 1, 700.0, 1.5},
                            {"a2.wav", 16000, 1, 1300.0, 1.0}, {"b1.wav", 44100, 2, 450.0, 1.8},
                            {"b2.wav", 44100, 2, 3100.0, 1.2}, {"c.wav", 16000, 1, 900.0, 1.0}};
    std::vector<std::string> paths;
    for (const Input& in : inputs) {
        paths.push_back(dir.Path(in.name));
        WriteAudio(paths.back(), kWav16, in.rate, in.channels,
                   Sine(in.hz, 0.15, in.rate, in.channels,
                        static_cast<std::size_t>(in.seconds * in.rate)));
    }
    const auto run = [&](const std::string& name, bool each) {
        std::vector<std::string> args = {"--delay",     "2=0.25",
                                         "--gain",      "2=0.5",
                                         "--pan",       "3=-0.5",
                                         "--fade",      "4=0.2:0.3",
                                         "-o",          dir.Path(name + ".wav"),
                                         "--minus-out", "5=" + dir.Path(name + "-minus.wav")};
        if (each) {
            args.insert(args.begin(), "--convert-each");
        }
        args.insert(args.end(), paths.begin(), paths.end());
        return RunMix(args);
    };
    const RunResult grouped = run("grouped", false);
    const RunResult each = run("each", true);
    ASSERT_EQ(grouped.status, 0) << grouped.err;
    ASSERT_EQ(each.status, 0) << each.err;
    EXPECT_TRUE(Contains(grouped.out,
                         "sources 1, 2 mixed at 16000 Hz, their rate, and converted once to 48000"))
        << grouped.out;
    EXPECT_TRUE(Contains(grouped.out,
                         "sources 3, 4 mixed at 44100 Hz, their rate, and converted once to 48000"))
        << grouped.out;
    EXPECT_FALSE(Contains(each.out, "converted once")) << each.out;
    // Every source keeps its row, with its delay in seconds.
    EXPECT_EQ(grouped.out.substr(0, grouped.out.find("output")),
              each.out.substr(0, each.out.find("output")));
    EXPECT_TRUE(Contains(grouped.out, "0.25 s")) << grouped.out;

    // Equal within rounding, away from where a source starts or stops
    // abruptly (see the test above).
    const double edges[] = {0.0, 0.25, 1.25, 1.5, 1.8, 1.2, 1.0, 2.0};
    // The largest difference of two stereo 48 kHz outputs in 16-bit steps,
    // and the first one's peak, away from the edges.
    const auto compare = [&edges](const Audio& a, const Audio& b) {
        std::int64_t worst = 0;
        std::int64_t peak = 0;
        for (std::size_t i = 0; i < std::min(a.samples.size(), b.samples.size()); ++i) {
            const double t = static_cast<double>(i / 2) / 48000.0;
            if (std::any_of(std::begin(edges), std::end(edges),
                            [t](double edge) { return std::fabs(t - edge) < 0.005; })) {
                continue;
            }
            worst = std::max(worst, std::abs(std::int64_t{a.samples[i]} - b.samples[i]) >> 16);
            peak = std::max(peak, std::abs(std::int64_t{a.samples[i]}) >> 16);
        }
        return std::make_pair(worst, peak);
    };
    for (const char* output : {".wav", "-minus.wav"}) {
        const Audio a = ReadAudio(dir.Path(std::string("grouped") + output));
        const Audio b = ReadAudio(dir.Path(std::string("each") + output));
        ASSERT_EQ(a.channels, 2);
        ASSERT_EQ(a.Frames(), 96000u) << output;
        ASSERT_EQ(b.Frames(), a.Frames()) << output;
        const auto [worst, peak] = compare(a, b);
        EXPECT_LE(worst, 3) << output;
        EXPECT_GT(peak, 10000) << output;  // the sources are in it
    }

    // Where the master ends the mix, the submix goes no further: its
    // sources are read and measured as far as the mix goes, as when each is
    // converted (here their louder part comes after the master's end).
    std::vector<std::int32_t> late = Sine(600.0, 0.01, 44100, 2, 44100 * 3);
    for (std::size_t i = 2 * 44100; i < late.size(); ++i) {
        late[i] *= 50;
    }
    WriteAudio(dir.Path("late1.wav"), kWav16, 44100, 2, late);
    WriteAudio(dir.Path("late2.wav"), kWav16, 44100, 2, late);
    WriteAudio(dir.Path("short.wav"), kWav16, 48000, 2, Sine(200.0, 0.1, 48000, 2, 24000));
    const std::vector<std::string> masterLength = {"--length",
                                                   "master",
                                                   "-o",
                                                   dir.Path("ml.wav"),
                                                   dir.Path("short.wav"),
                                                   dir.Path("late1.wav"),
                                                   dir.Path("late2.wav")};
    std::vector<std::string> masterEach = masterLength;
    masterEach.insert(masterEach.begin(), "--convert-each");
    masterEach[4] = dir.Path("ml-each.wav");
    const RunResult ml = RunMix(masterLength);
    const RunResult mlEach = RunMix(masterEach);
    ASSERT_EQ(ml.status, 0) << ml.err;
    ASSERT_EQ(mlEach.status, 0) << mlEach.err;
    EXPECT_TRUE(Contains(ml.out, "sources 1, 2 mixed at 44100 Hz")) << ml.out;
    EXPECT_EQ(ml.out.substr(0, ml.out.find("output")),
              mlEach.out.substr(0, mlEach.out.find("output")));

    // Without room for a temporary file the sources go in one by one, as
    // with --convert-each (the mix kept its headroom, so within rounding),
    // and a warning says so.
    const RunResult noTemp =
        RunShell("TMPDIR=" + dir.Path("missing") + " \"$CAROVEL_MIX\" -q -o " +
                 dir.Path("notemp.wav") + " " + paths[0] + " " + paths[3] + " " + paths[4]);
    const RunResult eachAgain =
        RunMix({"-q", "--convert-each", "-o", dir.Path("each2.wav"), paths[0], paths[3], paths[4]});
    ASSERT_EQ(noTemp.status, 0) << noTemp.err;
    ASSERT_EQ(eachAgain.status, 0) << eachAgain.err;
    EXPECT_TRUE(Contains(noTemp.err, "sources 1, 2 converted one by one")) << noTemp.err;
    const Audio a = ReadAudio(dir.Path("notemp.wav"));
    const Audio b = ReadAudio(dir.Path("each2.wav"));
    ASSERT_EQ(a.samples.size(), b.samples.size());
    EXPECT_LE(compare(a, b).first, 3);
}

TEST(MixToolConversion, OfflineAndRealtimeGiveTheSameMix) {
    ScratchDir dir;
    WriteAudio(dir.Path("m.wav"), kWav16, 8000, 1, Noise(6000, 16, 11));
    WriteAudio(dir.Path("a.wav"), kWavU8, 16000, 1, Noise(16000, 8, 12));
    WriteAudio(dir.Path("b.wav"), kWav24, 44100, 2, Sine(1000.0, 0.5, 44100, 2, 40000));
    const std::vector<std::string> inputs = {dir.Path("m.wav"), dir.Path("a.wav"),
                                             dir.Path("b.wav")};
    std::vector<std::string> offline = {"-o", dir.Path("offline.wav")};
    std::vector<std::string> realtime = {"--realtime", "-o", dir.Path("realtime.wav")};
    offline.insert(offline.end(), inputs.begin(), inputs.end());
    realtime.insert(realtime.end(), inputs.begin(), inputs.end());

    const RunResult a = RunMix(offline);
    const RunResult b = RunMix(realtime);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    const Audio fast = ReadAudio(dir.Path("offline.wav"));
    EXPECT_EQ(fast.Frames(), 8000u);  // a.wav, the longest, lasts a second
    EXPECT_EQ(fast.samples, ReadAudio(dir.Path("realtime.wav")).samples);
}

// A source far below the mixing rate: its resampler holds back about half a
// second, yet the source is mixed from its start to its end without a gap,
// offline (steps of a second) and in real time alike.
TEST(MixToolConversion, ASourceAtALowRateIsMixedWithoutAGap) {
    ScratchDir dir;
    WriteAudio(dir.Path("m.wav"), kWav16, 48000, 1, std::vector<std::int32_t>(96000, 0));
    const std::int32_t level = 10000 << 16;  // left-justified
    WriteAudio(dir.Path("low.wav"), kWav16, 2000, 1, std::vector<std::int32_t>(4000, level));
    for (const std::string mode : {"offline", "realtime"}) {
        std::vector<std::string> args = {"-q", "-o", dir.Path(mode + ".wav"), dir.Path("m.wav"),
                                         dir.Path("low.wav")};
        if (mode == "realtime") {
            args.insert(args.begin(), "--realtime");
        }
        const RunResult run = RunMix(args);
        ASSERT_EQ(run.status, 0) << mode << ": " << run.err;
    }
    const std::vector<std::int32_t> mix = ReadAudio(dir.Path("offline.wav")).samples;
    ASSERT_EQ(mix.size(), 96000u);
    // The resampler's edges aside (a few of its 2 kHz samples at either end),
    // every sample carries the source's level.
    std::size_t off = 0;
    for (std::size_t i = 480; i + 480 < mix.size(); ++i) {
        off += std::abs(mix[i] / 65536 - 10000) > 100 ? 1 : 0;
    }
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(ReadAudio(dir.Path("realtime.wav")).samples, mix);
}

// ---------------------------------------------------------------------------
// Errors: a clear message naming the file, a non-zero status, no output.

struct ErrorCase {
    const char* name;
    std::vector<std::string> args;  // "@x" is replaced by the scratch path of x
    int status;
    std::vector<std::string> messageParts;
};

class MixToolErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(MixToolErrors, FailsClearlyAndLeavesNoOutput) {
    ScratchDir dir;
    std::ofstream(dir.Path("text.wav")) << "this is not audio\n";
    WriteAudio(dir.Path("ok.wav"), kWav16, 8000, 1, Noise(4000, 16, 5));
    WriteAudio(dir.Path("hires.wav"), kWav16, 800000, 2, Noise(9600, 16, 6));
    WriteAudio(dir.Path("ok44.wav"), kWav16, 44100, 1, Noise(4410, 16, 6));
    std::ofstream(dir.Path("old.wav")) << "previous contents";
    const auto before = dir.List();

    std::vector<std::string> args = GetParam().args;
    for (auto& arg : args) {
        if (arg[0] == '@') {
            arg = dir.Path(arg.substr(1));
        }
    }
    const RunResult run = RunMix(args);
    EXPECT_EQ(run.status, GetParam().status);
    for (const auto& part : GetParam().messageParts) {
        EXPECT_TRUE(Contains(run.err, part[0] == '@' ? dir.Path(part.substr(1)) : part))
            << "'" << part << "' missing from: " << run.err;
    }
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), GetParam().status == 2 ? 2 : 1)
        << run.err;
    auto after = dir.List();
    std::sort(after.begin(), after.end());
    auto expected = before;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(after, expected);  // nothing new, not even a temporary file
    EXPECT_EQ(ReadText(dir.Path("old.wav")), "previous contents");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MixToolErrors,
    ::testing::Values(
        ErrorCase{"MissingMaster",
                  {"-o", "@mix.wav", "@nothing.wav"},
                  1,
                  {"@nothing.wav", "No such file or directory"}},
        ErrorCase{"MissingSource",
                  {"-o", "@mix.wav", "@ok.wav", "@gone.flac"},
                  1,
                  {"@gone.flac", "No such file or directory"}},
        ErrorCase{"NotAudio",
                  {"-o", "@mix.wav", "@ok.wav", "@text.wav"},
                  1,
                  {"@text.wav", "unsupported audio format"}},
        ErrorCase{"RateTooHigh",
                  {"-o", "@mix.wav", "@ok.wav", "@hires.wav"},
                  1,
                  {"@hires.wav", "800000 Hz"}},
        ErrorCase{"FrameNotWholeSamples",
                  {"--frame-ms", "7", "-o", "@mix.wav", "@ok44.wav"},
                  1,
                  {"7 ms", "44100 Hz", "not a whole number of samples"}},
        ErrorCase{"FrameTooLong",
                  {"--frame-ms", "10000", "--rate", "768000", "--channels", "20", "--bits", "32",
                   "-o", "@mix.wav", "@ok.wav"},
                  1,
                  {"614400000 bytes", "67108864"}},
        ErrorCase{"OutputDirectoryMissing",
                  {"-o", "@no/dir/mix.wav", "@ok.wav"},
                  1,
                  {"@no/dir/mix.wav", "No such file or directory"}},
        ErrorCase{"MasterOutFailsAfterMixIsCreated",
                  {"-o", "@old.wav", "--master-out", "@no/master.wav", "@ok.wav"},
                  1,
                  {"@no/master.wav", "No such file or directory"}},
        ErrorCase{"UnknownOutputType",
                  {"-o", "@mix.xyz", "@ok.wav"},
                  2,
                  {"@mix.xyz", "cannot tell the type", ".flac", "--type"}},
        ErrorCase{"FormatTheContainerCannotHold",
                  {"--bits", "32", "-o", "@mix.flac", "@ok.wav"},
                  1,
                  {"@mix.flac", "cannot hold 8000 Hz mono 32-bit"}},
        ErrorCase{"NoOutputGiven", {"@ok.wav"}, 2, {"no output file"}},
        ErrorCase{"DryRunWithABadType", {"-n", "--type", "bogus", "@ok.wav"}, 2, {"--type"}},
        ErrorCase{"BadGain", {"--gain", "3=0.5", "-o", "@mix.wav", "@ok.wav"}, 2, {"source 3"}}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

}  // namespace
}  // namespace carovel_test
