#include "platform/event.h"

#include <chrono>

#if defined(_WIN32)
#include <system_error>

#include "platform/windows_api.h"
#endif

namespace _Carovel {

#if defined(_WIN32)
AutoResetEvent::AutoResetEvent() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (event_ == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateEvent");
    }
}

AutoResetEvent::~AutoResetEvent() {
    CloseHandle(event_);
}

void AutoResetEvent::Set() {
    // Once SetEvent has released a waiter, this call touches nothing of the
    // event, which the waiter may go on to destroy.
    SetEvent(event_);
}

bool AutoResetEvent::Wait(std::uint32_t timeoutMs) {
    // 0xFFFFFFFF is INFINITE here, where the portable code waits 49.7 days.
    return WaitForSingleObject(event_, timeoutMs) == WAIT_OBJECT_0;
}
#else
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
#endif

}  // namespace _Carovel
