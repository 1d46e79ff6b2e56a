// The frame mixer against the reference model: the input is decoded into a
// sample width and a sequence of AddFrame, mixing-pass and ClearBuffs calls on
// both; every pass must agree byte for byte, with the same lengths and tag,
// and the queues must hold the same number of frames.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "carovel/wave_mix.h"
#include "fuzz_check.h"
#include "support/reference_mix.h"
#include "support/test_access.h"

namespace {

using _Carovel::CWaveMix;
using _Carovel::WaveMixTestAccess;
using carovel_test::ModelPassResult;
using carovel_test::ReferenceMixer;

constexpr long kTrackIDs[] = {0, 1, 2, 3, -1, 70000, 0, 1};
constexpr int kMaxFrameBytes = 700;

// One pass on both mixers; buffers are exactly as large as their capacity so
// that the address sanitizer catches any write beyond it.
void ComparePass(CWaveMix& lib, ReferenceMixer& model, FuzzedDataProvider& in) {
    const int capA = in.ConsumeIntegralInRange<int>(-2, kMaxFrameBytes + 8);
    const int capB = in.ConsumeIntegralInRange<int>(-2, kMaxFrameBytes + 8);
    std::vector<char> master(static_cast<std::size_t>(std::max(capA, 0)));
    std::vector<char> mix(static_cast<std::size_t>(std::max(capB, 0)));
    int masterLen = capA;
    int mixLen = capB;
    void* const kNoTag = &master;
    void* tag = kNoTag;
    lib.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag);
    const ModelPassResult want = model.Pass(capA, capB);

    FUZZ_CHECK(masterLen == static_cast<int>(want.master.size()), "master length");
    FUZZ_CHECK(mixLen == static_cast<int>(want.mix.size()), "mix length");
    FUZZ_CHECK(std::equal(want.master.begin(), want.master.end(), master.begin()), "master bytes");
    FUZZ_CHECK(std::equal(want.mix.begin(), want.mix.end(), mix.begin()), "mix bytes");
    FUZZ_CHECK(tag == (want.tagSet ? want.tag : kNoTag), "tag");
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

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
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
                ComparePass(lib, model, in);
                break;
            default:
                lib.ClearBuffs();
                model.Init(width);
                break;
        }
        for (const long id : used) {
            FUZZ_CHECK(WaveMixTestAccess::QueuedFrames(lib, id) == model.Queued(id),
                       "queued frames");
        }
    }
    return 0;
}
