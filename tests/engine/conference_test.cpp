// The frame mixer's conference features on their own terms: the limiter's
// guarantees (never beyond its ceiling, no change below it, a bounded and
// complete release), gains with one rounding against sums written out by
// hand, and what a muted source still does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "carovel/wave_mix.h"
#include "support/reference_mix.h"

namespace {

using _Carovel::CMixMinusFrames;
using _Carovel::CWaveMix;
using _Carovel::LimiterSettings;
using _Carovel::Status;
using carovel_test::ModelReadSample;
using carovel_test::ModelWriteSample;

std::vector<char> Encode(const std::vector<std::int64_t>& values, unsigned width) {
    std::vector<char> out;
    for (const std::int64_t v : values) {
        ModelWriteSample(v, width, out);
    }
    return out;
}

std::vector<std::int64_t> Decode(const char* data, int len, unsigned width) {
    std::vector<std::int64_t> out;
    for (int pos = 0; pos + static_cast<int>(width) <= len; pos += static_cast<int>(width)) {
        out.push_back(ModelReadSample(data + pos, width));
    }
    return out;
}

std::int64_t FullScale(unsigned width) {
    return (std::int64_t{1} << (8 * width - 1)) - 1;
}

// The mix of one pass, decoded.
std::vector<std::int64_t> Mix(CWaveMix& wm, unsigned width, int capacity = 1 << 16) {
    std::vector<char> master(static_cast<std::size_t>(capacity));
    std::vector<char> mix(static_cast<std::size_t>(capacity));
    int masterLen = capacity;
    int mixLen = capacity;
    wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
    return Decode(mix.data(), mixLen, width);
}

// The decoded output of source id; fails the test when there is none.
std::vector<std::int64_t> OutputOf(const CMixMinusFrames& minus, long id, unsigned width) {
    for (int i = 0; i < minus.Count(); ++i) {
        if (minus.TrackID(i) == id) {
            return Decode(minus.Data(i), minus.Length(i), width);
        }
    }
    ADD_FAILURE() << "no output for source " << id;
    return {};
}

LimiterSettings Settings(unsigned short channels, unsigned rate) {
    LimiterSettings s;
    s.channels = channels;
    s.samplesPerSec = rate;
    return s;
}

// The ceiling of the default settings: -1 dBFS, whole samples.
std::int64_t Ceiling(unsigned width) {
    return static_cast<std::int64_t>(
        std::floor(static_cast<double>(FullScale(width)) * std::pow(10.0, -1.0 / 20.0)));
}

TEST(Limiter, NeverGoesBeyondItsCeilingAtAnyWidth) {
    std::mt19937 rng(11);
    for (unsigned width = 1; width <= 4; ++width) {
        CWaveMix wm;
        wm.Init(static_cast<unsigned short>(width));
        ASSERT_TRUE(wm.SetLimiter(true, Settings(2, 48000)));
        CMixMinusFrames minus;
        const std::int64_t fs = FullScale(width);
        std::size_t overloaded = 0;
        for (int pass = 0; pass < 50; ++pass) {
            const int sources = 2 + pass % 7;
            for (int s = 0; s < sources; ++s) {
                std::vector<std::int64_t> frame(960);
                for (auto& v : frame) {
                    // Loud noise and full-scale square waves, sums far past full scale.
                    v = s % 2 == 0 ? std::uniform_int_distribution<std::int64_t>(-fs - 1, fs)(rng)
                                   : ((&v - frame.data()) / 37 % 2 == 0 ? fs : -fs - 1);
                }
                ASSERT_TRUE(wm.AddFrame(s, Encode(frame, width).data(),
                                        static_cast<int>(frame.size() * width), nullptr));
            }
            std::vector<char> master(960 * width);
            std::vector<char> mix(960 * width);
            int masterLen = static_cast<int>(master.size());
            int mixLen = static_cast<int>(mix.size());
            wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr, minus);
            ASSERT_EQ(mixLen, static_cast<int>(mix.size()));
            ASSERT_EQ(minus.Count(), sources);
            std::vector<std::vector<std::int64_t>> outputs{Decode(mix.data(), mixLen, width)};
            for (int i = 0; i < minus.Count(); ++i) {
                outputs.push_back(Decode(minus.Data(i), minus.Length(i), width));
            }
            for (const auto& out : outputs) {
                for (const std::int64_t v : out) {
                    ASSERT_LE(std::abs(v), Ceiling(width)) << "width " << width << " pass " << pass;
                    overloaded += std::abs(v) == Ceiling(width) ? 1 : 0;
                }
            }
        }
        EXPECT_GT(overloaded, 0u) << "the inputs never drove the limiter to its ceiling";
    }
}

