// Replaces the seconds of the library's monotonic clock (which idle expiry
// uses) for the lifetime of the object, so that tests of idle expiry need not
// wait for real seconds.
#ifndef CAROVEL_TESTS_SUPPORT_FAKE_CLOCK_H
#define CAROVEL_TESTS_SUPPORT_FAKE_CLOCK_H

#include <atomic>
#include <ctime>

#include "platform/clock.h"

namespace carovel_test {

class FakeSecondsClock {
  public:
    explicit FakeSecondsClock(std::time_t start) {
        Now() = start;
        _Carovel::SetMonotonicSourceForTesting(&Read);
    }
    ~FakeSecondsClock() { _Carovel::SetMonotonicSourceForTesting(nullptr); }
    FakeSecondsClock(const FakeSecondsClock&) = delete;
    FakeSecondsClock& operator=(const FakeSecondsClock&) = delete;

    void Set(std::time_t t) { Now() = t; }
    void Advance(std::time_t seconds) { Now() += seconds; }

  private:
    // Read from the mixer's output thread too, hence atomic.
    static std::atomic<std::time_t>& Now() {
        static std::atomic<std::time_t> now{0};
        return now;
    }
    static std::time_t Read() { return Now().load(); }
};

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_SUPPORT_FAKE_CLOCK_H
