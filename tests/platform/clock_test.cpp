#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

namespace {

TEST(TickMs, AdvancesInMilliseconds) {
    const std::uint32_t a = _Carovel::TickMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(_Carovel::TickMs() - a, 4u);
}

_Carovel::CalendarTime g_calendar;
_Carovel::CalendarTime Calendar() {
    return g_calendar;
}
std::time_t FailingTime() {
    return static_cast<std::time_t>(-1);
}

TEST(NowSeconds, FallsBackToCalendarTimeInStepsOfSixty) {
    _Carovel::SetSecondsSourceForTesting(&FailingTime);
    _Carovel::SetCalendarSourceForTesting(&Calendar);
    g_calendar = {2026, 12, 8, 13, 45};
    const std::uint32_t a = _Carovel::NowSeconds();
    const std::uint32_t b = _Carovel::NowSeconds();
    g_calendar.minute = 46;
    const std::uint32_t c = _Carovel::NowSeconds();
    g_calendar = {2026, 12, 8, 14, 0};
    const std::uint32_t d = _Carovel::NowSeconds();
    _Carovel::SetSecondsSourceForTesting(nullptr);
    _Carovel::SetCalendarSourceForTesting(nullptr);

    EXPECT_EQ(a, b);  // same minute, same value
    EXPECT_EQ(c - a, 60u);
    EXPECT_EQ(d - a, 15u * 60u);
    // ((((366*y + 30*m + d)*24 + h)*60 + min)*60) modulo 2^32
    const std::uint64_t full = ((((366ull * 2026 + 30 * 12 + 8) * 24 + 13) * 60 + 45) * 60);
    EXPECT_EQ(a, static_cast<std::uint32_t>(full));
}

TEST(CoarseMonotonicSeconds, ReadsTheMonotonicSecondsNeverAheadOfThem) {
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t coarse = _Carovel::CoarseMonotonicSeconds();
        const std::uint32_t exact = _Carovel::MonotonicSeconds();
        ASSERT_LE(coarse, exact);
        ASSERT_LE(exact - coarse, 1u);
    }
}

std::time_t FixedSeconds() {
    return 4242;
}

TEST(CoarseMonotonicSeconds, FollowsAReplacedMonotonicSource) {
    _Carovel::SetMonotonicSourceForTesting(&FixedSeconds);
    const std::uint32_t coarse = _Carovel::CoarseMonotonicSeconds();
    const _Carovel::ClockReading reading = _Carovel::ReadClock();
    _Carovel::SetMonotonicSourceForTesting(nullptr);
    EXPECT_EQ(coarse, 4242u);
    EXPECT_EQ(reading.seconds, 4242u);
}

TEST(NowSeconds, UsesTheSystemClockWhenItWorks) {
    const auto before = static_cast<std::uint32_t>(std::time(nullptr));
    const std::uint32_t now = _Carovel::NowSeconds();
    EXPECT_LE(now - before, 2u);
}

}  // namespace
