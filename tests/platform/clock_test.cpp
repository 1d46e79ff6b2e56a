#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

namespace {

TEST(MonotonicClock, AdvancesInMicrosecondsAndAgreesWithItsSeconds) {
    const std::uint64_t a = _Carovel::MonotonicUs();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const _Carovel::ClockReading now = _Carovel::ReadClock();
    EXPECT_GE(now.us - a, 4000u);
    EXPECT_LE(_Carovel::MonotonicSeconds() - now.seconds, 1u);
}

TEST(CoarseMonotonicSeconds, ReadsTheMonotonicSecondsNeverAheadOfThem) {
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t coarse = _Carovel::CoarseMonotonicSeconds();
        const std::uint32_t exact = _Carovel::MonotonicSeconds();
        ASSERT_LE(coarse, exact);
        ASSERT_LE(exact - coarse, 1u);
    }
}

std::time_t Fixed() {
    return 1234;
}

TEST(MonotonicClock, ATestSourceReplacesTheSecondsOnly) {
    _Carovel::SetMonotonicSourceForTesting(&Fixed);
    const _Carovel::ClockReading now = _Carovel::ReadClock();
    const std::uint32_t seconds = _Carovel::MonotonicSeconds();
    const std::uint32_t coarse = _Carovel::CoarseMonotonicSeconds();
    _Carovel::SetMonotonicSourceForTesting(nullptr);
    EXPECT_EQ(now.seconds, 1234u);
    EXPECT_EQ(seconds, 1234u);
    EXPECT_EQ(coarse, 1234u);
    EXPECT_GT(now.us, 0u);
}

}  // namespace
