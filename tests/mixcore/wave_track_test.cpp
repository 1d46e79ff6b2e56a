#include "mixcore/wave_track.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "platform/clock.h"
#include "support/fake_clock.h"

namespace {

using _Carovel::CWaveTrack;

class WaveTrackTest : public ::testing::Test {
  protected:
    carovel_test::FakeSecondsClock clock{500};
};

TEST_F(WaveTrackTest, QueuesCopiesInOrderAndRefreshesOnlyOnPush) {
    CWaveTrack track(7);
    EXPECT_EQ(track.TrackID(), 7);
    EXPECT_EQ(track.LastTime(), 500u);

    char buf[4] = {'a', 'b', 'c', 'd'};
    int tagA = 0, tagB = 0;
    clock.Set(510);
    ASSERT_TRUE(track.PushFrame(buf, 4, &tagA));
    std::memcpy(buf, "wxyz", 4);  // the caller may reuse its buffer at once
    clock.Set(520);
    ASSERT_TRUE(track.PushFrame(buf, 0, &tagB));  // empty payload still queues
    EXPECT_EQ(track.LastTime(), 520u);
    EXPECT_EQ(track.FrameCount(), 2u);

    clock.Set(530);
    auto first = track.PopFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(std::string(first->pData, 4), "abcd");
    EXPECT_EQ(first->pData, reinterpret_cast<char*>(first.get() + 1));  // payload behind the header
    EXPECT_EQ(first->pTag, &tagA);
    auto second = track.PopFrame();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->nLen, 0);
    EXPECT_EQ(second->pTag, &tagB);
    EXPECT_FALSE(track.PopFrame());
    EXPECT_EQ(track.LastTime(), 520u);  // popping does not refresh
}

TEST_F(WaveTrackTest, RefusesNegativeLengths) {
    CWaveTrack track(1);
    EXPECT_FALSE(track.PushFrame("x", -1, nullptr));
    EXPECT_EQ(track.FrameCount(), 0u);
}

_Carovel::CalendarTime g_calendar;
_Carovel::CalendarTime Calendar() {
    return g_calendar;
}
std::time_t FailingTime() {
    return static_cast<std::time_t>(-1);
}

TEST(GetNowTime, FallsBackToCalendarTimeInStepsOfSixty) {
    _Carovel::SetSecondsSourceForTesting(&FailingTime);
    _Carovel::SetCalendarSourceForTesting(&Calendar);
    g_calendar = {2026, 12, 8, 13, 45};
    const std::uint32_t a = _Carovel::GetNowTime();
    const std::uint32_t b = _Carovel::GetNowTime();
    g_calendar.minute = 46;
    const std::uint32_t c = _Carovel::GetNowTime();
    g_calendar = {2026, 12, 8, 14, 0};
    const std::uint32_t d = _Carovel::GetNowTime();
    _Carovel::SetSecondsSourceForTesting(nullptr);
    _Carovel::SetCalendarSourceForTesting(nullptr);

    EXPECT_EQ(a, b);  // same minute, same value
    EXPECT_EQ(c - a, 60u);
    EXPECT_EQ(d - a, 15u * 60u);
    // ((((366*y + 30*m + d)*24 + h)*60 + min)*60) modulo 2^32
    const std::uint64_t full = ((((366ull * 2026 + 30 * 12 + 8) * 24 + 13) * 60 + 45) * 60);
    EXPECT_EQ(a, static_cast<std::uint32_t>(full));
}

TEST(GetNowTime, UsesTheSystemClockWhenItWorks) {
    const auto before = static_cast<std::uint32_t>(std::time(nullptr));
    const std::uint32_t now = _Carovel::GetNowTime();
    EXPECT_LE(now - before, 2u);
}

}  // namespace
