// CWaveMix against the plain reference model of the mixing pass: random
// tracks, frames, widths and capacities with fixed seeds; every pass must give
// byte-identical master and mix buffers, the same lengths and tag, and leave
// the same frames queued.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "carovel/wave_mix.h"
#include "support/reference_mix.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixMinusFrames;
using _Carovel::CWaveMix;
using _Carovel::LimiterSettings;
using _Carovel::WaveMixTestAccess;
using carovel_test::ModelLimiter;
using carovel_test::ModelPassResult;
using carovel_test::ReferenceMixer;

constexpr unsigned char kUntouched = 0xA5;
constexpr std::size_t kGuard = 16;

// Both mixers fed the same frames.
struct MixerPair {
    CWaveMix lib;
    ReferenceMixer model;
    std::unordered_set<long> ids;  // every track identifier fed

    void Init(unsigned short width) {
        lib.Init(width);
        model.Init(width);
        ids.clear();
    }
    void Add(long id, const std::vector<char>& bytes, void* tag) {
        ASSERT_TRUE(lib.AddFrame(id, bytes.data(), static_cast<int>(bytes.size()), tag));
        model.AddFrame(id, bytes, tag);
        ids.insert(id);
    }
    void Gain(long id, float gain) {
        ASSERT_TRUE(lib.SetTrackGain(id, gain));
        model.SetGain(id, gain);
        ids.insert(id);
    }
    void Limiter(bool on, const ModelLimiter& m = ModelLimiter()) {
        LimiterSettings settings;
        settings.channels = static_cast<unsigned short>(m.channels);
        settings.samplesPerSec = m.rate;
        settings.thresholdDbfs = static_cast<float>(m.thresholdDb);
        settings.releaseMs = static_cast<float>(m.releaseMs);
        ASSERT_TRUE(lib.SetLimiter(on, settings));
        model.SetLimiter(on, m);
    }
};

// A buffer of `cap` bytes with a guard behind it, all set to kUntouched.
std::vector<char> GuardedBuffer(int cap) {
    return std::vector<char>(static_cast<std::size_t>(std::max(cap, 0)) + kGuard,
                             static_cast<char>(kUntouched));
}

// Everything from `len` on (the unwritten capacity and the guard) is intact.
bool UntouchedFrom(const std::vector<char>& buf, std::size_t len) {
    return std::all_of(buf.begin() + static_cast<long>(len), buf.end(),
                       [](char c) { return static_cast<unsigned char>(c) == kUntouched; });
}

// Runs one pass on both mixers and compares everything the pass reports.
void ComparePass(MixerPair& pair, int capA, int capB, const std::string& where) {
    SCOPED_TRACE(where + " capA=" + std::to_string(capA) + " capB=" + std::to_string(capB));
    std::vector<char> master = GuardedBuffer(capA);
    std::vector<char> mix = GuardedBuffer(capB);
    int masterLen = capA;
    int mixLen = capB;
    void* const kNoTag = &master;
    void* tag = kNoTag;
    pair.lib.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag);
    const ModelPassResult want = pair.model.Pass(capA, capB);

    ASSERT_EQ(masterLen, static_cast<int>(want.master.size()));
    ASSERT_EQ(mixLen, static_cast<int>(want.mix.size()));
    EXPECT_TRUE(std::equal(want.master.begin(), want.master.end(), master.begin()));
    EXPECT_TRUE(std::equal(want.mix.begin(), want.mix.end(), mix.begin()));
    EXPECT_TRUE(UntouchedFrom(master, want.master.size()));
    EXPECT_TRUE(UntouchedFrom(mix, want.mix.size()));
    EXPECT_EQ(tag, want.tagSet ? want.tag : kNoTag);
    for (const long id : pair.ids) {
        EXPECT_EQ(WaveMixTestAccess::QueuedFrames(pair.lib, id), pair.model.Queued(id))
            << "track " << id;
    }
}

