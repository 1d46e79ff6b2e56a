// End-to-end tests of carovel-mix for editing and publishing: times,
// --trim, --fade, --raw, -n, --loudness, MP3 and Opus outputs, outputs past
// 4 GiB and inputs past it, and the checks on outputs and options. Each test
// writes its inputs, runs the built binary and checks what it wrote against
// what the test computes itself (BS.1770 loudness included).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>

#include "tool_harness.h"

namespace carovel_test {
namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
const double kPi = std::acos(-1.0);

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<int> To16(const std::vector<std::int32_t>& samples) {
    std::vector<int> out;
    for (const auto s : samples) {
        out.push_back(s >> 16);
    }
    return out;
}

std::vector<std::int32_t> From16(const std::vector<int>& values) {
    std::vector<std::int32_t> out;
    for (const int v : values) {
        out.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << 16));
    }
    return out;
}

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

std::vector<std::string> Args(const ScratchDir& dir, std::vector<std::string> args) {
    for (auto& arg : args) {
        if (!arg.empty() && arg[0] == '@') {
            arg = dir.Path(arg.substr(1));
        }
    }
    return args;
}

// ---------------------------------------------------------------------------
// Times, --delay and --trim

TEST(MixToolTimes, EveryTimeSyntaxPlacesTheDelayOnTheSameSample) {
    ScratchDir dir;
    Write16(dir.Path("m.wav"), 8000, 1, std::vector<int>(24000, 0));
    std::vector<int> click(10, 0);
    click[0] = 1000;
    Write16(dir.Path("c.wav"), 8000, 1, click);
    for (const std::string delay : {"1.5", "1500ms", "0:01.5", "0:00:01.5"}) {
        const RunResult run = RunMix(
            Args(dir, {"-q", "--delay", "1=" + delay, "-o", "@mix.wav", "@m.wav", "@c.wav"}));
        ASSERT_EQ(run.status, 0) << delay << ": " << run.err;
        const std::vector<int> mix = To16(ReadAudio(dir.Path("mix.wav")).samples);
        const auto at = std::find(mix.begin(), mix.end(), 1000) - mix.begin();
        EXPECT_EQ(at, 12000) << delay;
    }
    for (const std::string bad : {"1:60", "1:2", "-1", "1.5.5", "abc", "1:02:03:04", "ms", ""}) {
        const RunResult run =
            RunMix(Args(dir, {"--delay", "1=" + bad, "-o", "@mix.wav", "@m.wav", "@c.wav"}));
        EXPECT_EQ(run.status, 2) << "'" << bad << "'";
        EXPECT_TRUE(Contains(run.err, "--delay")) << run.err;
    }
}

TEST(MixToolTrim, TheTrimmedPartLandsAtTheDelayOnTheRightSample) {
    ScratchDir dir;
    const std::vector<int> master = QuietNoise(16000, 41);
    const std::vector<int> source = QuietNoise(24000, 42);
    Write16(dir.Path("m.wav"), 8000, 1, master);
    Write16(dir.Path("s.wav"), 8000, 1, source);
    struct Case {
        std::vector<std::string> options;
        std::size_t from, to, at;  // source frames [from, to) land at mix frame `at`
    };
    const std::vector<Case> cases = {
        {{"--trim", "1=0.25:0.5"}, 2000, 4000, 0},
        {{"--trim", "1=250ms:500ms", "--delay", "1=0.1"}, 2000, 4000, 800},
        {{"--trim", "1=1.25"}, 10000, 24000, 0},         // to the end
        {{"--trim", "1=0:00.5:0:01.0"}, 4000, 8000, 0},  // minutes:seconds both
        {{"--trim", "1=2.5:9", "--delay", "1=0:00.75"}, 20000, 24000, 6000},  // END past the end
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(),
                    {"-q", "-o", dir.Path("mix.wav"), dir.Path("m.wav"), dir.Path("s.wav")});
        const RunResult run = RunMix(args);
        ASSERT_EQ(run.status, 0) << c.options[1] << ": " << run.err;
        const std::vector<int> mix = To16(ReadAudio(dir.Path("mix.wav")).samples);
        ASSERT_EQ(mix.size(), std::max(master.size(), c.at + (c.to - c.from))) << c.options[1];
        for (std::size_t i = 0; i < mix.size(); ++i) {
            int expected = i < master.size() ? master[i] : 0;
            if (i >= c.at && i < c.at + (c.to - c.from)) {
                expected += source[c.from + i - c.at];
            }
            ASSERT_EQ(mix[i], expected) << c.options[1] << " frame " << i;
        }
    }
    // A part after the end, and an END before its START, are refused.
    EXPECT_EQ(RunMix(Args(dir, {"--trim", "1=5", "-o", "@x.wav", "@m.wav", "@s.wav"})).status, 1);
    EXPECT_EQ(RunMix(Args(dir, {"--trim", "1=2:1", "-o", "@x.wav", "@m.wav", "@s.wav"})).status, 2);
    // Ambiguous: "1:00:02:00:03" splits into times at two colons.
    EXPECT_EQ(
        RunMix(Args(dir, {"--trim", "1=1:00:02:00:03", "-o", "@x.wav", "@m.wav", "@s.wav"})).status,
        2);
}

