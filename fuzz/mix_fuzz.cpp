// The frame mixer against the reference model: the input is decoded into a
// sample width and a sequence of AddFrame, mixing-pass, ClearBuffs,
// SetTrackGain and SetLimiter calls on both; every pass (with or without
// mix-minus outputs) must agree byte for byte, with the same lengths and
// tag, and the queues must hold the same number of frames. Limited outputs
// must also stay within the limiter's ceiling.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "carovel/wave_mix.h"
#include "fuzz_check.h"
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

constexpr long kTrackIDs[] = {0, 1, 2, 3, -1, 70000, 0, 1};
constexpr int kMaxFrameBytes = 700;
constexpr float kGains[] = {1.0f, 0.0f, 0.5f, 0.3f, 2.0f, 16.0f, 0.7071f, 1e-5f};

// The limiter's state as the fuzzer last set it, for the ceiling check.
struct LimiterUse {
    bool on = false;
    double thresholdDb = -1.0;
};

// True when every sample of an output is within the ceiling for thresholdDb.
bool WithinCeiling(const char* data, int len, unsigned width, double thresholdDb) {
    if (width < 1 || width > 4) {
        return true;
    }
    const double fullScale = std::ldexp(1.0, static_cast<int>(8 * width - 1)) - 1.0;
    const double ceiling = std::floor(fullScale * std::pow(10.0, thresholdDb / 20.0));
    for (int pos = 0; pos + static_cast<int>(width) <= len; pos += static_cast<int>(width)) {
        const std::int64_t v = carovel_test::ModelReadSample(data + pos, width);
        if (static_cast<double>(v < 0 ? -v : v) > ceiling) {
            return false;
        }
    }
    return true;
}

// One pass on both mixers; buffers are exactly as large as their capacity so
// that the address sanitizer catches any write beyond it.
void ComparePass(CWaveMix& lib, ReferenceMixer& model, FuzzedDataProvider& in, unsigned width,
                 const LimiterUse& limiter) {
    const int capA = in.ConsumeIntegralInRange<int>(-2, kMaxFrameBytes + 8);
    const int capB = in.ConsumeIntegralInRange<int>(-2, kMaxFrameBytes + 8);
    const int outputs = in.ConsumeIntegralInRange<int>(0, 2);  // none, taking part, all
    std::vector<char> master(static_cast<std::size_t>(std::max(capA, 0)));
    std::vector<char> mix(static_cast<std::size_t>(std::max(capB, 0)));
    int masterLen = capA;
    int mixLen = capB;
    void* const kNoTag = &master;
    void* tag = kNoTag;
    static CMixMinusFrames minus;
    if (outputs == 0) {
        lib.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag);
    } else {
        minus.SetIncludeIdle(outputs == 2);
        lib.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag, minus);
    }
    const ModelPassResult want = model.Pass(capA, capB, outputs != 0, outputs == 2);

    FUZZ_CHECK(masterLen == static_cast<int>(want.master.size()), "master length");
    FUZZ_CHECK(mixLen == static_cast<int>(want.mix.size()), "mix length");
    FUZZ_CHECK(std::equal(want.master.begin(), want.master.end(), master.begin()), "master bytes");
    FUZZ_CHECK(std::equal(want.mix.begin(), want.mix.end(), mix.begin()), "mix bytes");
    FUZZ_CHECK(tag == (want.tagSet ? want.tag : kNoTag), "tag");
    if (limiter.on && (want.minus.size() > 0 || want.mix.size() > 0)) {
        // A single taken frame with unity gain is limited too.
        FUZZ_CHECK(WithinCeiling(mix.data(), mixLen, width, limiter.thresholdDb), "mix ceiling");
    }
    if (outputs == 0) {
        return;
    }
    FUZZ_CHECK(minus.Count() == static_cast<int>(want.minus.size()), "output count");
    for (int i = 0; i < minus.Count(); ++i) {
        const auto& out = want.minus[static_cast<std::size_t>(i)];
        FUZZ_CHECK(minus.TrackID(i) == out.id, "output source");
        FUZZ_CHECK(minus.HadFrame(i) == out.hadFrame, "output had a frame");
        FUZZ_CHECK(minus.Length(i) == static_cast<int>(out.bytes.size()), "output length");
        FUZZ_CHECK(std::equal(out.bytes.begin(), out.bytes.end(), minus.Data(i)), "output bytes");
        FUZZ_CHECK(!limiter.on ||
                       WithinCeiling(minus.Data(i), minus.Length(i), width, limiter.thresholdDb),
                   "output ceiling");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One frame mixer for the whole run: Init empties it, and its destructor
    // pauses a millisecond.
    static CWaveMix lib;
    FuzzedDataProvider in(data, size);
    const auto width = in.ConsumeIntegralInRange<unsigned short>(0, 5);
    ReferenceMixer model;
    lib.Init(width);
    model.Init(width);
    std::set<long> used;
    std::uintptr_t nextTag = 1;

    LimiterUse limiter;
    lib.SetLimiter(false);
    model.SetLimiter(false);

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 6)) {
            case 0:
            case 1: {
                const long id = in.PickValueInArray(kTrackIDs);
                const auto len = in.ConsumeIntegralInRange<std::size_t>(0, kMaxFrameBytes);
                const std::vector<char> frame = in.ConsumeBytes<char>(len);
                void* const tag = reinterpret_cast<void*>(nextTag++);
                FUZZ_CHECK(lib.AddFrame(id, frame.data(), static_cast<int>(frame.size()), tag),
                           "AddFrame");
                model.AddFrame(id, frame, tag);
                used.insert(id);
                break;
            }
            case 2:
            case 3:
                ComparePass(lib, model, in, width, limiter);
                break;
            case 4: {
                const long id = in.PickValueInArray(kTrackIDs);
                const float gain = in.PickValueInArray(kGains);
                FUZZ_CHECK(lib.SetTrackGain(id, gain), "SetTrackGain");
                model.SetGain(id, gain);
                used.insert(id);
                break;
            }
            case 5: {
                ModelLimiter m;
                limiter.on = in.ConsumeBool();
                m.channels = in.ConsumeIntegralInRange<unsigned>(1, 3);
                m.rate = in.ConsumeIntegralInRange<unsigned>(1, 48000);
                m.thresholdDb = -static_cast<double>(in.ConsumeIntegralInRange<int>(0, 60));
                m.releaseMs = static_cast<double>(in.ConsumeIntegralInRange<int>(1, 10000));
                limiter.thresholdDb = m.thresholdDb;
                LimiterSettings settings;
                settings.channels = static_cast<unsigned short>(m.channels);
                settings.samplesPerSec = m.rate;
                settings.thresholdDbfs = static_cast<float>(m.thresholdDb);
                settings.releaseMs = static_cast<float>(m.releaseMs);
                FUZZ_CHECK(lib.SetLimiter(limiter.on, settings), "SetLimiter");
                model.SetLimiter(limiter.on, m);
                break;
            }
            default:
                lib.ClearBuffs();
                model.Clear();
                break;
        }
        for (const long id : used) {
            FUZZ_CHECK(WaveMixTestAccess::QueuedFrames(lib, id) == model.Queued(id),
                       "queued frames");
        }
    }
    return 0;
}
