// The guard of a mixer's host calls: whether a call comes from inside the
// mixer's passes (PassScope, the one thread-local that tells), and a check
// that calls which must not overlap really do not (SerialCallCheck).
#ifndef CAROVEL_MIXER_CALL_CHECK_H
#define CAROVEL_MIXER_CALL_CHECK_H

#include <atomic>
#include <thread>

namespace _Carovel {

// The passes running on the calling thread: an output thread's for its whole
// life, or a host thread's inside a mixer's MixPending. A callback may run
// another mixer's MixPending, so scopes nest; the questions below look at
// all of them.
struct PassScope {
    // The mixer whose MixPending runs on the thread (null on an output
    // thread), and the session whose passes run on it.
    const void* mixer = nullptr;
    const void* session = nullptr;

    // Whether the calling thread is inside mixer's MixPending, or inside the
    // passes of session (at any depth). Null is never inside.
    static bool InMixPendingOf(const void* mixer);
    static bool InPassesOf(const void* session);

    // Marks the calling thread for its scope, which must outlive it.
    class Enter {
      public:
        explicit Enter(const PassScope& scope);
        ~Enter();
        Enter(const Enter&) = delete;
        Enter& operator=(const Enter&) = delete;

        const PassScope& scope;
        const Enter* const outer;  // the scope this one is nested in
    };
};

// A check that calls which must not overlap really do not: AddFrame, Open,
// Close and ClearTraceData on one mixer. Built in when CAROVEL_CHECK_CALLS is
// defined (debug and sanitizer builds); an overlap then aborts the process
// with a message naming both calls. Elsewhere it costs nothing.
class SerialCallCheck {
  public:
    // Marks a call as running for its scope; a call made with checked false
    // (one that is allowed to overlap, such as Close from the callback) is
    // not marked.
    class Scope {
      public:
#if defined(CAROVEL_CHECK_CALLS)
        Scope(SerialCallCheck& check, const char* call, bool checked = true);
        ~Scope();
#else
        Scope(SerialCallCheck&, const char*, bool = true) {}
#endif
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

#if defined(CAROVEL_CHECK_CALLS)
      private:
        SerialCallCheck& check_;
        bool outermost_ = false;
#endif
    };

#if defined(CAROVEL_CHECK_CALLS)
  private:
    std::atomic<const char*> running_{nullptr};  // the outermost call running
    std::atomic<std::thread::id> owner_{};       // the thread running it
#endif
};

// One host call on a mixer, for its scope. A call from inside the mixer's
// MixPending (from one of its callbacks) is refused by the caller and not
// marked; any other is marked running for the overlap check, unless the
// caller says it may overlap (Close from the output thread's callback).
class HostCall {
  public:
    HostCall(SerialCallCheck& check, const void* mixer, const char* call, bool mayOverlap = false)
        : inMixPending_(PassScope::InMixPendingOf(mixer)),
          scope_(check, call, !inMixPending_ && !mayOverlap) {}
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;

    // Made from inside one of the mixer's callbacks in MixPending.
    bool InMixPending() const { return inMixPending_; }

  private:
    const bool inMixPending_;
    SerialCallCheck::Scope scope_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_CALL_CHECK_H