// A pass with mix-minus outputs on both mixers; everything the pass reports
// must agree byte for byte.
void CompareMinusPass(MixerPair& pair, CMixMinusFrames& minus, int capA, int capB,
                      const std::string& where) {
    SCOPED_TRACE(where + " capA=" + std::to_string(capA) + " capB=" + std::to_string(capB) +
                 (minus.IncludeIdle() ? " with idle" : ""));
    std::vector<char> master = GuardedBuffer(capA);
    std::vector<char> mix = GuardedBuffer(capB);
    int masterLen = capA;
    int mixLen = capB;
    void* const kNoTag = &master;
    void* tag = kNoTag;
    pair.lib.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag, minus);
    const ModelPassResult want = pair.model.Pass(capA, capB, true, minus.IncludeIdle());

    ASSERT_EQ(masterLen, static_cast<int>(want.master.size()));
    ASSERT_EQ(mixLen, static_cast<int>(want.mix.size()));
    EXPECT_TRUE(std::equal(want.master.begin(), want.master.end(), master.begin()));
    EXPECT_TRUE(std::equal(want.mix.begin(), want.mix.end(), mix.begin()));
    EXPECT_TRUE(UntouchedFrom(mix, want.mix.size()));
    EXPECT_EQ(tag, want.tagSet ? want.tag : kNoTag);
    EXPECT_EQ(minus.LastStatus(), _Carovel::Status::kOk);
    ASSERT_EQ(minus.Count(), static_cast<int>(want.minus.size()));
    for (int i = 0; i < minus.Count(); ++i) {
        const auto& out = want.minus[static_cast<std::size_t>(i)];
        ASSERT_EQ(minus.TrackID(i), out.id) << "output " << i;
        ASSERT_EQ(minus.HadFrame(i), out.hadFrame) << "output " << i;
        ASSERT_EQ(minus.Length(i), static_cast<int>(out.bytes.size())) << "output " << i;
        ASSERT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), minus.Data(i)))
            << "output " << i << " (track " << out.id << ")";
    }
    for (const long id : pair.ids) {
        EXPECT_EQ(WaveMixTestAccess::QueuedFrames(pair.lib, id), pair.model.Queued(id))
            << "track " << id;
    }
}

// Random frames, biased toward full-scale samples so that sums clamp often.
class FrameMaker {
  public:
    explicit FrameMaker(std::uint32_t seed) : m_rng(seed) {}

    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
    bool Chance(int percent) { return Uniform(1, 100) <= percent; }

    // Lengths: empty, odd, whole samples, around a kernel block boundary.
    int Length(unsigned width) {
        switch (Uniform(0, 5)) {
            case 0:
                return Chance(50) ? 0 : Uniform(1, 3);
            case 1:
                return Uniform(1, 64) * static_cast<int>(width);
            case 2:
                return 512 * static_cast<int>(width) + Uniform(-5, 5);
            case 3:
                return Uniform(0, 3000);
            default:
                return Uniform(1, 200) * 2 + 1;  // odd
        }
    }

    std::vector<char> Frame(int len, unsigned width) {
        std::vector<char> bytes(static_cast<std::size_t>(len));
        const int mode = Uniform(0, 3);
        for (std::size_t pos = 0; pos < bytes.size(); pos += width) {
            const std::uint32_t v = Sample(mode, width);
            for (unsigned b = 0; b < width && pos + b < bytes.size(); ++b) {
                bytes[pos + b] = static_cast<char>((v >> (8 * b)) & 0xff);
            }
        }
        return bytes;
    }

