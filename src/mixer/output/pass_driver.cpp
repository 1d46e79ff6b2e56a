#include "mixer/output/pass_driver.h"

#include <algorithm>
#include <cmath>

#include "platform/clock.h"

namespace _Carovel {
namespace {

// Spreads an exact frame duration over whole milliseconds, so that the
// periods add up to the frames' duration.
class Grid {
  public:
    explicit Grid(double frameMs) : frameMs_(frameMs) {}
    std::uint32_t NextPeriod() {
        exact_ += frameMs_;
        const double whole = std::round(exact_);
        exact_ -= whole;
        return static_cast<std::uint32_t>(whole);
    }

  private:
    double frameMs_;
    double exact_ = 0.0;  // the part of the frames' duration not yet given out
};

std::uint32_t NowMs(PassClock& clock) {
    return static_cast<std::uint32_t>(clock.NowUs() / 1000u);
}

void PublishDue(PassPolicy& policy, PassClock& clock, std::uint32_t dueMs) {
    const std::uint64_t nowUs = clock.NowUs();
    const auto ahead = static_cast<std::int32_t>(dueMs - static_cast<std::uint32_t>(nowUs / 1000u));
    const std::int64_t dueUs = static_cast<std::int64_t>(nowUs) + std::int64_t{ahead} * 1000;
    policy.SetNextTimerPass(static_cast<std::uint64_t>(std::max<std::int64_t>(dueUs, 0)));
}

}  // namespace

void QueuedPasses::Pass(std::uint64_t, PassOutput& out, bool) {
    engine_.Pass(out, MonotonicSeconds());
}

std::uint64_t ThreadClock::NowUs() {
    return MonotonicUs();
}

std::uint64_t HostClock::NowUs() {
    return MonotonicUs();
}

int RunPasses(OutputSession& st, PassPolicy& policy, PassClock& clock, double periodMs,
              const PassLimits& limits) {
    int delivered = 0;
    // One pass and its delivery; false when the loop must end.
    const auto passAndDeliver = [&](bool catchUp) {
        PassOutput out = st.PassBuffers();
        policy.Pass(clock.NowUs(), out, catchUp);
        const PassOutcome outcome = DeliverPass(st, out);
        if (outcome == PassOutcome::kNoFrame) {
            return !limits.endWhenEmpty;
        }
        ++delivered;
        return outcome == PassOutcome::kDelivered && st.Running() && delivered < limits.maxPasses;
    };
    if (limits.maxPasses <= 0) {
        return 0;
    }
    Grid grid(periodMs);
    std::uint32_t period = grid.NextPeriod();
    std::uint32_t due = NowMs(clock) + period / 2;
    PublishDue(policy, clock, due);
    bool woken = clock.Wait(period / 2);
    while (st.Running()) {
        const std::uint32_t start = NowMs(clock);
        if (!passAndDeliver(false)) {
            break;
        }
        period = grid.NextPeriod();
        const NextPass next = ScheduleNextPass(period, due, woken, start, NowMs(clock));
        due = next.dueMs;
        PublishDue(policy, clock, due);
        woken = false;
        bool ended = false;
        while (policy.AfterPass(clock.NowUs())) {
            if (static_cast<std::int32_t>(due - NowMs(clock)) <=
                static_cast<std::int32_t>(kMinPeriodMs)) {
                break;
            }
            woken = clock.Wait(kMinPeriodMs);
            if (!st.Running()) {
                return delivered;
            }
            if (woken) {
                break;
            }
            if (!passAndDeliver(true)) {
                ended = true;
                break;
            }
        }
        if (ended) {
            break;
        }
        if (!woken) {
            const auto wait = static_cast<std::int32_t>(due - NowMs(clock));
            woken = clock.Wait(static_cast<std::uint32_t>(std::max(wait, 0)));
        }
    }
    return delivered;
}

}  // namespace _Carovel