// ---------------------------------------------------------------------------
// --fade

TEST(MixToolFade, FadesAreEqualPowerAndSilentAtTheirEnds) {
    ScratchDir dir;
    const int level = 16000;
    Write16(dir.Path("m.wav"), 8000, 1, std::vector<int>(8000, 0));
    Write16(dir.Path("s.wav"), 8000, 1, std::vector<int>(12000, level));
    const RunResult run = RunMix(Args(dir, {"-q", "--trim", "1=0.5", "--fade", "1=0.1:200ms", "-o",
                                            "@mix.wav", "@m.wav", "@s.wav"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<int> mix = To16(ReadAudio(dir.Path("mix.wav")).samples);
    ASSERT_EQ(mix.size(), 8000u);  // 1.5 s trimmed by 0.5 s
    const std::size_t in = 800;
    const std::size_t out = 1600;
    EXPECT_EQ(mix.front(), 0);
    EXPECT_EQ(mix.back(), 0);
    for (std::size_t i = 0; i < mix.size(); ++i) {
        double gain = 1.0;
        if (i < in) {
            gain = std::sin(kPi / 2 * static_cast<double>(i) / in);
        }
        const std::size_t fromEnd = mix.size() - 1 - i;
        if (fromEnd < out) {
            gain = std::min(gain, std::sin(kPi / 2 * static_cast<double>(fromEnd) / out));
        }
        ASSERT_NEAR(mix[i], level * gain, 1.0) << "frame " << i;
    }
    // Equal power: halfway through the fade-in the level is -3 dB.
    EXPECT_NEAR(mix[in / 2], level * std::sqrt(0.5), 1.0);
}

// ---------------------------------------------------------------------------
// --raw and -n

TEST(MixToolRaw, HeaderlessInputsAreReadInTheLayoutGiven) {
    ScratchDir dir;
    const std::vector<int> master = QuietNoise(4000, 43);
    const std::vector<int> source = QuietNoise(4000, 44);
    Write16(dir.Path("m.wav"), 8000, 1, master);
    {
        std::ofstream raw(dir.Path("s16.pcm"), std::ios::binary);
        std::ofstream f32(dir.Path("f32.pcm"), std::ios::binary);
        for (const int v : source) {
            const unsigned char bytes[2] = {static_cast<unsigned char>(v & 0xff),
                                            static_cast<unsigned char>((v >> 8) & 0xff)};
            raw.write(reinterpret_cast<const char*>(bytes), 2);
            const float f = static_cast<float>(v) / 32768.0f;
            f32.write(reinterpret_cast<const char*>(&f), 4);  // little-endian machine
        }
    }
    for (const std::string raw : {"s16.pcm=8000:1:s16", "f32.pcm=8000:1:f32"}) {
        const std::string file = raw.substr(0, raw.find('='));
        const RunResult run = RunMix(Args(dir, {"-q", "--raw", "1=" + raw.substr(raw.find('=') + 1),
                                                "-o", "@mix.wav", "@m.wav", "@" + file}));
        ASSERT_EQ(run.status, 0) << raw << ": " << run.err;
        const std::vector<int> mix = To16(ReadAudio(dir.Path("mix.wav")).samples);
        ASSERT_EQ(mix.size(), master.size());
        for (std::size_t i = 0; i < mix.size(); ++i) {
            ASSERT_EQ(mix[i], master[i] + source[i]) << raw << " frame " << i;
        }
    }
    for (const std::string bad : {"8000:1", "8000:1:s12", "0:1:s16", "8000:x:s16"}) {
        EXPECT_EQ(
            RunMix(Args(dir, {"--raw", "1=" + bad, "-o", "@x.wav", "@m.wav", "@s16.pcm"})).status,
            2)
            << bad;
    }
}

TEST(MixToolNull, NullMixesAndReportsButWritesNothing) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(4000, 45));
    Write16(dir.Path("b.wav"), 8000, 1, QuietNoise(4000, 46));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-n", "@a.wav", "@b.wav"},
          std::vector<std::string>{"--null", "-o", "@mix.wav", "--minus-out",
                                   "1=" + dir.Path("m1.wav"), "@a.wav", "@b.wav"}}) {
        const RunResult run = RunMix(Args(dir, args));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "not written")) << run.out;
        EXPECT_TRUE(Contains(run.out, "0.50 s")) << run.out;
        auto names = dir.List();
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"a.wav", "b.wav"}));
    }
}

