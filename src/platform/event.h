// An auto-reset event: Set() wakes one waiter, or the next one to wait, and is
// consumed by that wake-up.
#ifndef CAROVEL_PLATFORM_EVENT_H
#define CAROVEL_PLATFORM_EVENT_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace _Carovel {

class CAutoResetEvent {
  public:
    CAutoResetEvent() = default;
    CAutoResetEvent(const CAutoResetEvent&) = delete;
    CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

    void Set();
    // Waits until the event is set or timeoutMs milliseconds have passed.
    // Returns true when the wait consumed a setting, false on time-out.
    bool Wait(std::uint32_t timeoutMs);

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bSet = false;
};

}  // namespace _Carovel

#endif  // CAROVEL_PLATFORM_EVENT_H
