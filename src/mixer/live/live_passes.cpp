#include "mixer/live/live_passes.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "platform/clock.h"

namespace _Carovel {
namespace {

// Sources not seen by this many updates are forgotten (the frame mixer
// dropped them).
constexpr std::uint64_t kForgetAfterUpdates = 256;

double Ms(std::uint64_t us) {
    return static_cast<double>(us) / 1000.0;
}

}  // namespace

namespace {

DriftTuning WithFrame(DriftTuning tuning, double frameMs) {
    tuning.frameMs = frameMs;
    return tuning;
}

std::uint64_t NowNs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

LivePasses::LivePasses(LiveShared& shared, Engine& engine, std::uint64_t startUs,
                       const DriftTuning& tuning)
    : shared_(shared),
      engine_(engine),
      tuning_(WithFrame(tuning, shared.frameMs)),
      lastMasterUs_(startUs) {}

void LivePasses::Pass(std::uint64_t nowUs, PassOutput& out, bool catchUp) {
    const std::uint64_t timeoutUs = std::uint64_t{shared_.settings.MasterTimeoutMs()} * 1000u;
    withoutMaster_ = nowUs - lastMasterUs_ >= timeoutUs;
    engine_.Pass(out, MonotonicSeconds(), !withoutMaster_);
    if (out.masterLen > 0) {
        lastMasterUs_ = nowUs;
        withoutMaster_ = false;
    }
    const int mixLen = out.mixLen;
    tookFrames_ = out.masterLen > 0 || mixLen > 0;
    if (tookFrames_ && catchUp) {
        shared_.catchUpPasses.fetch_add(1);
    }
    if (withoutMaster_ && mixLen > 0) {
        shared_.passesWithoutMaster.fetch_add(1);
    }
}

double LivePasses::BacklogMs(std::size_t queuedFrames, const IntakeReport& in,
                             const LiveShared& shared, std::uint64_t nowUs) {
    const double queued =
        static_cast<double>(queuedFrames * shared.frameBytes + in.stagedBytes) / shared.bytesPerMs;
    const double sinceFeed = nowUs > in.lastFeedUs ? Ms(nowUs - in.lastFeedUs) : 0.0;
    return queued + std::min(sinceFeed, in.lastBlockMs) - in.lastBlockMs / 2;
}

bool LivePasses::AfterPass(std::uint64_t nowUs) {
    // With live mode off (the simulations' queued runs) nothing is steered.
    if (!tookFrames_ || !shared_.settings.On()) {
        catchingUp_ = false;
        return false;
    }
    const std::uint64_t startNs = NowNs();
    bool more = false;
    try {
        more = Steer(nowUs);
    } catch (const std::bad_alloc&) {
        // Steering keeps a record per source; without memory for a new one
        // this pass steers nothing (the trims stay), and the next tries again.
        catchingUp_ = false;
    }
    shared_.controlNs.fetch_add(NowNs() - startNs, std::memory_order_relaxed);
    shared_.controlPasses.fetch_add(1, std::memory_order_relaxed);
    return more;
}

bool LivePasses::Steer(std::uint64_t nowUs) {
    Look();
    // The backlog that sets the pace: the master's, or without it the
    // smallest of the sources that took part.
    double pacing = std::numeric_limits<double>::infinity();
    for (const Seen& s : seen_) {
        if (s.view.counters.tookLastPass && (withoutMaster_ || s.view.sourceId == 0)) {
            pacing = std::min(pacing, BacklogMs(s, nowUs));
        }
    }
    const double target = shared_.settings.targetMs;
    if (std::isfinite(pacing)) {
        // What the next pass on the timer will leave, without more passes
        // before it: catching up starts when that is a frame above the
        // target and goes on while another pass leaves it nearer.
        const std::uint64_t dueUs = shared_.nextPassUs.load();
        const double untilDueMs = dueUs > nowUs ? Ms(dueUs - nowUs) : 0.0;
        pacingMs_ = pacing + untilDueMs - shared_.frameMs;
        const bool wasCatchingUp = catchingUp_;
        catchingUp_ = pacingMs_ > target + shared_.frameMs * (catchingUp_ ? 0.5 : 1.0);
        if (wasCatchingUp && !catchingUp_) {
            EvenOut(untilDueMs, nowUs);
        }
    } else {
        catchingUp_ = false;
    }
    if (catchingUp_) {
        return true;
    }

    ++updates_;
    const double nowMs = Ms(nowUs);
    for (const Seen& seen : seen_) {
        const IntakeReport& in = seen.report;
        if (seen.board == nullptr || in.reports == 0) {
            continue;  // fed straight into the engine: nothing to steer
        }
        auto found = sources_.find(seen.view.sourceId);
        if (found == sources_.end()) {
            // The master's excess goes by catching up, not by recovery.
            DriftTuning tuning = tuning_;
            if (seen.view.sourceId == 0) {
                tuning.recoveryUpdates = tuning.recoveryHalfUpdates =
                    std::numeric_limits<int>::max();
            }
            found = sources_.emplace(seen.view.sourceId, Source{DriftControl(tuning)}).first;
        }
        Source& s = found->second;
        s.seenAt = updates_;
        if (in.primes != s.primes) {
            s.primes = in.primes;
            s.control.Restart();
            s.fedMs = -1.0;
        }
        if (in.reports != s.reports) {
            s.reports = in.reports;
            if (in.fedMs != s.fedMs) {
                s.fedMs = in.fedMs;
                const double atMs =
                    nowUs > in.lastFeedUs ? nowMs - Ms(nowUs - in.lastFeedUs) : nowMs;
                s.control.OnFeed(atMs, in.fedMs);
            }
        }
        seen.board->trimPpm.store(s.control.Update(nowMs, BacklogMs(seen, nowUs), target));
        if (s.control.ShedRequests() != s.shedRequests) {
            s.shedRequests = s.control.ShedRequests();
            const auto blocks = static_cast<std::uint32_t>(
                std::min(s.control.ShedMs() * shared_.mixFormat.samplesPerSec / 1000.0, 4.0e9));
            seen.board->shedRequest.store(std::uint64_t{s.shedRequests} << 32 | blocks);
        }
    }
    if (updates_ % kForgetAfterUpdates == 0) {
        for (auto it = sources_.begin(); it != sources_.end();) {
            it = updates_ - it->second.seenAt >= kForgetAfterUpdates ? sources_.erase(it)
                                                                     : std::next(it);
        }
    }
    return false;
}

// Catching up takes as many frames of every source as of the pacing one,
// but a ceiling that cut the sources at different moments leaves them whole
// frames apart: a source more than half a frame above the target (counted at
// the next pass on the timer) is cut back, oldest frames first.
void LivePasses::EvenOut(double untilDueMs, std::uint64_t nowUs) {
    const double target = shared_.settings.targetMs;
    for (const Seen& s : seen_) {
        if (!s.view.counters.tookLastPass) {
            continue;
        }
        const double excess = BacklogMs(s, nowUs) + untilDueMs - shared_.frameMs - target;
        if (excess > shared_.frameMs / 2) {
            const auto frames = static_cast<std::size_t>(
                std::ceil((excess - shared_.frameMs / 2) / shared_.frameMs));
            engine_.Queues().CutOldest(s.view.sourceId, frames);
        }
    }
    Look();
}

void LivePasses::Look() {
    engine_.Queues().Views(views_);
    seen_.resize(views_.size());
    for (std::size_t i = 0; i < views_.size(); ++i) {
        Seen& s = seen_[i];
        s.view = std::move(views_[i]);
        s.board = static_cast<SourceBoard*>(s.view.attachment.get());
        s.report = s.board != nullptr ? s.board->Read() : IntakeReport();
    }
}

const DriftControl* LivePasses::Control(long sourceId) const {
    const auto found = sources_.find(sourceId);
    return found == sources_.end() ? nullptr : &found->second.control;
}

}  // namespace _Carovel
