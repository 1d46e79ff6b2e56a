// Live mode's control of one source's backlog: how much to trim the
// source's resampler so that its backlog converges to the target and stays
// there while its clock drifts against the mixer's.
//
// Two parts:
//  - The drift: the source's rate against the mixer's clock, from its blocks'
//    arrival times and durations (a least-squares line through (arrival,
//    audio fed - arrival), exponentially forgetting older blocks). It does not
//    depend on the backlog, so catch-up passes, cuts and the trim itself do not
//    disturb it. It is used once its standard error is small enough; until
//    then the last good estimate stays (0 for a new source).
//  - A correction: the backlog, smoothed over about a second, against the
//    target, times a gain, clamped to +-maxCorrectionPpm.
// The trim is drift + correction, in whole ppm, clamped to +-maxTrimPpm. So
// once the drift is learnt, the trim changes pitch by no more than the drift
// plus maxCorrectionPpm.
//
// Recovery: a backlog that stays more than a frame above the target for
// recoveryUpdates updates in a row, or more than half a frame for
// recoveryHalfUpdates (a burst of late blocks, a master that ran dry, a
// stall), is brought back quickly. From the first such update
// the source may shed the excess in quiet stretches (ShedBlocks); from
// recoveryPatienceMs on, whatever is left goes by a faster trim (up to
// maxRecoveryPpm on top of the drift, at most recoveryGainPpmPerMs per
// millisecond of excess, reached over recoverySlewMs). Recovery ends when
// the backlog is within a quarter frame of the target; the smoothing then
// starts afresh.
//
// Times and backlogs are in milliseconds of one clock, as doubles.
#ifndef CAROVEL_MIXER_DRIFT_CONTROL_H
#define CAROVEL_MIXER_DRIFT_CONTROL_H

#include <cstdint>

namespace _Carovel {

struct DriftTuning {
    // Time constant of the backlog's smoothing.
    double smoothingMs = 1000.0;
    // Time constant with which the drift's fit forgets older blocks.
    double windowMs = 20000.0;
    // A pause between blocks longer than this starts the fit afresh.
    double gapMs = 1000.0;
    // The fit is used once its standard error is below this.
    double acceptPpm = 50.0;
    // The correction per millisecond of smoothed backlog above the target.
    double gainPpmPerMs = 20.0;
    // 80 ppm, so that with the resampler's step (15 ppm at equal rates) the
    // pitch moves by no more than the drift plus 100 ppm.
    double maxCorrectionPpm = 80.0;
    double maxTrimPpm = 12000.0;
    // A frame's duration: recovery starts more than a frame above the target.
    double frameMs = 20.0;
    int recoveryUpdates = 3;
    int recoveryHalfUpdates = 10;
    double recoveryPatienceMs = 200.0;
    double recoveryGainPpmPerMs = 3000.0;
    double maxRecoveryPpm = 50000.0;
    double recoverySlewMs = 200.0;
};

class DriftControl {
  public:
    explicit DriftControl(const DriftTuning& tuning = DriftTuning()) : tuning_(tuning) {}

    // The source's stream starts again (at the target latency): the backlog
    // is smoothed afresh and the drift's fit starts again, its last estimate
    // kept until the new fit is good.
    void Restart();

    // A block arrived at atMs, bringing the duration of the audio fed since
    // the stream (re)started to fedMs.
    void OnFeed(double atMs, double fedMs);

    // The backlog measured after a pass at nowMs; returns the trim.
    std::int32_t Update(double nowMs, double backlogMs, double targetMs);

    // Whether a recovery runs, and the milliseconds of audio it lets the
    // source shed in quiet stretches (0 outside one); a new request after
    // every update of a recovery.
    bool Recovering() const { return recovering_; }
    double ShedMs() const { return shedMs_; }
    // Counts the updates that changed the shed request.
    std::uint32_t ShedRequests() const { return shedRequests_; }

    std::int32_t TrimPpm() const { return trim_; }
    double DriftPpm() const { return drift_; }
    double SmoothedBacklogMs() const { return smoothed_; }
    // Whether the drift in use comes from a good fit of the current stream.
    bool DriftLearnt() const { return learnt_; }

  private:
    void ForgetFit();
    // The fit's slope and its standard error (parts per million); false
    // when there are too few blocks.
    bool Fit(double& slopePpm, double& standardErrorPpm) const;

    DriftTuning tuning_;
    // The fit, with the origin at its latest point.
    int points_ = 0;
    double originX_ = 0.0;
    double originY_ = 0.0;
    double sw_ = 0.0, sx_ = 0.0, sy_ = 0.0, sxx_ = 0.0, sxy_ = 0.0, syy_ = 0.0;
    double drift_ = 0.0;
    bool learnt_ = false;
    // The smoothed backlog and when it was last updated.
    bool haveBacklog_ = false;
    double smoothed_ = 0.0;
    double lastUpdateMs_ = 0.0;
    std::int32_t trim_ = 0;
    // Recovery: updates in a row above the threshold, whether it runs and
    // since when, the faster trim's current part and the shed request.
    int above_ = 0;
    int aboveHalf_ = 0;
    bool recovering_ = false;
    double recoveringSinceMs_ = 0.0;
    double fastPpm_ = 0.0;
    double shedMs_ = 0.0;
    std::uint32_t shedRequests_ = 0;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_DRIFT_CONTROL_H