TEST(Limiter, LeavesSumsBelowTheCeilingBitIdentical) {
    // Random sums that reach up to the ceiling but not beyond: with and
    // without the limiter the mix and the mix-minus outputs are the same.
    std::mt19937 rng(12);
    for (unsigned width = 1; width <= 4; ++width) {
        CWaveMix plain;
        CWaveMix limited;
        plain.Init(static_cast<unsigned short>(width));
        limited.Init(static_cast<unsigned short>(width));
        ASSERT_TRUE(limited.SetLimiter(true, Settings(1, 8000)));
        CMixMinusFrames plainMinus;
        CMixMinusFrames limitedMinus;
        const std::int64_t each = Ceiling(width) / 4;
        for (int pass = 0; pass < 20; ++pass) {
            for (long s = 0; s < 4; ++s) {
                std::vector<std::int64_t> frame(160);
                for (auto& v : frame) {
                    v = std::uniform_int_distribution<std::int64_t>(-each, each)(rng);
                }
                frame[static_cast<std::size_t>(pass) % 160] = each;  // the sum touches the ceiling
                const std::vector<char> bytes = Encode(frame, width);
                ASSERT_TRUE(
                    plain.AddFrame(s, bytes.data(), static_cast<int>(bytes.size()), nullptr));
                ASSERT_TRUE(
                    limited.AddFrame(s, bytes.data(), static_cast<int>(bytes.size()), nullptr));
            }
            char master[640];
            char a[640];
            char b[640];
            int ma = 640, la = 640, mb = 640, lb = 640;
            plain.GetMixedFrame(master, ma, a, la, nullptr, plainMinus);
            limited.GetMixedFrame(master, mb, b, lb, nullptr, limitedMinus);
            ASSERT_EQ(la, lb);
            EXPECT_TRUE(std::equal(a, a + la, b)) << "width " << width << " pass " << pass;
            ASSERT_EQ(plainMinus.Count(), limitedMinus.Count());
            for (int i = 0; i < plainMinus.Count(); ++i) {
                ASSERT_EQ(plainMinus.Length(i), limitedMinus.Length(i));
                EXPECT_TRUE(std::equal(plainMinus.Data(i),
                                       plainMinus.Data(i) + plainMinus.Length(i),
                                       limitedMinus.Data(i)));
            }
        }
    }
}

TEST(Limiter, ReleasesSmoothlyAndCompletelyAfterAnOverload) {
    // Two sources of constant value: loud (their sum 1.22 of full scale) for
    // five frames, then quiet (0.61). The mix of constant frames shows the
    // gain directly: mix = round(sum * gain).
    constexpr unsigned kRate = 8000;
    constexpr float kReleaseMs = 100.0f;
    CWaveMix wm;
    wm.Init(2);
    LimiterSettings settings = Settings(1, kRate);
    settings.releaseMs = kReleaseMs;
    ASSERT_TRUE(wm.SetLimiter(true, settings));
    std::vector<double> gains;
    for (int pass = 0; pass < 150; ++pass) {
        const std::int64_t each = pass < 5 ? 20000 : 10000;
        const std::vector<char> frame = Encode(std::vector<std::int64_t>(160, each), 2);
        ASSERT_TRUE(wm.AddFrame(0, frame.data(), 320, nullptr));
        ASSERT_TRUE(wm.AddFrame(1, frame.data(), 320, nullptr));
        for (const std::int64_t v : Mix(wm, 2)) {
            gains.push_back(static_cast<double>(v) / static_cast<double>(2 * each));
        }
    }
    ASSERT_EQ(gains.size(), 150u * 160u);
    // Overload: the ceiling / the sum, reached within the first frame.
    const double held = static_cast<double>(Ceiling(2)) / 40000.0;
    EXPECT_NEAR(gains[159], held, 1e-4);
    // The release: never down, never up by more than one sample's worth of
    // the release's steepest slope (the time constant is a third of the
    // release time), plus a sample's rounding.
    const double slope = 3.0 / (kReleaseMs / 1000.0 * kRate);
    const double rounding = 1.0 / 20000.0;
    double biggest = 0.0;
    for (std::size_t i = 5 * 160 + 1; i < gains.size(); ++i) {
        const double step = gains[i] - gains[i - 1];
        ASSERT_GE(step, -rounding) << "sample " << i;
        ASSERT_LE(step, slope * (1.0 - held) + rounding) << "sample " << i;
        biggest = std::max(biggest, step);
    }
    EXPECT_GT(biggest, 0.0);
    // 95% of the way back within the release time (800 samples after the
    // overload ended), and exactly back to the plain sum well before the end.
    EXPECT_GT(gains[5 * 160 + 800], 1.0 - 0.06 * (1.0 - held));
    EXPECT_LT(gains[5 * 160 + 400], 1.0 - 0.1 * (1.0 - held));
    for (std::size_t i = 140 * 160; i < gains.size(); ++i) {
        ASSERT_EQ(gains[i], 1.0) << "sample " << i;
    }
}

