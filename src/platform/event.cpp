#include "platform/event.h"

#include <chrono>

namespace _Carovel {

void AutoResetEvent::Set() {
    // Notify while holding the mutex: a woken waiter may go on to destroy the
    // event, which must not happen while this call still uses it.
    MutexLock lock(mutex_);
    set_ = true;
    cond_.NotifyOne();
}

bool AutoResetEvent::Wait(std::uint32_t timeoutMs) {
    MutexLock lock(mutex_);
    const bool set = cond_.WaitFor(mutex_, std::chrono::milliseconds(timeoutMs),
                                   [this]() CAROVEL_REQUIRES(mutex_) { return set_; });
    set_ = false;
    return set;
}

}  // namespace _Carovel
