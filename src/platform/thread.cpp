#include "platform/thread.h"

#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <sched.h>
#endif

namespace _Carovel {

namespace {

void RaisePriority(std::thread& thread) {
#if defined(__unix__) || defined(__APPLE__)
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    if (param.sched_priority >= 0) {
        // Fails without the right privileges or limits; the thread then simply
        // keeps the normal priority.
        (void)pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
    }
#else
    (void)thread;
#endif
}

}  // namespace

std::thread StartTimeCriticalThread(std::function<void()> body) {
    std::thread thread(std::move(body));
    RaisePriority(thread);
    return thread;
}

}  // namespace _Carovel