// ---------------------------------------------------------------------------
// --loudness, measured here by ITU-R BS.1770: K-weighting at 48 kHz, 400 ms
// blocks overlapping by 75 %, the absolute gate at -70 LUFS and the relative
// one 10 LU below; the true peak from 4-times oversampling.

struct Biquad {
    double b0, b1, b2, a1, a2;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    double Run(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

double IntegratedLoudness(const Audio& audio) {
    EXPECT_EQ(audio.rate, 48000);
    const std::size_t channels = static_cast<std::size_t>(audio.channels);
    const std::size_t frames = audio.Frames();
    std::vector<std::vector<double>> weighted(channels, std::vector<double>(frames));
    for (std::size_t c = 0; c < channels; ++c) {
        Biquad shelf{1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                     0.73248077421585};
        Biquad highPass{1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};
        for (std::size_t f = 0; f < frames; ++f) {
            const double x = audio.samples[f * channels + c] / 2147483648.0;
            weighted[c][f] = highPass.Run(shelf.Run(x));
        }
    }
    const std::size_t block = 19200;
    const std::size_t step = 4800;
    std::vector<double> powers;
    for (std::size_t start = 0; start + block <= frames; start += step) {
        double power = 0.0;
        for (std::size_t c = 0; c < channels; ++c) {
            double sum = 0.0;
            for (std::size_t f = start; f < start + block; ++f) {
                sum += weighted[c][f] * weighted[c][f];
            }
            power += sum / block;
        }
        powers.push_back(power);
    }
    const auto loudness = [](double power) { return -0.691 + 10.0 * std::log10(power); };
    const auto gatedMean = [&](double gate) {
        double sum = 0.0;
        std::size_t n = 0;
        for (const double p : powers) {
            if (p > 0.0 && loudness(p) > gate) {
                sum += p;
                ++n;
            }
        }
        return n == 0 ? 0.0 : sum / static_cast<double>(n);
    };
    const double relativeGate = loudness(gatedMean(-70.0)) - 10.0;
    return loudness(gatedMean(relativeGate));
}

double TruePeakDbtp(const Audio& audio) {
    const std::size_t channels = static_cast<std::size_t>(audio.channels);
    const std::size_t frames = audio.Frames();
    const int half = 16;
    const int factor = 4;
    double peak = 0.0;
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t f = 0; f < frames; ++f) {
            const double x = audio.samples[f * channels + c] / 2147483648.0;
            peak = std::max(peak, std::abs(x));
            for (int k = 1; k < factor; ++k) {
                double v = 0.0;
                for (int n = -half + 1; n <= half; ++n) {
                    const auto at = static_cast<std::ptrdiff_t>(f) + n;
                    if (at < 0 || at >= static_cast<std::ptrdiff_t>(frames)) {
                        continue;
                    }
                    const double d = static_cast<double>(k) / factor - n;
                    const double window = 0.5 + 0.5 * std::cos(kPi * d / (half + 1));
                    v += audio.samples[static_cast<std::size_t>(at) * channels + c] / 2147483648.0 *
                         std::sin(kPi * d) / (kPi * d) * window;
                }
                peak = std::max(peak, std::abs(v));
            }
        }
    }
    return 20.0 * std::log10(peak);
}

