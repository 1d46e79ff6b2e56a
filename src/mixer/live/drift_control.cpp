#include "mixer/live/drift_control.h"

#include <algorithm>
#include <cmath>

namespace _Carovel {

void DriftControl::Restart() {
    ForgetFit();
    haveBacklog_ = false;
    above_ = 0;
    aboveHalf_ = 0;
    if (recovering_ || shedMs_ != 0.0) {
        ++shedRequests_;
    }
    recovering_ = false;
    fastPpm_ = 0.0;
    shedMs_ = 0.0;
}

void DriftControl::ForgetFit() {
    points_ = 0;
    sw_ = sx_ = sy_ = sxx_ = sxy_ = syy_ = 0.0;
    learnt_ = false;
}

void DriftControl::OnFeed(double atMs, double fedMs) {
    const double y = fedMs - atMs;
    if (points_ > 0 && atMs - originX_ > tuning_.gapMs) {
        ForgetFit();
    }
    if (points_ == 0) {
        originX_ = atMs;
        originY_ = y;
        sw_ = 1.0;
        points_ = 1;
        return;
    }
    // Move the origin to the new point, then forget, then add the point at
    // the origin (which adds only its weight).
    const double dx = atMs - originX_;
    const double dy = y - originY_;
    sxx_ += -2.0 * dx * sx_ + dx * dx * sw_;
    sxy_ += -dx * sy_ - dy * sx_ + dx * dy * sw_;
    syy_ += -2.0 * dy * sy_ + dy * dy * sw_;
    sx_ -= dx * sw_;
    sy_ -= dy * sw_;
    const double keep = std::exp(-std::max(dx, 0.0) / tuning_.windowMs);
    sw_ *= keep;
    sx_ *= keep;
    sy_ *= keep;
    sxx_ *= keep;
    sxy_ *= keep;
    syy_ *= keep;
    sw_ += 1.0;
    originX_ = atMs;
    originY_ = y;
    ++points_;

    double slope = 0.0;
    double error = 0.0;
    if (Fit(slope, error) && error < tuning_.acceptPpm) {
        drift_ = std::clamp(slope, -tuning_.maxTrimPpm, tuning_.maxTrimPpm);
        learnt_ = true;
    }
}

bool DriftControl::Fit(double& slopePpm, double& standardErrorPpm) const {
    if (points_ < 3 || sw_ <= 2.0) {
        return false;
    }
    const double vxx = sxx_ - sx_ * sx_ / sw_;
    if (!(vxx > 0.0)) {
        return false;
    }
    const double vxy = sxy_ - sx_ * sy_ / sw_;
    const double vyy = syy_ - sy_ * sy_ / sw_;
    const double slope = vxy / vxx;
    const double residual = std::max(vyy - slope * vxy, 0.0) / (sw_ - 2.0);
    slopePpm = slope * 1e6;
    standardErrorPpm = std::sqrt(residual / vxx) * 1e6;
    return std::isfinite(slopePpm) && std::isfinite(standardErrorPpm);
}

std::int32_t DriftControl::Update(double nowMs, double backlogMs, double targetMs) {
    const double dt = haveBacklog_ ? std::max(nowMs - lastUpdateMs_, 0.0) : 0.0;
    if (!haveBacklog_) {
        smoothed_ = backlogMs;
        haveBacklog_ = true;
    } else {
        smoothed_ += (backlogMs - smoothed_) * (1.0 - std::exp(-dt / tuning_.smoothingMs));
    }
    lastUpdateMs_ = nowMs;

    const double excess = backlogMs - targetMs;
    above_ = excess > tuning_.frameMs ? std::min(above_, tuning_.recoveryUpdates) + 1 : 0;
    aboveHalf_ =
        excess > tuning_.frameMs / 2 ? std::min(aboveHalf_, tuning_.recoveryHalfUpdates) + 1 : 0;
    if (!recovering_ &&
        (above_ >= tuning_.recoveryUpdates || aboveHalf_ >= tuning_.recoveryHalfUpdates)) {
        recovering_ = true;
        recoveringSinceMs_ = nowMs;
    } else if (recovering_ && excess < tuning_.frameMs / 4) {
        recovering_ = false;
        smoothed_ = backlogMs;
    }
    double fastGoal = 0.0;
    if (recovering_) {
        shedMs_ = std::max(excess, 0.0);
        ++shedRequests_;
        if (nowMs - recoveringSinceMs_ >= tuning_.recoveryPatienceMs) {
            fastGoal = std::min(tuning_.maxRecoveryPpm, tuning_.recoveryGainPpmPerMs * excess);
        }
    } else if (shedMs_ != 0.0) {
        shedMs_ = 0.0;
        ++shedRequests_;
    }
    // The faster trim moves toward its goal at most maxRecoveryPpm per
    // recoverySlewMs, so that the pitch glides.
    const double slew = tuning_.maxRecoveryPpm * dt / tuning_.recoverySlewMs;
    fastPpm_ = std::clamp(std::max(fastGoal, 0.0), fastPpm_ - slew, fastPpm_ + slew);
    fastPpm_ = std::max(fastPpm_, 0.0);

    const double correction = std::clamp(tuning_.gainPpmPerMs * (smoothed_ - targetMs),
                                         -tuning_.maxCorrectionPpm, tuning_.maxCorrectionPpm);
    double trim = std::clamp(drift_ + correction, -tuning_.maxTrimPpm, tuning_.maxTrimPpm);
    if (fastPpm_ > 0.0) {
        trim = std::max(trim, drift_) + fastPpm_;
    }
    trim_ = static_cast<std::int32_t>(std::lround(trim));
    return trim_;
}

}  // namespace _Carovel
