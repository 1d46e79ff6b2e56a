// What a CMixer can tell about its sources and its passes, in both modes
// (CMixer::GetSourceStats, CMixer::GetAllSourceStats).
#ifndef CAROVEL_STATS_H
#define CAROVEL_STATS_H

#include <cstdint>

namespace _Carovel {

// One source of a mixer. A source appears with its first whole frame and
// goes when the frame mixer drops it as idle (or at ClearTraceData, unless
// it has a gain of its own, and at the next Open). Counters run from the
// source's appearance.
struct SourceStats {
    long sourceId = 0;
    // Whole frames queued for the next passes.
    std::uint64_t backlogFrames = 0;
    // The queued frames and the bytes staged toward the next frame, in
    // milliseconds of the mixing format.
    double backlogMs = 0.0;
    // Frames taken by passes.
    std::uint64_t framesMixed = 0;
    // Frames cut by live mode's ceiling, oldest first.
    std::uint64_t framesCut = 0;
    // Passes that took no frame of the source between two that did (a
    // source that pauses and resumes counts the passes of its pause; one
    // that stops counts nothing until it resumes).
    std::uint64_t dropouts = 0;
    // The resampling trim live mode applies to the source, in parts per
    // million: positive plays it that much faster. 0 outside live mode.
    std::int32_t trimPpm = 0;
    // Float samples of the source that lay beyond full scale (+-1.0) and
    // were clamped on their way into an integer mixing format. 0 for
    // integer sources and in a float mix (which keeps them).
    std::uint64_t clippedSamples = 0;
    // The level of the last frame a pass took, in dB relative to full scale
    // (2^(bits-1), 1.0 in a float mix: a full-scale sine has an RMS of -3.01
    // dBFS and a peak of 0 dBFS; a float mix's frames may pass 0 dBFS);
    // minus infinity for digital silence. hasLevel is false, and
    // both are minus infinity, before the first frame.
    bool hasLevel = false;
    double rmsDbfs = 0.0;
    double peakDbfs = 0.0;
};

// The mixer as a whole.
struct MixerStats {
    // Exceptions that escaped the callback (as CMixer::CallbackExceptions).
    std::uint64_t callbackExceptions = 0;
    // Sources the mixer knows (as GetAllSourceStats returns).
    std::uint32_t sources = 0;
    // Live mode: whether it is on in the current (or last) session, its
    // settings, the passes run between the timer's to catch up, and the
    // passes run without the master since Open.
    bool liveMode = false;
    std::uint32_t targetMs = 0;
    std::uint32_t maxMs = 0;
    std::uint32_t masterTimeoutMs = 0;
    std::uint64_t catchUpPasses = 0;
    std::uint64_t passesWithoutMaster = 0;
    // Live mode's own cost since Open, for a host to watch: the passes that
    // took frames, and per such pass the mean time the output thread spent
    // steering the sources (measuring backlogs, learning drifts, setting
    // trims) and the mean time the intake (AddFrame, on the host's threads)
    // spent trimming the sources' streams (timed on one block in eight of
    // each source, counted eight times), in microseconds. 0 before the
    // first such pass and outside live mode.
    std::uint64_t livePasses = 0;
    double liveControlUsPerPass = 0.0;
    double liveTrimUsPerPass = 0.0;
};

}  // namespace _Carovel

#endif  // CAROVEL_STATS_H
