#include "platform/thread.h"

#include <utility>

#if defined(_WIN32)
#include "platform/windows_api.h"
// timeapi.h needs the types windows.h declares.
#include <timeapi.h>
#elif defined(__unix__) || defined(__APPLE__)
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

#if defined(_WIN32)
// On Windows the thread raises its own priority: with MinGW's threads,
// std::thread's native handle is not a Windows thread handle.
//
// Runs body at time-critical priority with the system timer at 1 ms, so that
// the output thread's timed waits are not rounded up to the default 15.6 ms
// timer interval. A refused priority change leaves the thread at normal
// priority; a refused timer period leaves the default one.
void RunTimeCritical(const std::function<void()>& body) {
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    const bool finerTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    struct RestoreTimer {
        bool active;
        ~RestoreTimer() {
            if (active) {
                timeEndPeriod(1);
            }
        }
    } restore{finerTimer};
    body();
}
#endif

}  // namespace

std::thread StartTimeCriticalThread(std::function<void()> body) {
#if defined(_WIN32)
    std::thread thread([body = std::move(body)] { RunTimeCritical(body); });
#else
    std::thread thread(std::move(body));
#endif
    RaisePriority(thread);
    return thread;
}

}  // namespace _Carovel
