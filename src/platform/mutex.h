// A mutex and its scoped holder, annotated for clang's thread-safety
// analysis (std::mutex is not annotated in every standard library).
#ifndef CAROVEL_PLATFORM_MUTEX_H
#define CAROVEL_PLATFORM_MUTEX_H

#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace _Carovel {

class CAROVEL_CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() CAROVEL_ACQUIRE() { m_.lock(); }
    void unlock() CAROVEL_RELEASE() { m_.unlock(); }

  private:
    std::mutex m_;
};

// Holds a Mutex for its scope.
class CAROVEL_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mu) CAROVEL_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
    ~MutexLock() CAROVEL_RELEASE() { mu_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mu_;
};

// Waits on a Mutex that the caller holds. The analysis cannot see that a
// wait releases and retakes the lock; to it the lock stays held throughout.
class ConditionVariable {
  public:
    void NotifyAll() { cv_.notify_all(); }
    void NotifyOne() { cv_.notify_one(); }
    template <class Rep, class Period, class Predicate>
    bool WaitFor(Mutex& mu, const std::chrono::duration<Rep, Period>& timeout, Predicate ready)
        CAROVEL_REQUIRES(mu) {
        return cv_.wait_for(mu, timeout, ready);
    }
    template <class Predicate>
    void Wait(Mutex& mu, Predicate ready) CAROVEL_REQUIRES(mu) {
        cv_.wait(mu, ready);
    }

  private:
    std::condition_variable_any cv_;
};

}  // namespace _Carovel

#endif  // CAROVEL_PLATFORM_MUTEX_H
