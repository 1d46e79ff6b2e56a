// End-to-end tests of carovel-mix's options for call-recording and podcast
// jobs: length, delays, panning, pipes, output types, safety checks, warnings
// and signals. Each test writes its inputs, runs the built binary and checks
// what it wrote against samples the test computes itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "tool_harness.h"

namespace carovel_test {
namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// 16-bit sample values of left-justified samples.
std::vector<int> To16(const std::vector<std::int32_t>& samples) {
    std::vector<int> out;
    out.reserve(samples.size());
    for (const auto s : samples) {
        out.push_back(s >> 16);
    }
    return out;
}

std::vector<std::int32_t> From16(const std::vector<int>& values) {
    std::vector<std::int32_t> out;
    out.reserve(values.size());
    for (const int v : values) {
        out.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << 16));
    }
    return out;
}

// Noise at most `peak` in magnitude, as 16-bit values.
std::vector<int> QuietNoise(std::size_t count, std::uint32_t seed, int peak = 8000) {
    std::vector<int> values;
    for (const auto s : Noise(count, 16, seed)) {
        values.push_back((s >> 16) % (peak + 1));
    }
    return values;
}

void Write16(const std::string& path, int rate, int channels, const std::vector<int>& values) {
    WriteAudio(path, kWav16, rate, channels, From16(values));
}

// Position-by-position sum of mono 16-bit tracks, as long as the longest,
// clamped to the 16-bit range.
std::vector<int> ClampedSum(const std::vector<std::vector<int>>& tracks) {
    std::size_t length = 0;
    for (const auto& t : tracks) {
        length = std::max(length, t.size());
    }
    std::vector<int> sum(length, 0);
    for (std::size_t i = 0; i < length; ++i) {
        long total = 0;
        for (const auto& t : tracks) {
            total += i < t.size() ? t[i] : 0;
        }
        sum[i] = static_cast<int>(std::clamp(total, -32768L, 32767L));
    }
    return sum;
}

// Rounds half away from zero.
int RoundAway(double v) {
    return static_cast<int>(std::round(v));
}

// ---------------------------------------------------------------------------
// --length

