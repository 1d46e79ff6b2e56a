// Helpers of the stress tests: a thread that keeps waking a mixer's output
// thread, a count of the process's threads, and a bounded wait for a call
// that could deadlock.
#ifndef CAROVEL_TESTS_STRESS_STRESS_SUPPORT_H
#define CAROVEL_TESTS_STRESS_STRESS_SUPPORT_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "carovel/mixer.h"
#include "support/thread_count.h"

namespace carovel_test {

// Calls NotifyToMixe every `gap` until destroyed, so passes run far more
// often than once per frame period.
class MixPump {
  public:
    explicit MixPump(_Carovel::CMixer& mixer,
                     std::chrono::microseconds gap = std::chrono::microseconds(100))
        : m_thread([this, &mixer, gap] {
              while (!m_stop.load()) {
                  mixer.NotifyToMixe();
                  std::this_thread::sleep_for(gap);
              }
          }) {}
    ~MixPump() {
        m_stop = true;
        m_thread.join();
    }
    MixPump(const MixPump&) = delete;
    MixPump& operator=(const MixPump&) = delete;

  private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The thread count to come back to after a test's threads have ended. Some
// runtimes (the thread sanitizer's) start a helper thread of their own with
// the first thread the process creates; one short-lived thread first makes
// sure it is counted.
inline int SettledThreadCount() {
    std::thread([] {}).join();
    return ProcessThreadCount();
}

// Waits until the process has at most `threads` threads, for up to `limit`.
inline bool WaitForThreadCount(int threads, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (ProcessThreadCount() > threads) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs call on its own thread and waits up to `limit` for it. A call that
// does not return by then is taken for a deadlock: the test program stops
// with a message instead of hanging the run (the blocked call still refers to
// the test's objects, so the test cannot safely go on).
inline void MustReturnWithin(std::function<void()> call, std::chrono::seconds limit,
                             const char* what) {
    std::promise<void> returned;
    std::future<void> done = returned.get_future();
    std::thread runner([&call, &returned] {
        call();
        returned.set_value();
    });
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: %s did not return within %lld s\n", what,
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::abort();
    }
    runner.join();
}

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_STRESS_STRESS_SUPPORT_H
