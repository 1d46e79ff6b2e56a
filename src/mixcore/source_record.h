// What the frame mixer keeps about a source beside its frames: counters of
// its passes (for statistics), what its intake last reported, and the trim
// that live mode asks its intake to apply. Lives in the source's queue, under
// the queue table's lock.
#ifndef CAROVEL_MIXCORE_SOURCE_RECORD_H
#define CAROVEL_MIXCORE_SOURCE_RECORD_H

#include <cstddef>
#include <cstdint>

#include "mixcore/frame_level.h"

namespace _Carovel {

// Reported by a source's intake after each block (CMixer only; sources fed
// straight into a CWaveMix report nothing).
struct IntakeReport {
    // Bytes staged that do not make a whole frame yet.
    std::size_t stagedBytes = 0;
    // The block's arrival, in microseconds of the mixer's clock.
    std::uint64_t lastFeedUs = 0;
    // The duration of the source's audio fed since its stream (re)started, at
    // the source's nominal rate, in milliseconds; and the last block's share.
    double fedMs = 0.0;
    double lastBlockMs = 0.0;
    // Counts the reports, so that a reader sees when a new one came.
    std::uint64_t reports = 0;
    // Counts the stream's (re)starts at a fixed latency (live mode).
    std::uint64_t primes = 0;
};

struct SourceRecord {
    // Frames taken by passes.
    std::uint64_t framesMixed = 0;
    // Frames cut by the ceiling, oldest first.
    std::uint64_t framesCut = 0;
    // Passes without a frame between two passes with one (a pause of the
    // source counts; a source that stops does not, until it resumes).
    std::uint64_t dropouts = 0;
    // Passes without a frame since the last one with a frame.
    std::uint64_t gapPasses = 0;
    // Frames queued, ever.
    std::uint64_t framesPushed = 0;
    // The level of the frame the last pass with this source took.
    FrameLevel lastLevel;
    // Whether the last pass took a frame of this source.
    bool tookLastPass = false;
    // Set by a pass that found the queue empty after frames had been queued:
    // framesPushed at that time. Live mode restarts the source's latency on
    // its next block when this is newer than its last restart.
    bool ranDry = false;
    std::uint64_t ranDryAtPush = 0;
    std::uint64_t primedAtPush = 0;

    IntakeReport intake;
    // The resampling trim live mode asks for, in parts per million.
    std::int32_t trimPpm = 0;

    // A pass took a frame of this level.
    void OnTaken(const FrameLevel& level) {
        dropouts += gapPasses;
        gapPasses = 0;
        ++framesMixed;
        lastLevel = level;
        tookLastPass = true;
    }
    // A pass found no frame: a gap once the source has had a frame mixed.
    void OnEmpty() {
        tookLastPass = false;
        if (framesPushed > 0) {
            gapPasses += framesMixed > 0 ? 1 : 0;
            ranDry = true;
            ranDryAtPush = framesPushed;
        }
    }
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_SOURCE_RECORD_H
