#include "platform/event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"

namespace {

using _Carovel::CAutoResetEvent;

TEST(AutoResetEvent, OneSetWakesOneWaitAndIsConsumed) {
    CAutoResetEvent ev;
    EXPECT_FALSE(ev.Wait(0));
    ev.Set();
    ev.Set();  // two sets before a wait count once
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_FALSE(ev.Wait(1));
}

TEST(AutoResetEvent, SetFromAnotherThreadEndsAWait) {
    CAutoResetEvent ev;
    std::thread setter([&ev] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ev.Set();
    });
    // A generous time-out: the wait must end by the set, not by the time-out.
    EXPECT_TRUE(ev.Wait(60000));
    setter.join();
}

TEST(TickCount, DifferencesSurviveAWrap) {
    const std::uint32_t before = 0xfffffff0u;
    const std::uint32_t after = 0x00000010u;
    EXPECT_EQ(after - before, 0x20u);
    const std::uint32_t a = _Carovel::TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(_Carovel::TickCount() - a, 4u);
}

}  // namespace
