// The pass loop on a simulated clock, with the queued policy: the output
// thread's pacing and MixPending's limits.
#include "mixer/output/pass_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using _Carovel::Engine;
using _Carovel::OutputSession;
using _Carovel::PassClock;
using _Carovel::PassLimits;
using _Carovel::QueuedPasses;
using _Carovel::RunPasses;

// Time passes only in the waits, each of which ends a lateUs after it should;
// the session stops once the clock reaches endUs.
class SimulatedClock final : public PassClock {
  public:
    SimulatedClock(OutputSession& session, std::uint64_t endUs, std::uint64_t lateUs)
        : session_(session), endUs_(endUs), lateUs_(lateUs) {}
    std::uint64_t NowUs() override { return nowUs_; }
    bool Wait(std::uint32_t ms) override {
        nowUs_ += std::uint64_t{ms} * 1000u + lateUs_;
        if (nowUs_ >= endUs_) {
            session_.Stop(false);
        }
        return false;
    }

  private:
    OutputSession& session_;
    std::uint64_t nowUs_ = 1000000;
    std::uint64_t endUs_;
    std::uint64_t lateUs_;
};

struct Calls {
    std::vector<std::uint64_t> atUs;
    PassClock* clock = nullptr;
    static void OnMix(char*, unsigned, char*, unsigned, void* self, void*) {
        auto* c = static_cast<Calls*>(self);
        c->atUs.push_back(c->clock->NowUs());
    }
};

struct Rig {
    Engine engine;
    Calls calls;
    OutputSession session{&Calls::OnMix,
                          &calls,
                          320,
                          20,
                          std::make_shared<_Carovel::AutoResetEvent>(),
                          std::make_shared<std::atomic<unsigned long>>(0)};
    explicit Rig(int frames) {
        engine.Init(2);
        const std::vector<char> frame(320, 1);
        for (int i = 0; i < frames; ++i) {
            EXPECT_EQ(engine.Push(0, frame.data(), 320, nullptr, 0), _Carovel::Status::kOk);
        }
    }
};

TEST(PassLoop, QueuedPassesKeepToTheGridOfPeriodsWhateverTheWaitsLateness) {
    Rig rig(100);
    SimulatedClock clock(rig.session, 1000000 + 1000000, 700);  // a second of 20 ms passes
    rig.calls.clock = &clock;
    QueuedPasses passes(rig.engine);
    const int delivered = RunPasses(rig.session, passes, clock, 20.0);
    ASSERT_EQ(delivered, static_cast<int>(rig.calls.atUs.size()));
    ASSERT_GE(rig.calls.atUs.size(), 49u);
    // The first pass half a period after the start, then one per period:
    // each wait ends 0.7 ms late (plus the whole milliseconds the waits are
    // counted in), but the lateness does not add up.
    for (std::size_t i = 0; i < rig.calls.atUs.size(); ++i) {
        const std::uint64_t due = 1000000 + 10000 + 20000 * i;
        EXPECT_GE(rig.calls.atUs[i], due) << i;
        EXPECT_LT(rig.calls.atUs[i], due + 2000) << i;
    }
}

TEST(PassLoop, HostDrivenPassesEndAtTheLimitOrAtTheFirstEmptyPass) {
    for (const int queued : {2, 5}) {
        Rig rig(queued);
        _Carovel::HostClock clock;
        rig.calls.clock = &clock;
        QueuedPasses passes(rig.engine);
        PassLimits limits;
        limits.maxPasses = 3;
        limits.endWhenEmpty = true;
        EXPECT_EQ(RunPasses(rig.session, passes, clock, 20.0, limits), std::min(queued, 3));
        EXPECT_EQ(rig.calls.atUs.size(), static_cast<std::size_t>(std::min(queued, 3)));
        limits.maxPasses = 0;
        EXPECT_EQ(RunPasses(rig.session, passes, clock, 20.0, limits), 0);
    }
}

}  // namespace
