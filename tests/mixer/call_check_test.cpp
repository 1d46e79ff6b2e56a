// The check that calls which must not overlap do not. Built only where the
// check is on (debug and sanitizer builds).
#include "mixer/call_check.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using _Carovel::SerialCallCheck;

#if defined(CAROVEL_CHECK_CALLS)

TEST(SerialCallCheck, NestedAndExemptCallsPass) {
    SerialCallCheck check;
    {
        SerialCallCheck::Scope outer(check, "~CMixer");
        SerialCallCheck::Scope inner(check, "Close");  // same thread: nested
        std::thread callback([&check] {
            SerialCallCheck::Scope exempt(check, "Close", false);  // from the callback
        });
        callback.join();
    }
    std::thread later([&check] { SerialCallCheck::Scope after(check, "AddFrame"); });
    later.join();  // the outer call ended, so another thread may call now
    SUCCEED();
}

TEST(SerialCallCheckDeathTest, OverlapFromTwoThreadsAbortsNamingBothCalls) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SerialCallCheck check;
            SerialCallCheck::Scope running(check, "AddFrame");
            std::thread other([&check] { SerialCallCheck::Scope overlap(check, "Close"); });
            other.join();
        },
        "CMixer::Close was called while CMixer::AddFrame was running");
}

#else

TEST(SerialCallCheck, IsOffInThisBuild) {
    GTEST_SKIP() << "configure with -DCAROVEL_CHECK_CALLS=ON or a Debug build";
}

#endif

}  // namespace
