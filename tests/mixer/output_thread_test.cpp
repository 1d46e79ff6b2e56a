#include "mixer/output/output_thread.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using _Carovel::MixPeriodMs;
using _Carovel::NextPass;
using _Carovel::PcmFormat;
using _Carovel::ScheduleNextPass;

TEST(MixPeriod, IsTheFrameDurationTruncatedAndAtLeastFiveMs) {
    EXPECT_EQ(MixPeriodMs(PcmFormat{1, 8000, 16}, 320), 20u);
    EXPECT_EQ(MixPeriodMs(PcmFormat{1, 8000, 16}, 100), 6u);  // 6.25 truncated
    EXPECT_EQ(MixPeriodMs(PcmFormat{1, 8000, 16}, 40), 5u);   // 2.5 raised to the minimum
    EXPECT_EQ(MixPeriodMs(PcmFormat{2, 48000, 16}, 1920), 10u);
}

// Drives the pacing as the output thread does, on a simulated tick: every
// wait ends lateMs after it should (the scheduler's latency) and every pass
// with its callback takes costMs. Returns the tick at which pass n starts.
std::uint32_t StartOfPass(int n, std::uint32_t period, std::uint32_t lateMs, std::uint32_t costMs,
                          std::uint32_t origin) {
    std::uint32_t now = origin;
    std::uint32_t due = now + period / 2;
    now += period / 2 + lateMs;
    for (int pass = 0; pass < n; ++pass) {
        const std::uint32_t start = now;
        now += costMs;
        const NextPass next = ScheduleNextPass(period, due, false, start, now);
        due = next.dueMs;
        now += next.waitMs + lateMs;
    }
    return now;
}

TEST(Pacing, LateWakeUpsDoNotAddUp) {
    // An hour of 20 ms passes whose waits each end 1 ms late and which take
    // 3 ms: a loop that waited a period after each late start would fall
    // behind by 1 ms per pass (180 s per hour); the grid keeps every pass
    // within the lateness of its due time.
    constexpr int kPasses = 180000;
    const std::uint32_t start = StartOfPass(kPasses, 20, 1, 3, 1000);
    const std::uint32_t ideal = 1000 + 10 + kPasses * 20u;
    EXPECT_LE(start - ideal, 1u);
}

TEST(Pacing, SurvivesTheTickWrapping) {
    constexpr int kPasses = 1000;
    const std::uint32_t origin = 0xffffff00u;  // wraps after about 13 passes
    const std::uint32_t start = StartOfPass(kPasses, 20, 1, 3, origin);
    EXPECT_EQ(static_cast<std::uint32_t>(start - origin), 10u + kPasses * 20u + 1u);
}

TEST(Pacing, ShortLatenessIsMadeUpByAShorterWait) {
    // Due at 100, started 4 ms late, done 2 ms later: the next pass is due at
    // 120, 14 ms from now.
    const NextPass next = ScheduleNextPass(20, 100, false, 104, 106);
    EXPECT_EQ(next.dueMs, 120u);
    EXPECT_EQ(next.waitMs, 14u);
    // Done after the next due time already: no wait at all.
    const NextPass behind = ScheduleNextPass(20, 100, false, 115, 121);
    EXPECT_EQ(behind.dueMs, 120u);
    EXPECT_EQ(behind.waitMs, 0u);
}

TEST(Pacing, AnEarlyWakeMovesTheGridToThePass) {
    // NotifyToMixe woke the pass at 90 although it was due at 100.
    const NextPass next = ScheduleNextPass(20, 100, true, 90, 92);
    EXPECT_EQ(next.dueMs, 110u);
    EXPECT_EQ(next.waitMs, 18u);
}

TEST(Pacing, AnOverrunRestsFiveMsAndRestartsTheGrid) {
    const NextPass next = ScheduleNextPass(20, 100, false, 100, 125);
    EXPECT_EQ(next.dueMs, 130u);
    EXPECT_EQ(next.waitMs, 5u);
}

TEST(Pacing, MoreThanASecondBehindRestartsTheGridInsteadOfABurst) {
    // Within a second behind, passes follow at once to catch up ...
    const NextPass catchUp = ScheduleNextPass(20, 100, false, 1100, 1101);
    EXPECT_EQ(catchUp.dueMs, 120u);
    EXPECT_EQ(catchUp.waitMs, 0u);
    // ... beyond it, the grid starts at the late pass.
    const NextPass restart = ScheduleNextPass(20, 100, false, 1101, 1102);
    EXPECT_EQ(restart.dueMs, 1121u);
    EXPECT_EQ(restart.waitMs, 19u);
}

}  // namespace