// False when carovel-mix was built without libebur128 (it then refuses
// --loudness, and says so).
bool LoudnessBuiltIn() {
    const RunResult run = RunMix({"--loudness", "-16", "-n", "no-such-file.wav"});
    return !Contains(run.err, "built without libebur128");
}

// ffmpeg's EBU R128 meter on a file, where ffmpeg is installed: the
// integrated loudness and the true peak; nothing when it is not.
std::optional<std::pair<double, double>> FfmpegLoudness(const std::string& path) {
    if (RunShell("command -v ffmpeg >/dev/null").status != 0) {
        return std::nullopt;
    }
    const RunResult run = RunShell("ffmpeg -hide_banner -nostats -i '" + path +
                                   "' -af ebur128=peak=true -f null - 2>&1");
    std::smatch integrated;
    std::smatch peak;
    // The summary at the end, not the running figures before it.
    const std::string out = run.out.substr(std::min(run.out.size(), run.out.rfind("Summary:")));
    if (!std::regex_search(out, integrated, std::regex(R"(I:\s+(-?[0-9.]+) LUFS)")) ||
        !std::regex_search(out, peak, std::regex(R"(Peak:\s+(-?[0-9.]+|-inf) dBFS)"))) {
        ADD_FAILURE() << "no loudness in ffmpeg's output: " << out;
        return std::nullopt;
    }
    return std::make_pair(std::stod(integrated[1]), std::stod(peak[1]));
}

// Speech-like bursts of noise over a 48 kHz stereo bed, with sharp peaks.
void WritePodcastSources(const ScratchDir& dir, double peakiness) {
    const std::size_t frames = 48000 * 8;
    std::vector<std::int32_t> voice(frames);
    const std::vector<std::int32_t> noise = Noise(frames, 24, 47);
    for (std::size_t i = 0; i < frames; ++i) {
        const double envelope = 0.5 + 0.5 * std::sin(2 * kPi * 3.0 * i / 48000.0);
        double v = noise[i] / 2147483648.0 * 0.08 * envelope;
        if (i % 24000 == 1000) {
            v = peakiness;  // a click
        }
        voice[i] = static_cast<std::int32_t>(std::lround(v * 8388607.0)) * 256;
    }
    WriteAudio(dir.Path("voice.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 1, voice);
    WriteAudio(dir.Path("bed.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2,
               Sine(220.0, 0.05, 48000, 2, frames));
}

TEST(MixToolLoudness, TheMixReachesTheTargetWithItsTruePeakAtMostMinusOne) {
    if (!LoudnessBuiltIn()) {
        GTEST_SKIP() << "carovel-mix was built without libebur128";
    }
    ScratchDir dir;
    for (const double peakiness : {0.1, 0.9}) {
        WritePodcastSources(dir, peakiness);
        for (const double target : {-16.0, -23.0}) {
            char targetText[16];
            std::snprintf(targetText, sizeof targetText, "%.0f", target);
            const RunResult run =
                RunMix(Args(dir, {"--loudness", targetText, "--channels", "2", "--bits", "24", "-o",
                                  "@mix.wav", "@voice.wav", "@bed.wav"}));
            ASSERT_EQ(run.status, 0) << run.err;
            const Audio mix = ReadAudio(dir.Path("mix.wav"));
            ASSERT_EQ(mix.Frames(), 48000u * 8);
            EXPECT_NEAR(IntegratedLoudness(mix), target, 0.5) << peakiness << " " << target;
            EXPECT_LE(TruePeakDbtp(mix), -1.0) << peakiness << " " << target;
            // The same by ffmpeg's meter, where it is installed.
            if (const auto measured = FfmpegLoudness(dir.Path("mix.wav"))) {
                EXPECT_NEAR(measured->first, target, 0.5) << peakiness << " " << target;
                EXPECT_LE(measured->second, -1.0) << peakiness << " " << target;
            }
            EXPECT_TRUE(
                std::regex_search(run.out, std::regex("loudness: the mix measured -?[0-9.]+ "
                                                      "LUFS")))
                << run.out;
        }
    }
}

TEST(MixToolLoudness, MixMinusOutputsGetTheMixsGain) {
    if (!LoudnessBuiltIn()) {
        GTEST_SKIP() << "carovel-mix was built without libebur128";
    }
    ScratchDir dir;
    WritePodcastSources(dir, 0.1);
    const RunResult run = RunMix(Args(
        dir, {"-q", "--loudness", "-18", "--no-dither", "--channels", "2", "--bits", "24", "-o",
              "@mix.wav", "--minus-out", "1=" + dir.Path("minus1.wav"), "@voice.wav", "@bed.wav"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio mix = ReadAudio(dir.Path("mix.wav"));
    const Audio minus = ReadAudio(dir.Path("minus1.wav"));
    // Without source 1 the mix-minus is the voice on both sides, at the
    // mix's gain: the ratio of the plain sums gives that gain.
    const Audio voice = ReadAudio(dir.Path("voice.wav"));
    const Audio bed = ReadAudio(dir.Path("bed.wav"));
    double mixDot = 0.0, mixNorm = 0.0, minusDot = 0.0, minusNorm = 0.0;
    for (std::size_t f = 0; f < mix.Frames(); ++f) {
        for (std::size_t c = 0; c < 2; ++c) {
            const double v = voice.samples[f];
            const double sum = v + bed.samples[2 * f + c];
            mixDot += mix.samples[2 * f + c] * sum;
            mixNorm += sum * sum;
            minusDot += minus.samples[2 * f + c] * v;
            minusNorm += v * v;
        }
    }
    const double mixGain = mixDot / mixNorm;
    const double minusGain = minusDot / minusNorm;
    EXPECT_GT(mixGain, 1.5);  // the mix was brought up
    EXPECT_NEAR(minusGain / mixGain, 1.0, 0.001);
}

TEST(MixToolLoudness, ExcludesNormalizeLimiterAndRealTimeAndTakesOnlyATarget) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 48000, 1, QuietNoise(4800, 48));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--loudness", "-16", "--normalize"},
          std::vector<std::string>{"--loudness", "-16", "--limiter"},
          std::vector<std::string>{"--loudness", "-16", "--realtime"},
          std::vector<std::string>{"--loudness", "loud"},
          std::vector<std::string>{"--loudness", "5"}}) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"-o", dir.Path("x.wav"), dir.Path("a.wav")});
        EXPECT_EQ(RunMix(all).status, 2) << args[1];
    }
}

