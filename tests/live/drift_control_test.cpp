// Live mode's control of one source, on its own: blocks arriving on a
// drifting clock, with and without jitter, and backlogs of every size.
#include "mixer/live/drift_control.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

namespace {

using _Carovel::DriftControl;
using _Carovel::DriftTuning;

// Feeds blocks of blockMs of a source whose clock runs driftPpm fast, each
// arriving up to jitterMs late, from startMs for seconds; after each block
// the control sees a backlog drawn by backlog(rng). Calls check(control)
// after every update.
template <class Backlog, class Check>
void Drive(DriftControl& control, double driftPpm, double jitterMs, double startMs, double seconds,
           std::mt19937& rng, Backlog backlog, Check check) {
    const double blockMs = 20.0;
    const double periodMs = blockMs / (1.0 + driftPpm * 1e-6);
    std::uniform_real_distribution<double> late(0.0, jitterMs);
    double fed = 0.0;
    for (double t = 0.0; t < seconds * 1000.0; t += periodMs) {
        fed += blockMs;
        const double at = startMs + t + (jitterMs > 0 ? late(rng) : 0.0);
        control.OnFeed(at, fed);
        control.Update(at + 1.0, backlog(rng), 40.0);
        check(control);
    }
}

TEST(DriftControl, LearnsTheDriftOfRegularBlocksAndCorrectsByAtMost80Ppm) {
    // Without the faster trim of a recovery (see below), which the random
    // backlogs here would start.
    DriftTuning slowOnly;
    slowOnly.maxRecoveryPpm = 0.0;
    for (const double drift : {-12000.0, -5000.0, -1000.0, -100.0, 0.0, 37.0, 1000.0, 5000.0}) {
        SCOPED_TRACE(drift);
        DriftControl control(slowOnly);
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> anyBacklog(0.0, 400.0);
        int updates = 0;
        Drive(
            control, drift, 0.0, 1000.0, 60.0, rng, [&](std::mt19937& r) { return anyBacklog(r); },
            [&](const DriftControl& c) {
                ++updates;
                // The correction never exceeds 80 ppm, whatever the
                // backlog, and the trim never exceeds its clamp.
                ASSERT_LE(std::abs(c.TrimPpm()), 12000);
                ASSERT_LE(std::fabs(c.TrimPpm() - c.DriftPpm()), 80.5);
                // Three blocks on exact times make a good fit.
                if (updates >= 3) {
                    ASSERT_TRUE(c.DriftLearnt());
                    ASSERT_NEAR(c.DriftPpm(), std::fmax(-12000.0, drift), 0.5);
                }
            });
    }
}

TEST(DriftControl, TheCorrectionFollowsTheSmoothedBacklog) {
    DriftControl control;
    std::mt19937 rng(1);
    // A backlog steadily 3 ms above the target: +60 ppm at 20 ppm per ms,
    // once the smoothing has caught up.
    Drive(
        control, 0.0, 0.0, 0.0, 10.0, rng, [](std::mt19937&) { return 43.0; },
        [](const DriftControl&) {});
    EXPECT_NEAR(control.SmoothedBacklogMs(), 43.0, 1e-6);
    EXPECT_EQ(control.TrimPpm(), 60);
    // Far below the target: -80 ppm at most.
    control.Restart();
    Drive(
        control, 0.0, 0.0, 10000.0, 10.0, rng, [](std::mt19937&) { return 0.0; },
        [](const DriftControl&) {});
    EXPECT_EQ(control.TrimPpm(), -80);
}

TEST(DriftControl, JitteryArrivalsAreNotTrustedUntilTheFitIsGood) {
    DriftControl control;
    std::mt19937 rng(2024);
    int unlearnt = 0;
    Drive(
        control, 800.0, 8.0, 0.0, 120.0, rng, [](std::mt19937&) { return 40.0; },
        [&](const DriftControl& c) {
            if (!c.DriftLearnt()) {
                ++unlearnt;
                // Until then the drift in use is the earlier one: none.
                ASSERT_EQ(c.DriftPpm(), 0.0);
            } else {
                // Once trusted, within a few standard errors (50 ppm).
                ASSERT_NEAR(c.DriftPpm(), 800.0, 150.0);
            }
        });
    EXPECT_GT(unlearnt, 3);  // 8 ms of jitter: not trusted after three blocks
    EXPECT_TRUE(control.DriftLearnt());
    EXPECT_NEAR(control.DriftPpm(), 800.0, 50.0);
}

TEST(DriftControl, APauseOrARestartKeepsTheDriftButFitsAfresh) {
    DriftControl control;
    std::mt19937 rng(3);
    auto flat = [](std::mt19937&) { return 40.0; };
    Drive(control, 2000.0, 0.0, 0.0, 5.0, rng, flat, [](const DriftControl&) {});
    ASSERT_NEAR(control.DriftPpm(), 2000.0, 0.5);
    // Blocks again after a 3 s pause, from a source now 500 ppm slow: the
    // fit starts again, so the old blocks do not bend the new estimate.
    int after = 0;
    Drive(control, -500.0, 0.0, 8000.0, 5.0, rng, flat, [&](const DriftControl& c) {
        if (++after == 1) {
            EXPECT_FALSE(c.DriftLearnt());
            EXPECT_NEAR(c.DriftPpm(), 2000.0, 0.5);  // kept meanwhile
        }
    });
    EXPECT_NEAR(control.DriftPpm(), -500.0, 0.5);
    control.Restart();
    EXPECT_FALSE(control.DriftLearnt());
    EXPECT_NEAR(control.DriftPpm(), -500.0, 0.5);
}

TEST(DriftControl, AnExcessOfMoreThanAFrameGoesWithinThreeSecondsAndThePitchGlides) {
    // A source 700 ppm fast whose backlog jumps 100 ms above the target (a
    // burst), in audio with no quiet stretch: nothing can be shed, so the
    // faster trim takes the excess away. The backlog follows the trim: each
    // 20 ms update it loses what the trim beyond the drift removed.
    for (const double jump : {30.0, 100.0, 250.0}) {
        SCOPED_TRACE(jump);
        DriftControl control;
        const double drift = 700.0;
        const double target = 40.0;
        double backlog = target;
        double t = 0.0;
        double fed = 0.0;
        std::int32_t lastTrim = 0;
        double recoveredAt = -1.0;
        bool shedAsked = false;
        for (int update = 0; update < 600; ++update, t += 20.0) {
            fed += 20.0 * (1.0 + drift * 1e-6);
            control.OnFeed(t, fed);
            if (update == 100) {
                backlog += jump;
            }
            const std::int32_t trim = control.Update(t + 1.0, backlog, target);
            backlog -= 20.0 * (trim - drift) * 1e-6;
            shedAsked = shedAsked || control.ShedMs() > 0.0;
            // Bounded, and gliding: at most the slew per update (plus the
            // slow correction's own change).
            ASSERT_LE(trim - control.DriftPpm(), 80.5 + 50000.0);
            ASSERT_GE(trim - control.DriftPpm(), -80.5);
            if (update > 5) {
                ASSERT_LE(std::abs(trim - lastTrim), 50000.0 * 20.0 / 200.0 + 2.0);
            }
            lastTrim = trim;
            if (update > 100 && recoveredAt < 0 && std::fabs(backlog - target) <= 20.0) {
                recoveredAt = t - 100 * 20.0;
            }
            if (recoveredAt >= 0) {
                // Once back, it stays back, and the trim is the drift's again.
                ASSERT_LE(std::fabs(backlog - target), 20.0);
            }
        }
        EXPECT_TRUE(shedAsked);
        ASSERT_GE(recoveredAt, 0.0);
        // The faster trim removes 50 ms a second: a burst of 120 ms goes in
        // under 3 s, a larger excess in proportion.
        EXPECT_LE(recoveredAt, 400.0 + (jump - 20.0) / 0.05);
        if (jump <= 120.0) {
            EXPECT_LE(recoveredAt, 3000.0);
        }
        EXPECT_FALSE(control.Recovering());
        EXPECT_EQ(control.ShedMs(), 0.0);
        EXPECT_LE(std::fabs(control.TrimPpm() - drift), 80.5);
    }
}

}  // namespace