TEST(Limiter, RefusesSettingsOutOfRange) {
    CWaveMix wm;
    LimiterSettings bad[5];
    bad[0].channels = 0;
    bad[1].samplesPerSec = 0;
    bad[2].thresholdDbfs = 0.5f;
    bad[3].releaseMs = 0.5f;
    bad[4].thresholdDbfs = std::nanf("");
    for (const LimiterSettings& s : bad) {
        EXPECT_FALSE(wm.SetLimiter(true, s));
        EXPECT_EQ(wm.LastStatus(), Status::kBadArgument);
    }
    EXPECT_TRUE(wm.SetLimiter(false, bad[0]));  // settings are ignored when turning it off
    EXPECT_EQ(wm.LastStatus(), Status::kOk);
}

TEST(TrackGain, HalfOnAnEightBitSourceIsTheExactSumRoundedOnce) {
    // Every 8-bit value of one source at gain 0.5 plus a second source at
    // gain 1: the mix is the exact sum rounded once (halves away from zero)
    // and clamped; scaling the source first (CMixer::ChangeVolume truncates)
    // and adding after is off by up to a whole step.
    CWaveMix wm;
    wm.Init(1);
    ASSERT_TRUE(wm.SetTrackGain(0, 0.5f));
    std::vector<std::int64_t> a;
    std::vector<std::int64_t> b;
    for (int v = -128; v < 128; ++v) {
        for (const int other : {-128, -3, 0, 1, 64, 127}) {
            a.push_back(v);
            b.push_back(other);
        }
    }
    ASSERT_TRUE(wm.AddFrame(0, Encode(a, 1).data(), static_cast<int>(a.size()), nullptr));
    ASSERT_TRUE(wm.AddFrame(1, Encode(b, 1).data(), static_cast<int>(b.size()), nullptr));
    const std::vector<std::int64_t> mix = Mix(wm, 1);
    ASSERT_EQ(mix.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double exact = 0.5 * static_cast<double>(a[i]) + static_cast<double>(b[i]);
        const double rounded = exact < 0 ? -std::floor(-exact + 0.5) : std::floor(exact + 0.5);
        ASSERT_EQ(mix[i], std::clamp<std::int64_t>(static_cast<std::int64_t>(rounded), -128, 127))
            << a[i] << " * 0.5 + " << b[i];
    }
}

TEST(TrackGain, ErrorOfAnInexactGainStaysWithinHalfAStep) {
    // Gain 0.3 on a 16-bit source: every sample of the mix is within half a
    // step of the exact (real) sum.
    std::mt19937 rng(3);
    CWaveMix wm;
    wm.Init(2);
    ASSERT_TRUE(wm.SetTrackGain(7, 0.3f));
    std::vector<std::int64_t> a(4000);
    std::vector<std::int64_t> b(4000);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = std::uniform_int_distribution<std::int64_t>(-20000, 20000)(rng);
        b[i] = std::uniform_int_distribution<std::int64_t>(-20000, 20000)(rng);
    }
    ASSERT_TRUE(wm.AddFrame(0, Encode(a, 2).data(), 8000, nullptr));
    ASSERT_TRUE(wm.AddFrame(7, Encode(b, 2).data(), 8000, nullptr));
    const std::vector<std::int64_t> mix = Mix(wm, 2);
    ASSERT_EQ(mix.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double exact = static_cast<double>(a[i]) + 0.3 * static_cast<double>(b[i]);
        // 0.3 is used as the nearest multiple of 1/65536: off by at most
        // 2^-17 of the sample, less than 0.16 of a step here.
        ASSERT_LE(std::abs(static_cast<double>(mix[i]) - exact), 0.5 + 20000.0 / 131072.0) << i;
    }
}

TEST(TrackGain, AMutedSourceCountsButAddsNothing) {
    CWaveMix wm;
    wm.Init(2);
    ASSERT_TRUE(wm.SetTrackGain(5, 0.0f));
    const std::vector<char> master = Encode({100, 200, 300}, 2);
    const std::vector<char> muted = Encode({9999, 9999, 9999, 9999, 9999}, 2);
    ASSERT_TRUE(wm.AddFrame(0, master.data(), 6, nullptr));
    ASSERT_TRUE(wm.AddFrame(5, muted.data(), 10, nullptr));
    CMixMinusFrames minus;
    char m[64];
    char mix[64];
    int mLen = 64;
    int mixLen = 64;
    wm.GetMixedFrame(m, mLen, mix, mixLen, nullptr, minus);
    // The muted frame is the longest: it sets the length, filled with silence.
    EXPECT_EQ(Decode(mix, mixLen, 2), (std::vector<std::int64_t>{100, 200, 300, 0, 0}));
    // Outputs in table order: SetTrackGain created source 5 first.
    ASSERT_EQ(minus.Count(), 2);
    EXPECT_EQ(minus.TrackID(0), 5);
    EXPECT_TRUE(minus.HadFrame(0));
    EXPECT_EQ(OutputOf(minus, 5, 2), (std::vector<std::int64_t>{100, 200, 300, 0, 0}));
    EXPECT_EQ(OutputOf(minus, 0, 2), (std::vector<std::int64_t>(5, 0)));
}

