// Live mode's settings, what its intake and its passes share, and the feeding
// of a source's blocks in either mode.
#ifndef CAROVEL_MIXER_LIVE_MODE_H
#define CAROVEL_MIXER_LIVE_MODE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "carovel/status.h"
#include "mixer/intake/source_intake.h"
#include "pcm/pcm_format.h"

namespace _Carovel {

// As CMixer::SetLiveMode takes them; all 0 when live mode is off.
struct LiveSettings {
    unsigned targetMs = 0;
    unsigned maxMs = 0;
    // 0 stands for maxMs.
    unsigned masterTimeoutMs = 0;

    bool On() const { return targetMs != 0; }
    unsigned MasterTimeoutMs() const { return masterTimeoutMs != 0 ? masterTimeoutMs : maxMs; }
};

// Limits of SetLiveMode's arguments.
constexpr unsigned kMaxLiveMs = 60000;
constexpr unsigned kMaxMasterTimeoutMs = 3600000;

// Whether settings are acceptable before the mixing format is known
// (SetLiveMode), and with it (Open): frames of at least 5 ms, and a ceiling at
// least two frames above the target.
bool LiveSettingsValid(const LiveSettings& settings);
bool LiveSettingsFitFormat(const LiveSettings& settings, const PcmFormat& format,
                           std::size_t frameBytes);

// What live mode's intake (the host's calls) and passes (the output thread)
// share for one session.
class LiveShared {
  public:
    LiveShared(const LiveSettings& settings, const PcmFormat& mixFormat, std::size_t frameBytes);
    LiveShared(const LiveShared&) = delete;
    LiveShared& operator=(const LiveShared&) = delete;

    const LiveSettings settings;
    const PcmFormat mixFormat;
    const std::size_t frameBytes;
    // One frame's duration, and bytes of the mixing format per millisecond.
    const double frameMs;
    const double bytesPerMs;

    // The queue ceiling in whole frames: maxMs of audio.
    std::size_t MaxFrames() const;

    // The next pass on the timer, in microseconds of the mixer's clock; 0
    // until the output thread first sets it.
    std::atomic<std::uint64_t> nextPassUs{0};
    std::atomic<std::uint64_t> catchUpPasses{0};
    std::atomic<std::uint64_t> passesWithoutMaster{0};
    // Live mode's own cost: the time the output thread spent steering after
    // the passes that took frames (and how many), and the time the intake
    // spent in the sources' trim stages, in nanoseconds.
    std::atomic<std::uint64_t> controlNs{0};
    std::atomic<std::uint64_t> controlPasses{0};
    std::atomic<std::uint64_t> trimNs{0};
};

// Before a block of len bytes in format arrives at nowUs for a source in live
// mode: the source takes the trim its control asks for and, when it is new,
// was dropped, or ran dry since it last started, starts at the target
// latency: silence is queued ahead of the block so that its backlog after
// the next pass is the target. kOk to go on with the block; otherwise the
// block is refused (published tells whether the source's state changed all
// the same).
Status PrepareLiveBlock(SourceIntake& source, const FrameSink& sink, const LiveShared& live,
                        std::uint64_t nowUs, std::size_t len, const PcmFormat& format, void* tag,
                        bool& changed);

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_LIVE_MODE_H