  private:
    // Raw little-endian bit patterns: near the top or bottom of the range of
    // either encoding, the middle, or anything.
    std::uint32_t Sample(int mode, unsigned width) {
        const std::uint32_t mask = width >= 4 ? 0xffffffffu : (std::uint32_t{1} << (8 * width)) - 1;
        const std::uint32_t half = (mask >> 1) + 1;
        const auto jitter = static_cast<std::uint32_t>(Uniform(0, 3));
        switch (mode == 3 ? Uniform(0, 4) : mode) {
            case 0:
                return (mask - jitter) & mask;  // -1.. or the top of offset-binary
            case 1:
                return (half - 1 - jitter) & mask;  // the signed maximum
            case 2:
                return (half + jitter) & mask;  // the signed minimum
            default:
                return static_cast<std::uint32_t>(m_rng()) & mask;
        }
    }

    std::mt19937 m_rng;
};

long TrackID(FrameMaker& gen, int index) {
    if (index == 0) {
        return gen.Chance(90) ? 0 : 17;  // now and then no master at all
    }
    return gen.Chance(70) ? index : gen.Uniform(-100000, 100000) | 1;
}

int Capacity(FrameMaker& gen, unsigned width) {
    switch (gen.Uniform(0, 4)) {
        case 0:
            return gen.Uniform(-3, 3);
        case 1:
            return gen.Uniform(1, 600) * static_cast<int>(width);
        case 2:
            return gen.Uniform(1, 600) * static_cast<int>(width) + gen.Uniform(1, 3);
        default:
            return gen.Uniform(0, 3200);
    }
}