TEST(TrackGain, RefusesGainsOutOfRangeAndUnityRestoresThePlainPass) {
    CWaveMix wm;
    wm.Init(2);
    for (const float bad : {-0.1f, 16.01f, std::nanf(""), INFINITY}) {
        EXPECT_FALSE(wm.SetTrackGain(1, bad));
        EXPECT_EQ(wm.LastStatus(), Status::kBadArgument);
    }
    ASSERT_TRUE(wm.SetTrackGain(0, 2.0f));
    ASSERT_TRUE(wm.SetTrackGain(0, 1.0f));
    // A single frame with a gain of 1 is copied unchanged, odd byte and all.
    const char odd[3] = {1, 2, 3};
    ASSERT_TRUE(wm.AddFrame(0, odd, 3, nullptr));
    char master[8];
    char mix[8];
    int masterLen = 8;
    int mixLen = 8;
    wm.GetMixedFrame(master, masterLen, mix, mixLen, nullptr);
    EXPECT_EQ(mixLen, 3);
    EXPECT_TRUE(std::equal(odd, odd + 3, mix));
}

TEST(MixMinus, IdleSourcesReceiveTheFullMixOnlyWhenAskedFor) {
    CWaveMix wm;
    wm.Init(2);
    const std::vector<char> a = Encode({1000, -1000}, 2);
    const std::vector<char> b = Encode({30000, 30000}, 2);
    ASSERT_TRUE(wm.AddFrame(3, a.data(), 4, nullptr));  // no frame in the second pass
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(wm.AddFrame(0, b.data(), 4, nullptr));
        ASSERT_TRUE(wm.AddFrame(1, b.data(), 4, nullptr));
    }
    CMixMinusFrames minus;
    char master[8];
    char mix[8];
    int masterLen = 8;
    int mixLen = 8;
    wm.GetMixedFrame(master, masterLen, mix, mixLen, nullptr, minus);
    ASSERT_EQ(minus.Count(), 3);
    // The wide sum is 61000 and -> clamped once per output, not subtracted
    // from the clamped mix.
    EXPECT_EQ(Decode(mix, mixLen, 2), (std::vector<std::int64_t>{32767, 32767}));
    EXPECT_EQ(OutputOf(minus, 0, 2), (std::vector<std::int64_t>{31000, 29000}));
    EXPECT_EQ(OutputOf(minus, 3, 2), (std::vector<std::int64_t>{32767, 32767}));

    masterLen = mixLen = 8;
    wm.GetMixedFrame(master, masterLen, mix, mixLen, nullptr, minus);
    ASSERT_EQ(minus.Count(), 2);  // source 3 is present but idle, and not asked for
    minus.SetIncludeIdle(true);
    ASSERT_TRUE(wm.AddFrame(0, b.data(), 4, nullptr));
    masterLen = mixLen = 8;
    wm.GetMixedFrame(master, masterLen, mix, mixLen, nullptr, minus);
    // Those that took part first (only the master), then the idle ones in
    // table order.
    ASSERT_EQ(minus.Count(), 3);
    EXPECT_EQ(minus.TrackID(0), 0);
    EXPECT_TRUE(minus.HadFrame(0));
    EXPECT_EQ(Decode(minus.Data(0), minus.Length(0), 2), (std::vector<std::int64_t>{0, 0}));
    EXPECT_EQ(minus.TrackID(1), 3);
    EXPECT_FALSE(minus.HadFrame(1));
    EXPECT_EQ(Decode(minus.Data(1), minus.Length(1), 2), (std::vector<std::int64_t>{30000, 30000}));
    EXPECT_EQ(minus.TrackID(2), 1);
    EXPECT_FALSE(minus.HadFrame(2));
    EXPECT_EQ(minus.TrackID(5), 0);  // out of range
    EXPECT_EQ(minus.Data(-1), nullptr);
    EXPECT_EQ(minus.Length(3), 0);

    // No master frame: no pass, no outputs.
    masterLen = mixLen = 8;
    wm.GetMixedFrame(master, masterLen, mix, mixLen, nullptr, minus);
    EXPECT_EQ(mixLen, 0);
    EXPECT_EQ(minus.Count(), 0);
}

}  // namespace
