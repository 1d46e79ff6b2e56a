#include "platform/event.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using _Carovel::AutoResetEvent;

TEST(AutoResetEvent, OneSetWakesOneWaitAndIsConsumed) {
    AutoResetEvent ev;
    EXPECT_FALSE(ev.Wait(0));
    ev.Set();
    ev.Set();  // two sets before a wait count once
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_FALSE(ev.Wait(1));
}

TEST(AutoResetEvent, SetFromAnotherThreadEndsAWait) {
    AutoResetEvent ev;
    std::thread setter([&ev] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ev.Set();
    });
    // A generous time-out: the wait must end by the set, not by the time-out.
    EXPECT_TRUE(ev.Wait(60000));
    setter.join();
}

}  // namespace
