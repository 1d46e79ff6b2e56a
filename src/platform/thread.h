// Starting the output thread at the highest priority the process may use.
#ifndef CAROVEL_PLATFORM_THREAD_H
#define CAROVEL_PLATFORM_THREAD_H

#include <functional>
#include <thread>

namespace _Carovel {

// Starts a thread running body. It then tries to give the thread a real-time
// scheduling priority; where the process is not permitted to, the thread keeps
// its normal priority and nothing is reported. On Windows the thread also runs
// with the system timer period at 1 ms. Throws std::system_error when
// the thread cannot be created, as std::thread does.
std::thread StartTimeCriticalThread(std::function<void()> body);

}  // namespace _Carovel

#endif  // CAROVEL_PLATFORM_THREAD_H
