// The one loop that runs a mixer's passes, wherever they run: on the output
// thread in either mode, and on the host's thread in MixPending. What a pass
// does and whether more passes should follow at once is the policy's
// business; when passes are due and how the loop waits is the clock's.
//
// The loop keeps to a grid of periods (see ScheduleNextPass): the first pass
// comes half a period after the start, each wait ends at the next pass's due
// time, and after each pass the policy may ask for catch-up passes at least
// kMinPeriodMs apart until the next pass on the timer is that close.
#ifndef CAROVEL_MIXER_PASS_DRIVER_H
#define CAROVEL_MIXER_PASS_DRIVER_H

#include <cstdint>
#include <limits>

#include "engine/engine.h"
#include "mixer/output/output_thread.h"

namespace _Carovel {

// The clock and the waits of the loop.
class PassClock {
  public:
    virtual ~PassClock() = default;
    virtual std::uint64_t NowUs() = 0;
    // Waits up to ms milliseconds; true when woken early (NotifyToMixe).
    virtual bool Wait(std::uint32_t ms) = 0;
};

// What the passes do.
class PassPolicy {
  public:
    virtual ~PassPolicy() = default;
    // One pass at nowUs into out; catchUp counts it as a catch-up pass.
    virtual void Pass(std::uint64_t nowUs, PassOutput& out, bool catchUp) = 0;
    // After a pass ended at nowUs: true when another should follow at once.
    virtual bool AfterPass(std::uint64_t nowUs) = 0;
    // The next pass on the timer is due at dueUs.
    virtual void SetNextTimerPass(std::uint64_t dueUs) = 0;
};

// The queued mode: a plain pass of the engine, never steering.
class QueuedPasses final : public PassPolicy {
  public:
    explicit QueuedPasses(Engine& engine) : engine_(engine) {}
    void Pass(std::uint64_t nowUs, PassOutput& out, bool catchUp) override;
    bool AfterPass(std::uint64_t) override { return false; }
    void SetNextTimerPass(std::uint64_t) override {}

  private:
    Engine& engine_;
};

// When the loop ends besides the session's stop.
struct PassLimits {
    // The most passes delivered.
    int maxPasses = std::numeric_limits<int>::max();
    // Ends at the first pass that produces no mix (host-driven passes).
    bool endWhenEmpty = false;
};

// Runs passes over the grid of periodMs (an exact frame duration, spread
// over whole milliseconds) until the session stops or limits end it,
// delivering every pass that produced a mix. Returns the passes delivered.
// After a callback returns the loop touches only the session, the policy and
// the clock: the mixer may have been closed or destroyed from inside it.
int RunPasses(OutputSession& session, PassPolicy& policy, PassClock& clock, double periodMs,
              const PassLimits& limits = PassLimits());

// The output thread's clock: the monotonic clock, woken early by the
// session's event.
class ThreadClock final : public PassClock {
  public:
    explicit ThreadClock(AutoResetEvent& event) : event_(event) {}
    std::uint64_t NowUs() override;
    bool Wait(std::uint32_t ms) override { return event_.Wait(ms); }

  private:
    AutoResetEvent& event_;
};

// The host's clock in MixPending: passes run back to back, never waiting.
class HostClock final : public PassClock {
  public:
    std::uint64_t NowUs() override;
    bool Wait(std::uint32_t) override { return false; }
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_PASS_DRIVER_H