// ---------------------------------------------------------------------------
// MP3 and Opus

TEST(MixToolLossy, Mp3AndOpusOutputsHaveTheMixsDurationAndTheirBitRate) {
    ScratchDir dir;
    WriteAudio(dir.Path("a.wav"), kWav16, 48000, 1, Sine(440.0, 0.3, 48000, 1, 48000 * 6));
    WriteAudio(dir.Path("b.wav"), kWav16, 48000, 1, Sine(660.0, 0.3, 48000, 1, 48000 * 5));
    const bool ffprobe = RunShell("command -v ffprobe >/dev/null").status == 0;
    for (const std::string name : {"mix.mp3", "mix.opus"}) {
        for (const std::string bitrate : {"64", "128"}) {
            const RunResult run = RunMix(
                Args(dir, {"-q", "--bitrate", bitrate, "-o", "@" + name, "@a.wav", "@b.wav"}));
            ASSERT_EQ(run.status, 0) << name << ": " << run.err;
            const std::string bytes = ReadBytes(dir.Path(name));
            if (name == "mix.opus") {
                EXPECT_EQ(bytes.substr(0, 4), "OggS");
                EXPECT_TRUE(Contains(bytes.substr(0, 200), "OpusHead"));
            } else {
                EXPECT_TRUE(bytes.substr(0, 3) == "ID3" ||
                            (static_cast<unsigned char>(bytes[0]) == 0xff &&
                             (static_cast<unsigned char>(bytes[1]) & 0xe0) == 0xe0));
            }
            // Six seconds at the bit rate asked for, within 15 %.
            const double expected = std::stod(bitrate) * 1000.0 / 8.0 * 6.0;
            EXPECT_NEAR(static_cast<double>(bytes.size()), expected, expected * 0.15)
                << name << " at " << bitrate;
            const Audio decoded = ReadAudio(dir.Path(name));
            EXPECT_EQ(decoded.rate, 48000);
            EXPECT_NEAR(static_cast<double>(decoded.Frames()), 48000.0 * 6, 48.0) << name;
            if (ffprobe) {
                const RunResult probe =
                    RunShell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                             dir.Path(name) + "'");
                EXPECT_NEAR(std::stod(probe.out), 6.0, 0.05) << name;
            }
        }
    }
    const RunResult quality =
        RunMix(Args(dir, {"-q", "--quality", "2", "-o", "@small.mp3", "@a.wav", "@b.wav"}));
    ASSERT_EQ(quality.status, 0) << quality.err;
    const RunResult best =
        RunMix(Args(dir, {"-q", "--quality", "10", "-o", "@big.mp3", "@a.wav", "@b.wav"}));
    ASSERT_EQ(best.status, 0) << best.err;
    EXPECT_LT(ReadBytes(dir.Path("small.mp3")).size(), ReadBytes(dir.Path("big.mp3")).size());
    // Opus runs at its own rates only; --quality and --bitrate exclude each other.
    Write16(dir.Path("c.wav"), 44100, 1, QuietNoise(4410, 49));
    const RunResult rate = RunMix(Args(dir, {"-o", "@x.opus", "@c.wav"}));
    EXPECT_EQ(rate.status, 1);
    EXPECT_TRUE(Contains(rate.err, "48000")) << rate.err;
    EXPECT_EQ(
        RunMix(Args(dir, {"--quality", "5", "--bitrate", "64", "-o", "@x.mp3", "@a.wav"})).status,
        2);
}

