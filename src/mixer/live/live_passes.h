// Live mode's passes: what the output thread does in live mode, as a class
// that takes the time from its caller, so that it runs the same on the
// thread and on a simulated clock (tests, bench/live).
//
// Every pass, on the timer or to catch up:
//  - takes the oldest frame of every source when the master has one; once
//    the master has had no frame for the master time-out, passes on the
//    timer go on without it (masterLen 0, tag null);
//  - then measures each source's backlog: its queued frames and staged
//    bytes, plus the time since its last block arrived (at most that block's
//    duration), less half its last block. For a source fed in regular blocks
//    this is its mean backlog, free of the saw-tooth that the blocks' arrival
//    against the passes makes.
// When the master's backlog (without a master, the smallest backlog among
// the sources that had a frame) would be more than a frame above the target
// after the next pass on the timer, more passes follow, between the timer's,
// until it would be within half a frame of it. Then every other source more
// than half a frame above the target is cut back to it, oldest frames first
// (a ceiling that cut the sources at different moments leaves them whole
// frames apart).
// Otherwise each source's control (DriftControl) takes its backlog and
// arrivals and sets the trim its intake applies to its next block, and
// during a recovery what the intake may shed in quiet stretches. The time
// this takes is counted in LiveShared (controlNs, controlPasses).
#ifndef CAROVEL_MIXER_LIVE_PASSES_H
#define CAROVEL_MIXER_LIVE_PASSES_H

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/queue_table.h"
#include "mixer/live/drift_control.h"
#include "mixer/live/live_mode.h"
#include "mixer/output/output_thread.h"
#include "mixer/output/pass_driver.h"

namespace _Carovel {

class LivePasses final : public PassPolicy {
  public:
    // Passes over mix for the session described by shared, starting at
    // startUs (the master's time-out counts from there).
    LivePasses(LiveShared& shared, Engine& engine, std::uint64_t startUs,
               const DriftTuning& tuning = DriftTuning());

    // One pass at nowUs into the buffers (capacities in, lengths out, as
    // CWaveMix::GetMixedFrame), with mix-minus outputs into minus when it is
    // not null. catchUp counts it as a catch-up pass.
    void Pass(std::uint64_t nowUs, PassOutput& out, bool catchUp) override;

    // After a pass ended at nowUs: true when another pass should follow at
    // once to catch up. Otherwise, when the pass took frames, updates every
    // source's trim.
    bool AfterPass(std::uint64_t nowUs) override;

    // The next pass on the timer, for the intake's start of new sources.
    void SetNextTimerPass(std::uint64_t dueUs) override { shared_.nextPassUs.store(dueUs); }

    // A source's control, or null (for tests and measurements).
    const DriftControl* Control(long sourceId) const;
    // The backlog live mode measures at nowUs for a source with queued
    // frames whose intake reported in (see above).
    static double BacklogMs(std::size_t queuedFrames, const IntakeReport& in,
                            const LiveShared& shared, std::uint64_t nowUs);
    // The pacing backlog that the last AfterPass expected after the next pass
    // on the timer, or -1.
    double PacingBacklogMs() const { return pacingMs_; }
    const LiveShared& Shared() const { return shared_; }

  private:
    void EvenOut(double untilDueMs, std::uint64_t nowUs);
    // AfterPass's work once a pass took frames in live mode.
    bool Steer(std::uint64_t nowUs);

    // A source as one update sees it: its view in the engine and its
    // intake's last report (none for a source fed straight into the
    // engine).
    struct Seen {
        SourceView view;
        SourceBoard* board = nullptr;
        IntakeReport report;
    };
    void Look();
    double BacklogMs(const Seen& s, std::uint64_t nowUs) const {
        return BacklogMs(s.view.queuedFrames, s.report, shared_, nowUs);
    }

    struct Source {
        DriftControl control;
        std::uint64_t primes = 0;
        std::uint64_t reports = 0;
        double fedMs = -1.0;
        std::uint64_t seenAt = 0;
        std::uint32_t shedRequests = 0;
    };

    LiveShared& shared_;
    Engine& engine_;
    const DriftTuning tuning_;
    std::uint64_t lastMasterUs_;
    // The last pass took frames, with or without the master.
    bool tookFrames_ = false;
    bool withoutMaster_ = false;
    bool catchingUp_ = false;
    double pacingMs_ = -1.0;
    std::uint64_t updates_ = 0;
    std::unordered_map<long, Source> sources_;
    std::vector<SourceView> views_;
    std::vector<Seen> seen_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_LIVE_PASSES_H