TEST(MixToolLength, ByDefaultTheMixLastsUntilTheLongestSourceEnds) {
    ScratchDir dir;
    // A caller leg of 6.8 s and an agent leg of 12.8 s.
    const auto caller = QuietNoise(54400, 1);
    const auto agent = QuietNoise(102400, 2);
    Write16(dir.Path("caller.wav"), 8000, 1, caller);
    Write16(dir.Path("agent.wav"), 8000, 1, agent);
    const RunResult run =
        RunMix({"-o", dir.Path("call.wav"), dir.Path("caller.wav"), dir.Path("agent.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    const Audio mix = ReadAudio(dir.Path("call.wav"));
    ASSERT_EQ(mix.Frames(), agent.size());
    EXPECT_EQ(To16(mix.samples), ClampedSum({caller, agent}));
    EXPECT_TRUE(Contains(run.out, "12.80 s")) << run.out;
}

TEST(MixToolLength, MasterAndShortestCutTheMixWhereTheySay) {
    ScratchDir dir;
    const auto master = QuietNoise(1000, 3);
    const auto longer = QuietNoise(3000, 4);
    const auto shorter = QuietNoise(400, 5);
    Write16(dir.Path("m.wav"), 8000, 1, master);
    Write16(dir.Path("l.wav"), 8000, 1, longer);
    Write16(dir.Path("s.wav"), 8000, 1, shorter);
    const std::vector<int> all = ClampedSum({master, longer, shorter});
    const std::map<std::string, std::size_t> lengths = {
        {"longest", 3000}, {"master", 1000}, {"shortest", 400}};
    for (const auto& [length, frames] : lengths) {
        const RunResult run = RunMix({"-q", "--length", length, "-o", dir.Path(length + ".wav"),
                                      dir.Path("m.wav"), dir.Path("l.wav"), dir.Path("s.wav")});
        ASSERT_EQ(run.status, 0) << length << ": " << run.err;
        const Audio mix = ReadAudio(dir.Path(length + ".wav"));
        ASSERT_EQ(mix.Frames(), frames) << length;
        EXPECT_EQ(To16(mix.samples), std::vector<int>(all.begin(), all.begin() + frames)) << length;
    }
    EXPECT_EQ(RunMix({"--length", "first", "-o", dir.Path("x.wav"), dir.Path("m.wav")}).status, 2);
}

// ---------------------------------------------------------------------------
// --delay: a click in every source at a known time lands on the sample
// llround((delay + time) * rate) of the mix.

class MixToolDelay : public ::testing::TestWithParam<int> {};

TEST_P(MixToolDelay, ClicksLandOnTheSampleTheirDelaysName) {
    const int rate = GetParam();
    ScratchDir dir;
    struct Leg {
        double delay;
        double clickAt;
        int amplitude;
    };
    // The master is delayed too; source 2 is not.
    const std::vector<Leg> legs = {{0.25, 0.1, 1000}, {1.0, 0.05, 2000}, {0.0, 0.3, 3000}};
    const auto length = static_cast<std::size_t>(rate / 2);  // half a second each
    std::vector<std::string> args = {"-o", dir.Path("mix.wav")};
    std::vector<std::string> files;
    std::size_t mixLength = 0;
    std::vector<std::pair<std::size_t, int>> clicks;
    for (std::size_t i = 0; i < legs.size(); ++i) {
        std::vector<int> values(length, 0);
        const auto at = static_cast<std::size_t>(std::llround(legs[i].clickAt * rate));
        values[at] = legs[i].amplitude;
        const std::string file = dir.Path("leg" + std::to_string(i) + ".wav");
        Write16(file, rate, 1, values);
        files.push_back(file);
        if (legs[i].delay != 0.0) {
            char text[64];
            std::snprintf(text, sizeof text, "%zu=%g", i, legs[i].delay);
            args.insert(args.begin(), {"--delay", text});
        }
        const auto delay = static_cast<std::size_t>(std::llround(legs[i].delay * rate));
        mixLength = std::max(mixLength, delay + length);
        clicks.emplace_back(delay + at, legs[i].amplitude);
    }
    args.insert(args.end(), files.begin(), files.end());
    const RunResult run = RunMix(args);
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<int> expected(mixLength, 0);
    for (const auto& [at, amplitude] : clicks) {
        expected[at] += amplitude;
    }
    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    EXPECT_EQ(mix.rate, rate);
    ASSERT_EQ(mix.Frames(), mixLength);
    const std::vector<int> got = To16(mix.samples);
    for (const auto& [at, amplitude] : clicks) {
        EXPECT_EQ(got[at], amplitude) << "click expected at sample " << at;
    }
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Rates, MixToolDelay, ::testing::Values(8000, 16000, 44100, 48000));

TEST(MixToolDelayConverted, AResampledClickLandsWithinASampleOfItsDelayedTime) {
    ScratchDir dir;
    Write16(dir.Path("master.wav"), 8000, 1, std::vector<int>(8000, 0));
    std::vector<int> click(48000, 0);
    click[9600] = 30000;  // 0.2 s at 48 kHz
    Write16(dir.Path("click48k.wav"), 48000, 1, click);
    const RunResult run = RunMix({"-q", "--delay", "1=0.3125", "-o", dir.Path("mix.wav"),
                                  dir.Path("master.wav"), dir.Path("click48k.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<int> got = To16(ReadAudio(dir.Path("mix.wav")).samples);
    ASSERT_EQ(got.size(), 8000u + 2500u);  // the source ends 1.3125 s in
    const auto peak = std::max_element(got.begin(), got.end(),
                                       [](int a, int b) { return std::abs(a) < std::abs(b); });
    const long at = std::distance(got.begin(), peak);
    EXPECT_NEAR(at, std::llround((0.3125 + 0.2) * 8000), 1);
    EXPECT_GT(std::abs(*peak), 2000);
}

// ---------------------------------------------------------------------------
// --pan

TEST(MixToolPan, CallerLeftAgentRightPutsEachAloneInItsChannel) {
    ScratchDir dir;
    const auto caller = QuietNoise(3000, 6, 32767);
    const auto agent = QuietNoise(5000, 7, 32767);
    Write16(dir.Path("caller.wav"), 8000, 1, caller);
    Write16(dir.Path("agent.wav"), 8000, 1, agent);
    const RunResult run = RunMix({"--pan", "0=left", "--pan", "1=right", "-o", dir.Path("call.wav"),
                                  dir.Path("caller.wav"), dir.Path("agent.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio mix = ReadAudio(dir.Path("call.wav"));
    ASSERT_EQ(mix.channels, 2);
    ASSERT_EQ(mix.Frames(), agent.size());
    const std::vector<int> got = To16(mix.samples);
    for (std::size_t i = 0; i < agent.size(); ++i) {
        ASSERT_EQ(got[2 * i], i < caller.size() ? caller[i] : 0) << "left, frame " << i;
        ASSERT_EQ(got[2 * i + 1], agent[i]) << "right, frame " << i;
    }
}

TEST(MixToolPan, CenterAndInBetweenPositionsAreEqualPower) {
    ScratchDir dir;
    const auto voice = QuietNoise(2000, 8, 32767);
    Write16(dir.Path("voice.wav"), 8000, 1, voice);
    const double pi = std::acos(-1.0);
    const std::map<std::string, std::pair<double, double>> positions = {
        {"center", {std::sqrt(0.5), std::sqrt(0.5)}},
        {"0.5", {std::cos(0.75 * pi / 2), std::sin(0.75 * pi / 2)}},
        {"-0.25", {std::cos(0.375 * pi / 2), std::sin(0.375 * pi / 2)}}};
    for (const auto& [position, gains] : positions) {
        const RunResult run = RunMix(
            {"-q", "--pan", "0=" + position, "-o", dir.Path("out.wav"), dir.Path("voice.wav")});
        ASSERT_EQ(run.status, 0) << position << ": " << run.err;
        const std::vector<int> got = To16(ReadAudio(dir.Path("out.wav")).samples);
        ASSERT_EQ(got.size(), 2 * voice.size()) << position;
        for (std::size_t i = 0; i < voice.size(); ++i) {
            ASSERT_EQ(got[2 * i], RoundAway(voice[i] * gains.first)) << position << " left " << i;
            ASSERT_EQ(got[2 * i + 1], RoundAway(voice[i] * gains.second))
                << position << " right " << i;
        }
    }
}

TEST(MixToolPan, AStereoSourceIsFoldedToMonoAndAnUnpannedMonoSourceFillsBothSides) {
    ScratchDir dir;
    const auto stereo = QuietNoise(2 * 1500, 9);
    const auto mono = QuietNoise(1500, 10);
    Write16(dir.Path("stereo.wav"), 8000, 2, stereo);
    Write16(dir.Path("mono.wav"), 8000, 1, mono);
    const RunResult run = RunMix({"-q", "--pan", "0=left", "-o", dir.Path("out.wav"),
                                  dir.Path("stereo.wav"), dir.Path("mono.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<int> got = To16(ReadAudio(dir.Path("out.wav")).samples);
    ASSERT_EQ(got.size(), 2 * mono.size());
    for (std::size_t i = 0; i < mono.size(); ++i) {
        const int folded = RoundAway((stereo[2 * i] + stereo[2 * i + 1]) / 2.0);
        ASSERT_EQ(got[2 * i], folded + mono[i]) << "left " << i;
        ASSERT_EQ(got[2 * i + 1], mono[i]) << "right " << i;
    }
}

TEST(MixToolPan, PanIntoAMonoMixIsAUsageError) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(100, 11));
    const RunResult run = RunMix(
        {"--pan", "0=left", "--channels", "1", "-o", dir.Path("out.wav"), dir.Path("a.wav")});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "stereo")) << run.err;
    const RunResult bad = RunMix({"--pan", "0=up", "-o", dir.Path("out.wav"), dir.Path("a.wav")});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Contains(bad.err, "'up'")) << bad.err;
    EXPECT_FALSE(std::ifstream(dir.Path("out.wav")).good());
}

// ---------------------------------------------------------------------------
// --gain, --limiter and --minus-out: the mixer's own per-source gains, limiter
// and mix-minus outputs.

// A gain as the mixer uses it: the nearest multiple of 1/65536.
double MixerGain(double gain) {
    return std::round(gain * 65536.0) / 65536.0;
}

int MixedSample(double sum) {
    return static_cast<int>(std::clamp<long long>(std::llround(sum), -32768, 32767));
}

TEST(MixToolGain, GainsAreAppliedInTheMixWithTheSumRoundedOnce) {
    ScratchDir dir;
    const auto a = QuietNoise(3000, 30, 12000);
    const auto b = QuietNoise(3000, 31, 12000);
    const auto c = QuietNoise(3000, 32, 12000);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    Write16(dir.Path("b.wav"), 8000, 1, b);
    Write16(dir.Path("c.wav"), 8000, 1, c);
    const RunResult run = RunMix({"--gain", "1=0.5", "--gain", "2=-6dB", "-o", dir.Path("mix.wav"),
                                  dir.Path("a.wav"), dir.Path("b.wav"), dir.Path("c.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const double gainC = MixerGain(std::pow(10.0, -6.0 / 20.0));
    const std::vector<int> got = To16(ReadAudio(dir.Path("mix.wav")).samples);
    ASSERT_EQ(got.size(), a.size());
    std::size_t roundedFirstDiffers = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int expected = MixedSample(a[i] + b[i] * 0.5 + c[i] * gainC);
        ASSERT_EQ(got[i], expected) << "sample " << i;
        const int roundedFirst =
            MixedSample(a[i] + std::round(b[i] * 0.5) + std::round(c[i] * gainC));
        roundedFirstDiffers += roundedFirst != expected ? 1 : 0;
    }
    // Rounding each source before mixing would have given other samples.
    EXPECT_GT(roundedFirstDiffers, 100u);
    EXPECT_TRUE(Contains(run.out, "gain dB")) << run.out;
    EXPECT_TRUE(Contains(run.out, "-6.0")) << run.out;

    const RunResult tooLoud = RunMix(
        {"--gain", "1=+30dB", "-o", dir.Path("x.wav"), dir.Path("a.wav"), dir.Path("b.wav")});
    EXPECT_EQ(tooLoud.status, 2);
    EXPECT_TRUE(Contains(tooLoud.err, "'+30dB'")) << tooLoud.err;
}

TEST(MixToolLimiter, QuietPartsPassUnchangedAndLoudOnesStayUnderTheCeiling) {
    ScratchDir dir;
    // A quiet second, then a second loud enough that the sum would clip.
    auto a = QuietNoise(8000, 33, 8000);
    auto b = QuietNoise(8000, 34, 8000);
    const auto loudA = QuietNoise(8000, 35, 30000);
    const auto loudB = QuietNoise(8000, 36, 30000);
    a.insert(a.end(), loudA.begin(), loudA.end());
    b.insert(b.end(), loudB.begin(), loudB.end());
    Write16(dir.Path("a.wav"), 8000, 1, a);
    Write16(dir.Path("b.wav"), 8000, 1, b);
    const RunResult run =
        RunMix({"--limiter", "-o", dir.Path("mix.wav"), dir.Path("a.wav"), dir.Path("b.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;  // nothing clipped, nothing to warn about
    const std::vector<int> got = To16(ReadAudio(dir.Path("mix.wav")).samples);
    ASSERT_EQ(got.size(), a.size());
    for (std::size_t i = 0; i < 8000; ++i) {
        ASSERT_EQ(got[i], a[i] + b[i]) << "quiet sample " << i;
    }
    const int ceiling = static_cast<int>(std::ceil(32767 * std::pow(10.0, -1.0 / 20.0)));
    int peak = 0;
    int wouldClip = 0;
    for (std::size_t i = 8000; i < got.size(); ++i) {
        peak = std::max(peak, std::abs(got[i]));
        wouldClip += std::abs(a[i] + b[i]) > 32767 ? 1 : 0;
    }
    ASSERT_GT(wouldClip, 100);
    EXPECT_LE(peak, ceiling);
    EXPECT_GT(peak, ceiling - 600);  // limited, not just turned down
}

TEST(MixToolMinusOut, EachSourceGetsTheMixOfTheOthersAlignedWithTheMix) {
    ScratchDir dir;
    const auto host = QuietNoise(4000, 37);
    const auto guest1 = QuietNoise(3000, 38);
    const auto guest2 = QuietNoise(2000, 39);
    Write16(dir.Path("host.wav"), 8000, 1, host);
    Write16(dir.Path("guest1.wav"), 8000, 1, guest1);
    Write16(dir.Path("guest2.wav"), 8000, 1, guest2);
    // guest1 starts 0.1 s (800 samples) late; guest2 at half level.
    const RunResult run =
        RunMix({"--delay", "1=0.1", "--gain", "2=0.5", "-o", dir.Path("mix.wav"), "--minus-out",
                "0=" + dir.Path("to-host.wav"), "--minus-out", "1=" + dir.Path("to-guest1.wav"),
                "--minus-out", "2=" + dir.Path("to-guest2.wav"), dir.Path("host.wav"),
                dir.Path("guest1.wav"), dir.Path("guest2.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::size_t length = 4000;
    const auto h = [&](std::size_t i) { return i < host.size() ? host[i] : 0; };
    const auto g1 = [&](std::size_t i) {
        return i >= 800 && i - 800 < guest1.size() ? guest1[i - 800] : 0;
    };
    const auto g2 = [&](std::size_t i) { return i < guest2.size() ? guest2[i] * 0.5 : 0.0; };
    const std::map<std::string, std::function<double(std::size_t)>> expected = {
        {"mix.wav", [&](std::size_t i) { return h(i) + g1(i) + g2(i); }},
        {"to-host.wav", [&](std::size_t i) { return g1(i) + g2(i); }},
        {"to-guest1.wav", [&](std::size_t i) { return h(i) + g2(i); }},
        {"to-guest2.wav", [&](std::size_t i) { return h(i) + g1(i); }}};
    for (const auto& [name, sum] : expected) {
        const std::vector<int> got = To16(ReadAudio(dir.Path(name)).samples);
        ASSERT_EQ(got.size(), length) << name;
        for (std::size_t i = 0; i < length; ++i) {
            ASSERT_EQ(got[i], MixedSample(sum(i))) << name << " sample " << i;
        }
    }
    EXPECT_TRUE(Contains(run.out, dir.Path("to-guest2.wav"))) << run.out;
}

TEST(MixToolMinusOut, OfflineAndRealtimeGiveTheSameMixMinus) {
    ScratchDir dir;
    WriteAudio(dir.Path("m.wav"), kWav16, 8000, 1, Noise(6000, 16, 40));
    WriteAudio(dir.Path("a.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 16000, 1, Noise(16000, 8, 41));
    WriteAudio(dir.Path("b.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 2,
               Sine(1000.0, 0.5, 44100, 2, 30000));
    for (const std::string mode : {"offline", "realtime"}) {
        std::vector<std::string> args = {"-q",
                                         "-o",
                                         dir.Path(mode + ".wav"),
                                         "--minus-out",
                                         "1=" + dir.Path(mode + "-minus1.wav"),
                                         dir.Path("m.wav"),
                                         dir.Path("a.wav"),
                                         dir.Path("b.wav")};
        if (mode == "realtime") {
            args.insert(args.begin(), "--realtime");
        }
        const RunResult run = RunMix(args);
        ASSERT_EQ(run.status, 0) << mode << ": " << run.err;
    }
    const Audio offline = ReadAudio(dir.Path("offline-minus1.wav"));
    EXPECT_EQ(offline.Frames(), 8000u);  // as long as the mix
    EXPECT_EQ(offline.samples, ReadAudio(dir.Path("realtime-minus1.wav")).samples);
    EXPECT_EQ(ReadAudio(dir.Path("offline.wav")).samples,
              ReadAudio(dir.Path("realtime.wav")).samples);
}

// ---------------------------------------------------------------------------
// Standard input and output

class MixToolPipes : public ::testing::Test {
  protected:
    void SetUp() override {
        a = QuietNoise(4000, 12);
        b = QuietNoise(6000, 13);
        Write16(dir.Path("a.wav"), 8000, 1, a);
        Write16(dir.Path("b.wav"), 8000, 1, b);
    }
    std::string Quoted(const std::string& name) const { return "'" + dir.Path(name) + "'"; }

    ScratchDir dir;
    std::vector<int> a;
    std::vector<int> b;
};

TEST_F(MixToolPipes, StandardInputFromAPipeAndStandardOutputIntoAPipe) {
    // WAV through cat into carovel-mix, WAV out of it through cat.
    const RunResult run = RunShell("cat " + Quoted("b.wav") + " | \"$CAROVEL_MIX\" -q -o - " +
                                   Quoted("a.wav") + " - | cat > " + Quoted("piped.wav"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_EQ(To16(ReadAudio(dir.Path("piped.wav")).samples), ClampedSum({a, b}));
}

TEST_F(MixToolPipes, SoxWritesTheInputAndReadsTheOutput) {
    // FLAC from sox on standard input (the master), read back by sox.
    const RunResult run =
        RunShell("sox " + Quoted("a.wav") + " -t flac - | \"$CAROVEL_MIX\" -q -o - - " +
                 Quoted("b.wav") + " | sox -V1 -t wav - " + Quoted("sox.wav"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(To16(ReadAudio(dir.Path("sox.wav")).samples), ClampedSum({a, b}));
}

TEST_F(MixToolPipes, StandardOutputRedirectedToAFileGetsACompleteHeader) {
    const RunResult run = RunMix({"--type", "au", "-o", "-", dir.Path("a.wav"), dir.Path("b.wav")},
                                 {"", dir.Path("out.au"), false});
    ASSERT_EQ(run.status, 0) << run.err;
    // The summary goes to standard error when standard output carries audio.
    EXPECT_TRUE(Contains(run.err, "standard output")) << run.err;
    const Audio out = ReadAudio(dir.Path("out.au"));
    EXPECT_EQ(out.format & SF_FORMAT_TYPEMASK, SF_FORMAT_AU);
    EXPECT_EQ(To16(out.samples), ClampedSum({a, b}));
}

TEST_F(MixToolPipes, StandardInputIsReadOnlyOnce) {
    const RunResult run = RunMix({"-o", dir.Path("x.wav"), "-", "-"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "standard input")) << run.err;
}

TEST_F(MixToolPipes, FilesAfterADoubleDashMayStartWithADash) {
    Write16(dir.Path("-b.wav"), 8000, 1, b);
    const std::string cd = "cd '" + dir.Path("") + "' && \"$CAROVEL_MIX\" -q -o mix.wav ";
    // Without "--" a name starting with a dash is an unknown option.
    const RunResult refused = RunShell(cd + "a.wav -b.wav");
    EXPECT_EQ(refused.status, 2);
    const RunResult run = RunShell(cd + "-- a.wav -b.wav");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(To16(ReadAudio(dir.Path("mix.wav")).samples), ClampedSum({a, b}));
    // "--" as the last word adds nothing.
    EXPECT_EQ(RunShell(cd + "a.wav --").status, 0);
}

// ---------------------------------------------------------------------------
// --type and --encoding

class MixToolEncodings : public ::testing::Test {
  protected:
    void SetUp() override {
        a = QuietNoise(3000, 14);
        b = QuietNoise(2000, 15);
        Write16(dir.Path("a.wav"), 8000, 1, a);
        Write16(dir.Path("b.wav"), 8000, 1, b);
        sum = ClampedSum({a, b});
    }
    RunResult Mix(std::vector<std::string> options, const std::string& out) {
        options.insert(options.end(),
                       {"-q", "-o", dir.Path(out), dir.Path("a.wav"), dir.Path("b.wav")});
        return RunMix(options);
    }

    ScratchDir dir;
    std::vector<int> a;
    std::vector<int> b;
    std::vector<int> sum;
};

TEST_F(MixToolEncodings, TypeChoosesTheContainerWhereTheNameCannotTell) {
    ASSERT_EQ(Mix({"--type", "au"}, "mix.dat").status, 0);
    const Audio au = ReadAudio(dir.Path("mix.dat"));
    EXPECT_EQ(au.format, SF_FORMAT_AU | SF_FORMAT_PCM_16);
    EXPECT_EQ(To16(au.samples), sum);

    ASSERT_EQ(Mix({"--type", "raw"}, "mix.bin").status, 0);
    const std::string raw = ReadBytes(dir.Path("mix.bin"));
    ASSERT_EQ(raw.size(), 2 * sum.size());
    for (std::size_t i = 0; i < sum.size(); ++i) {
        const auto lo = static_cast<unsigned char>(raw[2 * i]);
        const auto hi = static_cast<unsigned char>(raw[2 * i + 1]);
        ASSERT_EQ(static_cast<std::int16_t>(lo | (hi << 8)), sum[i]) << "sample " << i;
    }
}

TEST_F(MixToolEncodings, FloatHoldsTheSumsExactly) {
    ASSERT_EQ(Mix({"--encoding", "float"}, "mix.wav").status, 0);
    SF_INFO info{};
    SNDFILE* file = sf_open(dir.Path("mix.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::vector<float> values(static_cast<std::size_t>(info.frames));
    sf_read_float(file, values.data(), info.frames);
    sf_close(file);
    ASSERT_EQ(values.size(), sum.size());
    for (std::size_t i = 0; i < sum.size(); ++i) {
        ASSERT_EQ(values[i], static_cast<float>(sum[i]) / 32768.0f) << "sample " << i;
    }
}

TEST_F(MixToolEncodings, MuLawAndALawMatchTheCodecAppliedToTheSum) {
    for (const auto& [name, subtype] :
         std::map<std::string, int>{{"ulaw", SF_FORMAT_ULAW}, {"alaw", SF_FORMAT_ALAW}}) {
        ASSERT_EQ(Mix({"--encoding", name}, name + ".wav").status, 0) << name;
        const Audio got = ReadAudio(dir.Path(name + ".wav"));
        EXPECT_EQ(got.format, SF_FORMAT_WAV | subtype) << name;
        // The expected sum through the same codec.
        WriteAudio(dir.Path("expected-" + name + ".wav"), SF_FORMAT_WAV | subtype, 8000, 1,
                   From16(sum));
        EXPECT_EQ(got.samples, ReadAudio(dir.Path("expected-" + name + ".wav")).samples) << name;
    }
}

TEST_F(MixToolEncodings, BadTypesAndEncodingsAreRefused) {
    const RunResult type = Mix({"--type", "mp9"}, "x.wav");
    EXPECT_EQ(type.status, 2);
    EXPECT_TRUE(Contains(type.err, "'mp9'")) << type.err;
    const RunResult encoding = Mix({"--encoding", "dsd"}, "x.wav");
    EXPECT_EQ(encoding.status, 2);
    EXPECT_TRUE(Contains(encoding.err, "'dsd'")) << encoding.err;
    const RunResult flacFloat = Mix({"--encoding", "float"}, "x.flac");
    EXPECT_EQ(flacFloat.status, 1);
    EXPECT_TRUE(Contains(flacFloat.err, "cannot hold float")) << flacFloat.err;
    for (const auto& name : dir.List()) {
        EXPECT_TRUE(name == "a.wav" || name == "b.wav") << name << " was left behind";
    }
}

// ---------------------------------------------------------------------------
// Safety: an output that is an input, or a file that may not be replaced, is
// refused before anything is written; every file stays byte for byte.

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;  // "@x" is replaced by the scratch path of x
    std::string stdinFile;          // scratch name, or empty
    std::string appendStdoutTo;     // scratch name, or empty
    std::string messagePart;
};

class MixToolRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(MixToolRefusals, RefusesAndLeavesEveryFileAsItWas) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(800, 16));
    Write16(dir.Path("b.wav"), 8000, 1, QuietNoise(900, 17));
    Write16(dir.Path("ro.wav"), 8000, 1, QuietNoise(100, 18));
    chmod(dir.Path("ro.wav").c_str(), 0444);
    ASSERT_EQ(link(dir.Path("a.wav").c_str(), dir.Path("hard.wav").c_str()), 0);
    ASSERT_EQ(symlink(dir.Path("a.wav").c_str(), dir.Path("sym.wav").c_str()), 0);
    ASSERT_EQ(symlink(dir.Path("ro.wav").c_str(), dir.Path("rolink.wav").c_str()), 0);
    ASSERT_EQ(mkdir(dir.Path("dir.wav").c_str(), 0755), 0);
    std::map<std::string, std::string> before;
    for (const auto& name : dir.List()) {
        before[name] = ReadBytes(dir.Path(name));
    }

    const RefusalCase& c = GetParam();
    std::vector<std::string> args = c.args;
    for (auto& arg : args) {
        const std::size_t at = arg.find('@');
        if (at == 0 || (at != std::string::npos && arg[at - 1] == '=')) {
            arg = arg.substr(0, at) + dir.Path(arg.substr(at + 1));
        }
    }
    Redirect redirect;
    if (!c.stdinFile.empty()) {
        redirect.stdinPath = dir.Path(c.stdinFile);
    }
    if (!c.appendStdoutTo.empty()) {
        redirect.stdoutPath = dir.Path(c.appendStdoutTo);
        redirect.appendStdout = true;
    }
    const RunResult run = RunMix(args, redirect);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, c.messagePart)) << run.err;

    std::map<std::string, std::string> after;
    for (const auto& name : dir.List()) {
        after[name] = ReadBytes(dir.Path(name));
    }
    EXPECT_EQ(after, before);  // no file changed, none added
    struct stat st {};
    ASSERT_EQ(stat(dir.Path("ro.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MixToolRefusals,
    ::testing::Values(
        RefusalCase{"OutputIsTheMaster", {"-o", "@a.wav", "@a.wav", "@b.wav"}, "", "", "input"},
        RefusalCase{"OutputIsASource", {"-o", "@b.wav", "@a.wav", "@b.wav"}, "", "", "source 1"},
        RefusalCase{
            "OutputSpelledOtherwise", {"-o", "@./a.wav", "@a.wav", "@b.wav"}, "", "", "input"},
        RefusalCase{
            "OutputIsAHardLinkToAnInput", {"-o", "@hard.wav", "@a.wav", "@b.wav"}, "", "", "input"},
        RefusalCase{"OutputIsASymbolicLinkToAnInput",
                    {"-o", "@sym.wav", "@a.wav", "@b.wav"},
                    "",
                    "",
                    "input"},
        RefusalCase{"MasterOutIsAnInput",
                    {"-o", "@mix.wav", "--master-out", "@b.wav", "@a.wav", "@b.wav"},
                    "",
                    "",
                    "input"},
        RefusalCase{"MinusOutIsAnInput",
                    {"-o", "@mix.wav", "--minus-out", "1=@a.wav", "@a.wav", "@b.wav"},
                    "",
                    "",
                    "the master"},
        RefusalCase{"OutputIsStandardInput",
                    {"-o", "@a.wav", "-", "@b.wav"},
                    "a.wav",
                    "",
                    "standard input"},
        RefusalCase{"StandardOutputAppendsToAnInput",
                    {"-o", "-", "@a.wav", "@b.wav"},
                    "",
                    "a.wav",
                    "standard output"},
        RefusalCase{"OutputIsReadOnly", {"-o", "@ro.wav", "@a.wav", "@b.wav"}, "", "", "read-only"},
        RefusalCase{"OutputLinksToAReadOnlyFile",
                    {"-o", "@rolink.wav", "@a.wav", "@b.wav"},
                    "",
                    "",
                    "read-only"},
        RefusalCase{
            "OutputIsADirectory", {"-o", "@dir.wav", "@a.wav", "@b.wav"}, "", "", "directory"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(MixToolSafety, AnOutputThroughASymbolicLinkReplacesTheFileItPointsTo) {
    ScratchDir dir;
    const auto a = QuietNoise(500, 19);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    Write16(dir.Path("old.wav"), 8000, 1, QuietNoise(50, 20));
    chmod(dir.Path("old.wav").c_str(), 0640);
    ASSERT_EQ(symlink("old.wav", dir.Path("link.wav").c_str()), 0);
    const RunResult run = RunMix({"-q", "-o", dir.Path("link.wav"), dir.Path("a.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(lstat(dir.Path("link.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(dir.Path("old.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file's permissions are kept
    EXPECT_EQ(To16(ReadAudio(dir.Path("old.wav")).samples), a);
}

// ---------------------------------------------------------------------------
// Warnings: on standard error, exit status 0.

TEST(MixToolWarnings, ClippingIsCountedWithThePeakOfTheUnclampedSum) {
    ScratchDir dir;
    const auto a = QuietNoise(4000, 21, 30000);
    const auto b = QuietNoise(4000, 22, 30000);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    Write16(dir.Path("b.wav"), 8000, 1, b);
    const RunResult run =
        RunMix({"-q", "-o", dir.Path("mix.wav"), dir.Path("a.wav"), dir.Path("b.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    std::size_t clipped = 0;
    int peak = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int sum = a[i] + b[i];
        clipped += (sum >= 32767 || sum <= -32768) ? 1 : 0;
        peak = std::max(peak, std::abs(sum));
    }
    ASSERT_GT(clipped, 0u);
    char peakText[32];
    std::snprintf(peakText, sizeof peakText, "%+.1f dBFS", 20.0 * std::log10(peak / 32768.0));
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, "warning")) << run.err;
    EXPECT_TRUE(Contains(run.err, std::to_string(clipped) + " of 4000 samples clipped")) << run.err;
    EXPECT_TRUE(Contains(run.err, peakText)) << run.err << " (expected " << peakText << ")";
    EXPECT_TRUE(Contains(run.err, "--limiter")) << run.err;
    EXPECT_TRUE(Contains(run.err, "--normalize")) << run.err;
}

TEST(MixToolWarnings, ATruncatedInputIsReportedAndWhatItHoldsIsMixed) {
    ScratchDir dir;
    const auto a = QuietNoise(1000, 23);
    const auto b = QuietNoise(4000, 24);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    Write16(dir.Path("b.wav"), 8000, 1, b);
    // Cut the file after 44 header bytes and 2500 of its 4000 frames.
    const std::string bytes = ReadBytes(dir.Path("b.wav"));
    std::ofstream(dir.Path("cut.wav"), std::ios::binary) << bytes.substr(0, 44 + 2 * 2500);
    const RunResult run =
        RunMix({"-q", "-o", dir.Path("mix.wav"), dir.Path("a.wav"), dir.Path("cut.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, dir.Path("cut.wav"))) << run.err;
    EXPECT_TRUE(Contains(run.err, "truncated")) << run.err;
    EXPECT_TRUE(Contains(run.err, "4000")) << run.err;
    EXPECT_TRUE(Contains(run.err, "2500")) << run.err;
    EXPECT_EQ(To16(ReadAudio(dir.Path("mix.wav")).samples),
              ClampedSum({a, std::vector<int>(b.begin(), b.begin() + 2500)}));
}

TEST(MixToolWarnings, AnEmptyMasterIsReported) {
    ScratchDir dir;
    const auto b = QuietNoise(700, 25);
    Write16(dir.Path("empty.wav"), 8000, 1, {});
    Write16(dir.Path("b.wav"), 8000, 1, b);
    const RunResult run =
        RunMix({"-q", "-o", dir.Path("mix.wav"), dir.Path("empty.wav"), dir.Path("b.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, "no audio")) << run.err;
    EXPECT_EQ(To16(ReadAudio(dir.Path("mix.wav")).samples), b);
}

// ---------------------------------------------------------------------------
// --normalize

TEST(MixToolNormalize, TheMixPeaksAtMinusOneDbfsWithNothingClipped) {
    ScratchDir dir;
    const auto a = QuietNoise(3000, 26, 30000);
    const auto b = QuietNoise(3000, 27, 30000);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    Write16(dir.Path("b.wav"), 8000, 1, b);
    const RunResult run = RunMix({"--normalize", "--no-dither", "-o", dir.Path("mix.wav"),
                                  dir.Path("a.wav"), dir.Path("b.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    int peak = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        peak = std::max(peak, std::abs(a[i] + b[i]));
    }
    ASSERT_GT(peak, 32767);  // the plain sum would clip
    const double factor = std::pow(10.0, -1.0 / 20.0) * 32768.0 / peak;
    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    EXPECT_EQ(mix.format, kWav16);
    const std::vector<int> got = To16(mix.samples);
    ASSERT_EQ(got.size(), a.size());
    int gotPeak = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(got[i], RoundAway((a[i] + b[i]) * factor)) << "sample " << i;
        gotPeak = std::max(gotPeak, std::abs(got[i]));
    }
    EXPECT_EQ(gotPeak, 29205);  // round(10^(-1/20) * 32768)
    EXPECT_TRUE(std::regex_search(run.out, std::regex(R"(mix\.wav .* 0 +0\.38 s +-1\.0 )")))
        << run.out;
}

TEST(MixToolNormalize, ByDefaultTheScaledMixIsDitheredWithinOneStep) {
    ScratchDir dir;
    const auto a = QuietNoise(20000, 36, 30000);
    const auto b = QuietNoise(20000, 37, 30000);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    Write16(dir.Path("b.wav"), 8000, 1, b);
    const RunResult run = RunMix(
        {"-q", "--normalize", "-o", dir.Path("mix.wav"), dir.Path("a.wav"), dir.Path("b.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    int peak = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        peak = std::max(peak, std::abs(a[i] + b[i]));
    }
    const double factor = std::pow(10.0, -1.0 / 20.0) * 32768.0 / peak;
    const std::vector<int> got = To16(ReadAudio(dir.Path("mix.wav")).samples);
    ASSERT_EQ(got.size(), a.size());
    // TPDF dither of one step: every sample within one step of the exact
    // value, the error averaging to nothing and its variance near the
    // 1/12 + 1/6 = 1/4 step^2 of rounding plus triangular noise.
    double sum = 0.0;
    double squares = 0.0;
    std::size_t changed = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double exact = (a[i] + b[i]) * factor;
        const double error = got[i] - exact;
        ASSERT_LT(std::abs(error), 1.5) << "sample " << i;
        sum += error;
        squares += error * error;
        changed += got[i] != RoundAway(exact) ? 1 : 0;
    }
    const double n = static_cast<double>(a.size());
    EXPECT_NEAR(sum / n, 0.0, 0.02);
    EXPECT_NEAR(squares / n, 0.25, 0.03);
    EXPECT_GT(changed, a.size() / 10);
}

TEST(MixToolNormalize, ExcludesTheLimiterAndRealTime) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(100, 28));
    for (const auto& other : {"--limiter", "--realtime"}) {
        const RunResult run =
            RunMix({"--normalize", other, "-o", dir.Path("x.wav"), dir.Path("a.wav")});
        EXPECT_EQ(run.status, 2) << other;
        EXPECT_EQ(Lines(run.err), 2u) << run.err;
    }
}

// ---------------------------------------------------------------------------
// The summary, the progress line and signals

TEST(MixToolSummary, TheFrameCountCoversTheDurationAndNoMore) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(1234, 29));  // 7.7 frames of 20 ms
    const RunResult run = RunMix({"-o", dir.Path("mix.wav"), dir.Path("a.wav")});
    ASSERT_EQ(run.status, 0) << run.err;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.out, match, std::regex(R"((\d+) x 20 ms +\d+ +([\d.]+) s)")))
        << run.out;
    EXPECT_EQ(match[1], "8");
    EXPECT_EQ(match[2], "0.15");
    EXPECT_EQ(ReadAudio(dir.Path("mix.wav")).Frames(), 1234u);
}

TEST(MixToolProgress, OnATerminalTheBarShowsPositionElapsedAndTimeLeft) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, std::vector<int>(8000 * 3, 0));
    // script(1) gives the run a terminal; --realtime makes it last long
    // enough (three seconds of audio) for the bar to be drawn.
    const RunResult run =
        RunShell("script -qec '\"$CAROVEL_MIX\" --realtime -o " + dir.Path("mix.wav") + " " +
                 dir.Path("a.wav") + " 2>&1 >/dev/null' /dev/null");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(std::regex_search(
        run.out, std::regex(R"(\[#* *\] +\d+%  0:0\d / 0:03  elapsed 0:0\d  left 0:0\d)")))
        << run.out;
}

class MixToolSignals : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(MixToolSignals, AStopSignalEndsTheRunWithItsStatusAndNoOutput) {
    const auto [signal, status] = GetParam();
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, std::vector<int>(8000 * 60, 0));
    BackgroundMix run({"--realtime", "-o", dir.Path("mix.wav"), dir.Path("a.wav")});
    // The run has its handlers in place once its temporary output exists.
    const auto started = [&dir] {
        const auto names = dir.List();
        return std::any_of(names.begin(), names.end(),
                           [](const std::string& n) { return n.rfind(".mix.wav.", 0) == 0; });
    };
    for (int i = 0; i < 600 && !started(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(started());
    run.Signal(signal);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_TRUE(Contains(result.err, "interrupted")) << result.err;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"a.wav"});
}

INSTANTIATE_TEST_SUITE_P(Signals, MixToolSignals,
                         ::testing::Values(std::make_pair(SIGINT, 130),
                                           std::make_pair(SIGTERM, 143)));

TEST(MixToolHelp, HelpShowsTheCallRecordingAndPodcastJobs) {
    const RunResult run = RunMix({"--help"});
    ASSERT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(run.out, "--pan 0=left --pan 1=right")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Podcast")) << run.out;
    EXPECT_TRUE(Contains(run.out, "--minus-out")) << run.out;
    EXPECT_TRUE(run.err.empty());
}

}  // namespace
}  // namespace carovel_test