// ---------------------------------------------------------------------------
// Past 4 GiB

TEST(MixToolLargeFiles, AWavOutputPastTheThresholdIsWrittenAsRf64) {
    ScratchDir dir;
    const std::vector<int> a = QuietNoise(4000, 50);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    // 8000 bytes of audio: past a threshold of 7999, within one of 8000.
    for (const auto& [threshold, rf64] :
         std::vector<std::pair<std::string, bool>>{{"7999", true}, {"8000", false}}) {
        const RunResult run =
            RunShell("CAROVEL_MIX_RF64_THRESHOLD=" + threshold + " \"$CAROVEL_MIX\" -o '" +
                     dir.Path("mix.wav") + "' '" + dir.Path("a.wav") + "'");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadBytes(dir.Path("mix.wav")).substr(0, 4), rf64 ? "RF64" : "RIFF");
        const Audio mix = ReadAudio(dir.Path("mix.wav"));
        EXPECT_EQ(mix.format & SF_FORMAT_TYPEMASK, rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV);
        EXPECT_EQ(To16(mix.samples), a);
        EXPECT_EQ(Contains(run.out, "written as RF64"), rf64) << run.out;
        const RunResult soxi = RunShell("soxi '" + dir.Path("mix.wav") + "'");
        EXPECT_TRUE(Contains(soxi.out, "4000 samples")) << soxi.out << soxi.err;
    }
    // A container with 32-bit sizes and no 64-bit form: refused, nothing left.
    const RunResult aiff = RunShell("CAROVEL_MIX_RF64_THRESHOLD=7999 \"$CAROVEL_MIX\" -o '" +
                                    dir.Path("mix.aiff") + "' '" + dir.Path("a.wav") + "'");
    EXPECT_EQ(aiff.status, 1);
    EXPECT_TRUE(Contains(aiff.err, "4 GiB")) << aiff.err;
    EXPECT_NE(ReadBytes(dir.Path("mix.aiff")).substr(0, 4), "FORM");
    for (const auto& name : dir.List()) {
        EXPECT_EQ(name.find(".mix.aiff"), std::string::npos) << name << " left behind";
    }
}

