#include "mixer/call_check.h"

#if defined(CAROVEL_CHECK_CALLS)
#include <cstdio>
#include <cstdlib>
#endif

namespace _Carovel {
namespace {

// The innermost scope entered on this thread.
thread_local const PassScope::Enter* t_innermost = nullptr;

}  // namespace

bool PassScope::InMixPendingOf(const void* mixer) {
    for (const Enter* e = t_innermost; mixer != nullptr && e != nullptr; e = e->outer) {
        if (e->scope.mixer == mixer) {
            return true;
        }
    }
    return false;
}

bool PassScope::InPassesOf(const void* session) {
    for (const Enter* e = t_innermost; session != nullptr && e != nullptr; e = e->outer) {
        if (e->scope.session == session) {
            return true;
        }
    }
    return false;
}

PassScope::Enter::Enter(const PassScope& scope) : scope(scope), outer(t_innermost) {
    t_innermost = this;
}

PassScope::Enter::~Enter() {
    t_innermost = outer;
}

#if defined(CAROVEL_CHECK_CALLS)
// A call nested in another on the same thread (Close from the destructor,
// say) is fine; only calls from two threads at once are faults.
SerialCallCheck::Scope::Scope(SerialCallCheck& check, const char* call, bool checked)
    : check_(check) {
    if (!checked) {
        return;
    }
    const std::thread::id self = std::this_thread::get_id();
    const char* running = nullptr;
    if (check.running_.compare_exchange_strong(running, call)) {
        check.owner_.store(self);
        outermost_ = true;
        return;
    }
    if (check.owner_.load() == self) {
        return;
    }
    std::fprintf(stderr,
                 "carovel: CMixer::%s was called while CMixer::%s was running on another "
                 "thread; these calls must not overlap\n",
                 call, running);
    std::abort();
}

SerialCallCheck::Scope::~Scope() {
    if (outermost_) {
        check_.owner_.store(std::thread::id{});
        check_.running_.store(nullptr);
    }
}
#endif

}  // namespace _Carovel
