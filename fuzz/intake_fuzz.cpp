// The mixer's intake: the input is decoded into a mixing format and a
// sequence of AddFrame calls (random sources, formats and lengths, including
// empty, odd and refused ones), ClearTraceData and NotifyToMixe, while the
// output thread mixes. Checked: every result is as documented, every callback
// gets whole frames, staged bytes of sources fed only in the mixing format are
// exactly what is left of a frame, and, without ClearTraceData, every master
// frame is mixed exactly once.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "fuzz_check.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::MixerTestAccess;

struct Format {
    unsigned short channels;
    unsigned short rate;
    unsigned short bits;

    bool operator==(const Format& o) const {
        return channels == o.channels && rate == o.rate && bits == o.bits;
    }
    bool Convertible() const {
        return channels >= 1 && rate >= 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    }
};

constexpr long kSources[] = {0, 0, 1, 2, 7, -5, 123456};
constexpr unsigned short kMixRates[] = {8000, 16000, 44100, 48000};
constexpr unsigned short kBits[] = {8, 16, 24, 32};
constexpr unsigned short kOddBits[] = {8, 16, 24, 32, 8, 16, 0, 12};
constexpr std::size_t kMaxBlock = 1500;

struct Output {
    std::atomic<unsigned> frameSize{0};
    std::atomic<long> calls{0};
    std::atomic<long> badLengths{0};

    static void Callback(char*, unsigned masterLen, char*, unsigned mixLen, void* user, void*) {
        auto* self = static_cast<Output*>(user);
        if (masterLen != self->frameSize || mixLen != self->frameSize) {
            ++self->badLengths;
        }
        ++self->calls;
    }
};

// What the checks know about one source.
struct Shadow {
    bool onlyMixingFormat = true;
    unsigned long staged = 0;  // bytes short of a frame, while onlyMixingFormat
    long frames = 0;           // frames queued, while onlyMixingFormat
};

Format PickSourceFormat(FuzzedDataProvider& in, const Format& mixing) {
    if (in.ConsumeBool()) {
        return mixing;
    }
    Format f{};
    f.channels = in.ConsumeIntegralInRange<unsigned short>(0, 3);
    // Rates within a factor of 16 of each other, so outputs stay small.
    f.rate = in.ConsumeBool() ? in.PickValueInArray(kMixRates)
                              : in.ConsumeIntegralInRange<unsigned short>(4000, 65535);
    f.bits = in.PickValueInArray(kOddBits);
    return f;
}

void Feed(CMixer& mixer, FuzzedDataProvider& in, const Format& mixing, unsigned frameSize,
          std::map<long, Shadow>& shadows) {
    const long id = in.PickValueInArray(kSources);
    const Format f = PickSourceFormat(in, mixing);
    const auto len = in.ConsumeIntegralInRange<std::size_t>(0, kMaxBlock);
    const std::vector<char> block = in.ConsumeBytes<char>(len);
    const bool ok = mixer.AddFrame(id, block.data(), static_cast<int>(block.size()), f.channels,
                                   f.rate, f.bits, nullptr);
    const bool direct = f == mixing;
    FUZZ_CHECK(ok == (direct || f.Convertible()), "AddFrame result");
    Shadow& s = shadows[id];
    if (!direct) {
        s.onlyMixingFormat = false;
        return;
    }
    const unsigned long total = s.staged + block.size();
    s.frames += static_cast<long>(total / frameSize);
    s.staged = total % frameSize;
}

void CheckStaged(CMixer& mixer, const std::map<long, Shadow>& shadows, unsigned frameSize) {
    for (const auto& entry : shadows) {
        const auto* rec = MixerTestAccess::Record(mixer, entry.first);
        FUZZ_CHECK(rec != nullptr, "a fed source has a record");
        FUZZ_CHECK(rec->StagedBytes() < frameSize, "less than a frame stays staged");
        if (entry.second.onlyMixingFormat) {
            FUZZ_CHECK(rec->StagedBytes() == entry.second.staged, "staged bytes");
        }
    }
}

// Wakes the output thread until every master frame fed has been called back,
// so that the count does not depend on a pass being under way when Close
// stops the thread (Close drops such a pass). Bounded, in case frames were
// lost.
bool DrainMaster(CMixer& mixer, const Output& out, long frames) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.calls < frames && std::chrono::steady_clock::now() < until) {
        mixer.NotifyToMixe();
        std::this_thread::yield();
    }
    return out.calls == frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Format mixing{};
    mixing.channels = in.ConsumeIntegralInRange<unsigned short>(1, 2);
    mixing.rate = in.PickValueInArray(kMixRates);
    mixing.bits = in.PickValueInArray(kBits);
    const unsigned blockAlign = mixing.channels * (mixing.bits / 8u);
    const unsigned frameSize = blockAlign * in.ConsumeIntegralInRange<unsigned>(1, 400);

    Output out;
    out.frameSize = frameSize;
    CMixer mixer;
    FUZZ_CHECK(mixer.Open(mixing.channels, mixing.rate, mixing.bits,
                          static_cast<unsigned short>(frameSize), &Output::Callback, &out),
               "Open");
    std::map<long, Shadow> shadows;
    bool cleared = false;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                mixer.ClearTraceData();
                cleared = true;
                for (auto& entry : shadows) {
                    entry.second.staged = 0;
                }
                break;
            case 1:
                mixer.NotifyToMixe();
                break;
            case 2:
                FUZZ_CHECK(!mixer.AddFrame(1, nullptr, 4, mixing.channels, mixing.rate, mixing.bits,
                                           nullptr),
                           "null data refused");
                FUZZ_CHECK(
                    !mixer.AddFrame(1, "", -1, mixing.channels, mixing.rate, mixing.bits, nullptr),
                    "negative length refused");
                break;
            default:
                Feed(mixer, in, mixing, frameSize, shadows);
                break;
        }
    }
    CheckStaged(mixer, shadows, frameSize);
    const auto master = shadows.find(0);
    if (!cleared && master != shadows.end() && master->second.onlyMixingFormat) {
        FUZZ_CHECK(DrainMaster(mixer, out, master->second.frames), "every master frame mixed once");
        FUZZ_CHECK(MixerTestAccess::QueuedFrames(mixer, 0) == 0, "no master frame left");
    }
    FUZZ_CHECK(mixer.Close(), "Close");
    FUZZ_CHECK(out.badLengths == 0, "callbacks get whole frames");
    return 0;
}