TEST(MixToolLargeFiles, AnOpenEndedWavInputIsReadPastFourGibibytes) {
    ScratchDir dir;
    // A WAV header for a stream of unknown length (sizes 0xFFFFFFFF), then
    // 2^32 bytes of silence (a hole: no disk space) and a second of noise,
    // which starts at sample 2^31: past what the header's sizes can count.
    const std::string path = dir.Path("long.wav");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const unsigned char header[44] = {
        'R', 'I', 'F', 'F', 0xff, 0xff, 0xff, 0xff, 'W', 'A',  'V',  'E',  'f',  'm',  't',
        ' ', 16,  0,   0,   0,    1,    0,    1,    0,   0x40, 0x1f, 0,    0,    0x80, 0x3e,
        0,   0,   2,   0,   16,   0,    'd',  'a',  't', 'a',  0xff, 0xff, 0xff, 0xff};
    ASSERT_EQ(write(fd, header, sizeof header), 44);
    const std::vector<int> tail = QuietNoise(8000, 51);
    std::vector<unsigned char> bytes;
    for (const int v : tail) {
        bytes.push_back(static_cast<unsigned char>(v & 0xff));
        bytes.push_back(static_cast<unsigned char>((v >> 8) & 0xff));
    }
    const off_t at = 44 + (off_t{1} << 32);
    if (pwrite(fd, bytes.data(), bytes.size(), at) != static_cast<ssize_t>(bytes.size())) {
        close(fd);
        GTEST_SKIP() << "this file system cannot hold a sparse file past 4 GiB";
    }
    close(fd);
    // Sample 2^31 at 8000 Hz is 268435.456 s in.
    const RunResult run = RunMix({"--trim", "0=268435.456", "-o", dir.Path("mix.wav"), path});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(To16(ReadAudio(dir.Path("mix.wav")).samples), tail);
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_TRUE(Contains(run.out, "WAV 8000 Hz mono 16-bit")) << run.out;
    // Its first samples are those after the header: silence.
    const RunResult start = RunMix({"-q", "--trim", "0=0:1ms", "-o", dir.Path("start.wav"), path});
    ASSERT_EQ(start.status, 0) << start.err;
    EXPECT_EQ(To16(ReadAudio(dir.Path("start.wav")).samples), std::vector<int>(8, 0));
}

// ---------------------------------------------------------------------------
// Outputs, options and messages

TEST(MixToolOutputs, TwoNamesForOneNewFileAreRefused) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(800, 52));
    const RunResult run = RunShell("cd '" + dir.Path("") +
                                   "' && \"$CAROVEL_MIX\" -o new.wav --master-out ./new.wav a.wav");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "same file")) << run.err;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"a.wav"});
}

TEST(MixToolOutputs, DevNullIsWrittenAndADirectoryIsNamedAsOne) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(800, 53));
    const RunResult null = RunMix(Args(dir, {"-q", "-o", "/dev/null", "@a.wav"}));
    EXPECT_EQ(null.status, 0) << null.err;
    EXPECT_TRUE(null.err.empty()) << null.err;
    ASSERT_EQ(mkdir(dir.Path("somedir").c_str(), 0755), 0);
    const RunResult directory = RunMix(Args(dir, {"-o", "@somedir", "@a.wav"}));
    EXPECT_EQ(directory.status, 1);
    EXPECT_TRUE(Contains(directory.err, "is a directory")) << directory.err;
}

TEST(MixToolOptions, RepeatedAndEmptyOptionsAreUsageErrors) {
    ScratchDir dir;
    Write16(dir.Path("a.wav"), 8000, 1, QuietNoise(800, 54));
    Write16(dir.Path("b.wav"), 8000, 1, QuietNoise(800, 55));
    const std::vector<std::vector<std::string>> cases = {
        {"--minus-out", "1=" + dir.Path("x1.wav"), "--minus-out", "1=" + dir.Path("x2.wav")},
        {"--gain", "1=0.5", "--gain", "1=0.5"},
        {"--pan", "1=left", "--pan", "1=right"},
        {"--delay", "1=1", "--delay", "1=2"},
        {"--trim", "1=0", "--trim", "1=0.01"},
        {"--fade", "1=0", "--fade", "1=0.01"},
        {"--rate", "8000", "--rate", "16000"},
        {"-o", "@y.wav"},
        {"--frame-ms", ""},
        {"--rate", ""},
        {"--type", ""},
    };
    for (const auto& options : cases) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-o", "@mix.wav", "@a.wav", "@b.wav"});
        const RunResult run = RunMix(Args(dir, args));
        EXPECT_EQ(run.status, 2) << options[0] << " " << options[1] << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, options[0] == "-o" ? "--output" : options[0])) << run.err;
    }
    EXPECT_EQ(dir.List().size(), 2u);
}

