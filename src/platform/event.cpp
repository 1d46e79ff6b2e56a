#include "platform/event.h"

#include <chrono>

namespace _Carovel {

void CAutoResetEvent::Set() {
    // Notify while holding the mutex: a woken waiter may go on to destroy the
    // event, which must not happen while this call still uses it.
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSet = true;
    m_cond.notify_one();
}

bool CAutoResetEvent::Wait(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool set =
        m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_bSet; });
    m_bSet = false;
    return set;
}

}  // namespace _Carovel
