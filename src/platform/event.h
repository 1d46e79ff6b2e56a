// An auto-reset event: Set() wakes one waiter, or the next one to wait, and is
// consumed by that wake-up.
#ifndef CAROVEL_PLATFORM_EVENT_H
#define CAROVEL_PLATFORM_EVENT_H

#include <cstdint>

#include "platform/mutex.h"

namespace _Carovel {

class AutoResetEvent {
  public:
#if defined(_WIN32)
    // Throws std::system_error when Windows cannot create the event.
    AutoResetEvent();
    ~AutoResetEvent();
#else
    AutoResetEvent() = default;
#endif
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

#if defined(_WIN32)
    void Set();
    // Waits until the event is set or timeoutMs milliseconds have passed.
    // Returns true when the wait consumed a setting, false on time-out.
    bool Wait(std::uint32_t timeoutMs);

  private:
    // A Windows auto-reset event: its timed waits keep to the millisecond,
    // where MinGW's condition variable overshoots them.
    void* event_;
#else
    void Set() CAROVEL_EXCLUDES(mutex_);
    // Waits until the event is set or timeoutMs milliseconds have passed.
    // Returns true when the wait consumed a setting, false on time-out.
    bool Wait(std::uint32_t timeoutMs) CAROVEL_EXCLUDES(mutex_);

  private:
    Mutex mutex_;
    ConditionVariable cond_;
    bool set_ CAROVEL_GUARDED_BY(mutex_) = false;
#endif
};

}  // namespace _Carovel

#endif  // CAROVEL_PLATFORM_EVENT_H