TEST(MixToolSummary, MuLawAndALawInputsAreLabelledByTheirEncoding) {
    ScratchDir dir;
    WriteAudio(dir.Path("u.wav"), SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, 1,
               From16(QuietNoise(800, 56)));
    WriteAudio(dir.Path("a.au"), SF_FORMAT_AU | SF_FORMAT_ALAW, 8000, 1,
               From16(QuietNoise(800, 57)));
    const RunResult run = RunMix(Args(dir, {"-o", "@mix.wav", "@u.wav", "@a.au"}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("u\\.wav +WAV 8000 Hz mono u-law")))
        << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("a\\.au +AU 8000 Hz mono A-law"))) << run.out;
}

TEST(MixToolEncodingsHeaders, SoxReadsULawWavAndALawAuWithoutAWarning) {
    ScratchDir dir;
    const std::vector<int> a = QuietNoise(8000, 58);
    Write16(dir.Path("a.wav"), 8000, 1, a);
    const std::string quoted = "'" + dir.Path("a.wav") + "'";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-q --encoding ulaw -o '" + dir.Path("u.wav") + "' " + quoted, "u.wav"},
        {"-q --encoding alaw -o '" + dir.Path("a.au") + "' " + quoted, "a.au"},
        {"-q --encoding alaw --type au -o - " + quoted + " > '" + dir.Path("s.au") + "'", "s.au"},
        {"-q --encoding ulaw --type au -o - " + quoted + " | cat > '" + dir.Path("p.au") + "'",
         "p.au"},
    };
    for (const auto& [command, name] : cases) {
        const RunResult run = RunShell("\"$CAROVEL_MIX\" " + command);
        ASSERT_EQ(run.status, 0) << run.err;
        const RunResult soxi = RunShell("soxi '" + dir.Path(name) + "'");
        EXPECT_EQ(soxi.status, 0) << name;
        EXPECT_TRUE(soxi.err.empty()) << name << ": " << soxi.err;
        // The samples are those of the codec applied to the input.
        const RunResult back = RunShell("sox -V1 '" + dir.Path(name) + "' -t s16 -");
        WriteAudio(dir.Path("expected.wav"),
                   SF_FORMAT_WAV | (Contains(command, "ulaw") ? SF_FORMAT_ULAW : SF_FORMAT_ALAW),
                   8000, 1, From16(a));
        const std::vector<int> expected = To16(ReadAudio(dir.Path("expected.wav")).samples);
        ASSERT_EQ(back.out.size(), 2 * expected.size()) << name;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const int v =
                static_cast<std::int16_t>(static_cast<unsigned char>(back.out[2 * i]) |
                                          static_cast<unsigned char>(back.out[2 * i + 1]) << 8);
            ASSERT_EQ(v, expected[i]) << name << " sample " << i;
        }
    }
}

// Waits until the run blocks opening a named pipe (where the kernel shows
// it), at most 30 s.
void WaitUntilBlockedOnAPipe(int pid) {
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    for (int i = 0; i < 600; ++i) {
        const std::string text = ReadText(wchan);
        if (Contains(text, "partner") || Contains(text, "fifo") || Contains(text, "pipe")) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TEST(MixToolSignals, SigtermWhileWaitingForANamedPipeExitsWith143QuietlyWithoutABlankLine) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    BackgroundMix run({"-q", "-o", dir.Path("mix.wav"), dir.Path("fifo")});
    WaitUntilBlockedOnAPipe(run.Pid());
    run.Signal(SIGTERM);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 143) << result.err;
    EXPECT_EQ(result.err, "carovel-mix: interrupted; no output written\n");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"fifo"});
}

TEST(MixToolHelp, HelpShowsAPodcastWithTrimFadeAndLoudness) {
    const RunResult run = RunMix({"--help"});
    ASSERT_EQ(run.status, 0);
    for (const std::string part :
         {"--trim 1=4.5", "--fade 2=2:5", "--loudness -16", "episode.mp3", "1500ms", "-n,--null",
          "--raw", "--no-dither", "--quality", "--bitrate"}) {
        EXPECT_TRUE(Contains(run.out, part)) << part;
    }
}

}  // namespace
}  // namespace carovel_test