// One randomised case: a few tracks with queues of frames, then passes until
// every queue could be empty, plus one.
void RunCase(MixerPair& pair, std::uint32_t seed) {
    FrameMaker gen(seed);
    const unsigned width = gen.Chance(97) ? static_cast<unsigned>(gen.Uniform(1, 4))
                                          : static_cast<unsigned>(gen.Uniform(5, 6)) % 6;
    pair.Init(static_cast<unsigned short>(width));
    const unsigned w = width >= 1 && width <= 4 ? width : 2;  // frame layout for odd widths
    const int tracks = gen.Chance(10) ? gen.Uniform(60, 90) : gen.Uniform(1, 9);
    int mostFrames = 0;
    for (int t = 0; t < tracks; ++t) {
        const long id = TrackID(gen, t);
        const int frames = gen.Uniform(0, 3);
        mostFrames = std::max(mostFrames, frames);
        for (int f = 0; f < frames; ++f) {
            pair.Add(id, gen.Frame(gen.Length(w), w),
                     reinterpret_cast<void*>(std::uintptr_t{seed} * 16 + f + 1));
        }
    }
    for (int pass = 0; pass <= mostFrames; ++pass) {
        ComparePass(pair, Capacity(gen, w), Capacity(gen, w),
                    "seed " + std::to_string(seed) + " width " + std::to_string(width) + " pass " +
                        std::to_string(pass));
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

TEST(ReferenceModel, RandomPassesMatchTheModelByteForByte) {
    constexpr std::uint32_t kCases = 4000;
    MixerPair pair;  // one pair for every case: Init empties both
    for (std::uint32_t seed = 1; seed <= kCases && !::testing::Test::HasFailure(); ++seed) {
        RunCase(pair, seed);
    }
}

TEST(ReferenceModel, ClampingAtEveryWidthMatchesTheModel) {
    // Many full-scale frames per position, in groups that are not multiples
    // of four, at every width.
    MixerPair pair;
    for (unsigned width = 1; width <= 4; ++width) {
        for (int count : {2, 3, 4, 5, 7, 8, 9, 65, 130}) {
            FrameMaker gen(width * 1000 + static_cast<unsigned>(count));
            pair.Init(static_cast<unsigned short>(width));
            for (int t = 0; t < count; ++t) {
                pair.Add(t, gen.Frame(gen.Uniform(1, 700) * static_cast<int>(width), width),
                         nullptr);
            }
            ComparePass(pair, 4096, 4096,
                        "width " + std::to_string(width) + " count " + std::to_string(count));
        }
    }
}

TEST(ReferenceModel, MoreThanSixtyFiveThousandFullScaleFramesStillClampCorrectly) {
    // Past 65536 frames the narrow widths need a wider accumulator; the sum
    // of this many minimum samples does not fit 32 bits.
    constexpr int kTracks = 65536 + 3;
    for (unsigned width : {1u, 2u}) {
        MixerPair pair;
        pair.Init(static_cast<unsigned short>(width));
        const std::vector<char> lowest =
            width == 2 ? std::vector<char>{0, -128, 0, -128} : std::vector<char>{0, 0};
        const std::vector<char> highest =
            width == 2 ? std::vector<char>{-1, 127, -1, 127} : std::vector<char>{-1, -1};
        for (int t = 0; t < kTracks; ++t) {
            pair.Add(t, t == 1 ? highest : lowest, nullptr);
        }
        ComparePass(pair, 8, 8, "width " + std::to_string(width));
    }
}

}  // namespace

namespace {

// Gains the tests pick from: unity, mute, exact and inexact fractions, boosts,
// the extremes.
float PickGain(FrameMaker& gen) {
    constexpr float kGains[] = {1.0f, 0.0f, 0.5f, 0.3f, 0.7071f, 2.0f, 1.5f, 16.0f, 1e-5f, 3.1f};
    return kGains[gen.Uniform(0, 9)];
}

// Like RunCase, with gains on some tracks, the limiter on in some cases and
// mix-minus outputs (with or without the idle tracks) on every pass.
void RunConferenceCase(MixerPair& pair, CMixMinusFrames& minus, std::uint32_t seed) {
    FrameMaker gen(seed);
    const auto width = static_cast<unsigned>(gen.Uniform(1, 4));
    pair.Init(static_cast<unsigned short>(width));
    if (gen.Chance(40)) {
        ModelLimiter lim;
        lim.channels = static_cast<unsigned>(gen.Uniform(1, 3));
        lim.rate = gen.Chance(50) ? 8000u : static_cast<unsigned>(gen.Uniform(1, 48000));
        lim.thresholdDb = gen.Chance(50) ? -1.0 : -gen.Uniform(0, 60);
        lim.releaseMs = gen.Chance(50) ? 100.0 : gen.Uniform(1, 10000);
        pair.Limiter(true, lim);
    } else {
        pair.Limiter(false);
    }
    minus.SetIncludeIdle(gen.Chance(50));
    const int tracks = gen.Chance(10) ? gen.Uniform(60, 90) : gen.Uniform(1, 9);
    int mostFrames = 0;
    for (int t = 0; t < tracks; ++t) {
        const long id = TrackID(gen, t);
        if (gen.Chance(40)) {
            pair.Gain(id, PickGain(gen));
        }
        const int frames = gen.Uniform(0, 3);
        mostFrames = std::max(mostFrames, frames);
        for (int f = 0; f < frames; ++f) {
            pair.Add(id, gen.Frame(gen.Length(width), width),
                     reinterpret_cast<void*>(std::uintptr_t{seed} * 16 + f + 1));
        }
    }
    for (int pass = 0; pass <= mostFrames; ++pass) {
        CompareMinusPass(pair, minus, Capacity(gen, width), Capacity(gen, width),
                         "seed " + std::to_string(seed) + " width " + std::to_string(width) +
                             " pass " + std::to_string(pass));
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

TEST(ReferenceModel, MixMinusGainsAndLimiterMatchTheModelByteForByte) {
    constexpr std::uint32_t kCases = 3000;
    MixerPair pair;
    CMixMinusFrames minus;  // one for every case: its room is reused
    for (std::uint32_t seed = 1; seed <= kCases && !::testing::Test::HasFailure(); ++seed) {
        RunConferenceCase(pair, minus, seed);
    }
}

TEST(ReferenceModel, LimiterGainsPersistAcrossPassesLikeTheModel) {
    // Long runs of passes of loud and quiet frames with the limiter on, so
    // that gains attack, release and snap back to 1 over many passes.
    for (unsigned width = 1; width <= 4; ++width) {
        MixerPair pair;
        CMixMinusFrames minus;
        minus.SetIncludeIdle(true);
        pair.Init(static_cast<unsigned short>(width));
        ModelLimiter lim;
        lim.channels = 2;
        lim.rate = 8000;
        lim.releaseMs = 30;
        pair.Limiter(true, lim);
        pair.Gain(2, 0.5f);
        FrameMaker gen(width * 77);
        for (int pass = 0; pass < 120; ++pass) {
            const bool loud = (pass / 10) % 3 == 0;
            for (long id = 0; id < 4; ++id) {
                if (id == 3 && pass % 4 == 1) {
                    continue;  // now and then idle: it receives the full mix
                }
                std::vector<char> frame = gen.Frame(320 * static_cast<int>(width), width);
                if (!loud) {
                    // Quiet: every sample a small value around silence.
                    for (std::size_t i = 0; i < frame.size(); i += width) {
                        const std::int64_t v = std::int64_t{gen.Uniform(-20, 20)} *
                                               (std::int64_t{1} << (8 * (width - 1)));
                        std::vector<char> one;
                        carovel_test::ModelWriteSample(v, width, one);
                        std::copy(one.begin(), one.end(), frame.begin() + static_cast<long>(i));
                    }
                }
                pair.Add(id, frame, nullptr);
            }
            CompareMinusPass(pair, minus, 320 * static_cast<int>(width),
                             320 * static_cast<int>(width),
                             "width " + std::to_string(width) + " pass " + std::to_string(pass));
            if (::testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

TEST(ReferenceModel, MixMinusOfMoreThanSixtyFiveThousandSourcesAtEveryWidth) {
    // Full-scale frames of 65539 sources: the sums clip, the narrow widths
    // need wide accumulators, and with gains the 32-bit sums need more than
    // 64 bits.
    constexpr int kTracks = 65536 + 3;
    for (unsigned width = 1; width <= 4; ++width) {
        for (const bool gains : {false, true}) {
            if (gains && width % 2 == 1) {
                continue;  // with gains, 16 bits (64-bit sums) and 32 bits (128-bit sums)
            }
            SCOPED_TRACE("width " + std::to_string(width) + (gains ? " with gains" : ""));
            MixerPair pair;
            CMixMinusFrames minus;
            pair.Init(static_cast<unsigned short>(width));
            FrameMaker gen(width * 2 + (gains ? 1 : 0));
            for (int t = 0; t < kTracks; ++t) {
                if (gains && t % 3 == 0) {
                    pair.Gain(t, t % 2 == 0 ? 16.0f : 0.3f);
                }
                pair.Add(t, gen.Frame(2 * static_cast<int>(width), width), nullptr);
            }
            CompareMinusPass(pair, minus, 8, 2 * static_cast<int>(width), "");
            if (::testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

}  // namespace

// The float mixing format against the double-precision model: random
// frames of floats (within and beyond full scale), gains, the limiter and
// mix-minus outputs. Every output sample must lie within the model's bound
// (one float rounding per addition) of the exact value; a lone frame at
// gain 1 is copied byte for byte.
namespace {

std::vector<char> FloatFrame(FrameMaker& gen, int samples, int extraBytes) {
    std::vector<char> bytes(static_cast<std::size_t>(samples) * 4 +
                            static_cast<std::size_t>(extraBytes));
    const float scale = gen.Chance(30) ? 4.0f : 1.0f;
    for (int i = 0; i < samples; ++i) {
        float v = static_cast<float>(gen.Uniform(-1000000, 1000000)) / 1000000.0f * scale;
        if (gen.Chance(5)) {
            v = gen.Chance(50) ? 1.0f : -1.0f;
        }
        std::memcpy(bytes.data() + 4 * static_cast<std::size_t>(i), &v, 4);
    }
    return bytes;
}

struct FloatPair {
    CWaveMix lib;
    carovel_test::ReferenceFloatMixer model;
    std::unordered_set<long> ids;
};

// Checks one library output against the model's values and bounds.
void ExpectWithin(const carovel_test::ModelFloatOut& want, const char* got, int gotLen,
                  bool limited, double ceiling, const std::string& what) {
    ASSERT_EQ(gotLen, static_cast<int>(4 * want.values.size())) << what;
    for (std::size_t i = 0; i < want.values.size(); ++i) {
        float v;
        std::memcpy(&v, got + 4 * i, 4);
        const double ref = want.values[i];
        // The limiter's gains are found from the float sums in the library
        // and from the exact ones in the model; they agree to a few float
        // roundings of the ceiling.
        const double tolerance = want.bounds[i] + (limited ? 1e-6 * std::max(1.0, ceiling) : 0.0);
        ASSERT_LE(std::fabs(static_cast<double>(v) - ref), tolerance)
            << what << " position " << i << ": " << v << " against " << ref;
        if (limited) {
            ASSERT_LE(std::fabs(static_cast<double>(v)), ceiling * (1.0 + 1e-6) + want.bounds[i])
                << what << " position " << i;
        }
    }
}

void RunFloatCase(FloatPair& pair, CMixMinusFrames& minus, std::uint32_t seed) {
    FrameMaker gen(seed);
    pair.lib.Init(_Carovel::SampleType::kF32);
    pair.model.Init();
    pair.ids.clear();
    const bool limiter = gen.Chance(30);
    ModelLimiter lim;
    if (limiter) {
        lim.channels = static_cast<unsigned>(gen.Uniform(1, 3));
        lim.rate = gen.Chance(50) ? 48000u : static_cast<unsigned>(gen.Uniform(1, 192000));
        lim.thresholdDb = gen.Chance(50) ? -1.0 : -gen.Uniform(0, 60);
        lim.releaseMs = gen.Chance(50) ? 100.0 : gen.Uniform(1, 10000);
    }
    LimiterSettings settings;
    settings.channels = static_cast<unsigned short>(lim.channels);
    settings.samplesPerSec = lim.rate;
    settings.thresholdDbfs = static_cast<float>(lim.thresholdDb);
    settings.releaseMs = static_cast<float>(lim.releaseMs);
    ASSERT_TRUE(pair.lib.SetLimiter(limiter, settings));
    pair.model.SetLimiter(limiter, lim);
    minus.SetIncludeIdle(gen.Chance(50));
    const bool withMinus = gen.Chance(60);
    const int tracks = gen.Chance(10) ? gen.Uniform(60, 90) : gen.Uniform(1, 9);
    int mostFrames = 0;
    for (int t = 0; t < tracks; ++t) {
        const long id = TrackID(gen, t);
        if (gen.Chance(40)) {
            const float gain = PickGain(gen);
            ASSERT_TRUE(pair.lib.SetTrackGain(id, gain));
            pair.model.SetGain(id, gain);
            pair.ids.insert(id);
        }
        const int frames = gen.Uniform(0, 3);
        mostFrames = std::max(mostFrames, frames);
        for (int f = 0; f < frames; ++f) {
            const int samples = gen.Chance(20) ? gen.Uniform(0, 3000) : gen.Uniform(0, 600);
            const std::vector<char> bytes = FloatFrame(gen, samples, gen.Chance(20) ? 2 : 0);
            void* const tag = reinterpret_cast<void*>(std::uintptr_t{seed} * 16 + f + 1);
            ASSERT_TRUE(pair.lib.AddFrame(id, bytes.data(), static_cast<int>(bytes.size()), tag));
            pair.model.AddFrame(id, bytes, tag);
            pair.ids.insert(id);
        }
    }
    for (int pass = 0; pass <= mostFrames; ++pass) {
        const std::string where = "seed " + std::to_string(seed) + " pass " + std::to_string(pass);
        const int capA = Capacity(gen, 4);
        const int capB = Capacity(gen, 4);
        std::vector<char> master = GuardedBuffer(capA);
        std::vector<char> mix = GuardedBuffer(capB);
        int masterLen = capA;
        int mixLen = capB;
        void* const kNoTag = &master;
        void* tag = kNoTag;
        if (withMinus) {
            pair.lib.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag, minus);
        } else {
            pair.lib.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag);
        }
        const carovel_test::ModelFloatPass want =
            pair.model.Pass(capA, capB, withMinus, minus.IncludeIdle());
        ASSERT_EQ(masterLen, static_cast<int>(want.master.size())) << where;
        EXPECT_TRUE(std::equal(want.master.begin(), want.master.end(), master.begin())) << where;
        EXPECT_EQ(tag, want.tagSet ? want.tag : kNoTag) << where;
        const double ceiling = pair.model.Ceiling();
        if (!want.copied.empty()) {
            ASSERT_EQ(mixLen, static_cast<int>(want.copied.size())) << where;
            EXPECT_TRUE(std::equal(want.copied.begin(), want.copied.end(), mix.begin())) << where;
        } else {
            ExpectWithin(want.mix, mix.data(), mixLen, limiter, ceiling, where + " mix");
        }
        EXPECT_TRUE(UntouchedFrom(mix, static_cast<std::size_t>(std::max(mixLen, 0)))) << where;
        if (withMinus) {
            ASSERT_EQ(minus.Count(), static_cast<int>(want.minus.size())) << where;
            for (int i = 0; i < minus.Count(); ++i) {
                const auto& out = want.minus[static_cast<std::size_t>(i)];
                ASSERT_EQ(minus.TrackID(i), out.id) << where << " output " << i;
                ASSERT_EQ(minus.HadFrame(i), out.hadFrame) << where << " output " << i;
                ExpectWithin(out, minus.Data(i), minus.Length(i), limiter, ceiling,
                             where + " minus output " + std::to_string(i));
            }
        }
        for (const long id : pair.ids) {
            ASSERT_EQ(WaveMixTestAccess::QueuedFrames(pair.lib, id), pair.model.Queued(id))
                << where << " track " << id;
        }
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

TEST(ReferenceModel, FloatMixingMatchesTheDoubleModelWithinFloatRounding) {
    constexpr std::uint32_t kCases = 1500;
    FloatPair pair;
    CMixMinusFrames minus;
    for (std::uint32_t seed = 1; seed <= kCases && !::testing::Test::HasFailure(); ++seed) {
        RunFloatCase(pair, minus, seed);
    }
}

TEST(ReferenceModel, FloatMixKeepsSourcesAboveFullScale) {
    // Two sources at +6 dBFS (2.0) and 0.5: the float mix holds 2.5 where an
    // integer mix would clamp, and the mix-minus outputs keep their levels.
    CWaveMix mixer;
    mixer.Init(_Carovel::SampleType::kF32);
    const float a[] = {2.0f, -2.0f, 1.5f, 0.0f};
    const float b[] = {0.5f, -0.5f, 0.25f, 3.0f};
    ASSERT_TRUE(mixer.AddFrame(0, reinterpret_cast<const char*>(a), sizeof a, nullptr));
    ASSERT_TRUE(mixer.AddFrame(1, reinterpret_cast<const char*>(b), sizeof b, nullptr));
    float master[4] = {};
    float mix[4] = {};
    int masterLen = sizeof master;
    int mixLen = sizeof mix;
    CMixMinusFrames minus;
    mixer.GetMixedFrame(reinterpret_cast<char*>(master), masterLen, reinterpret_cast<char*>(mix),
                        mixLen, nullptr, minus);
    ASSERT_EQ(mixLen, static_cast<int>(sizeof mix));
    const float want[] = {2.5f, -2.5f, 1.75f, 3.0f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(mix[i], want[i]) << i;
    }
    ASSERT_EQ(minus.Count(), 2);
    float own0[4];
    std::memcpy(own0, minus.Data(0), sizeof own0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(own0[i], b[i]) << i;  // source 0 hears source 1 alone
    }
}

}  // namespace
