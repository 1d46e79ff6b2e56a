// A check that calls which must not overlap really do not: AddFrame, Open,
// Close and ClearTraceData on one mixer. Built in when CAROVEL_CHECK_CALLS is
// defined (debug and sanitizer builds); an overlap then aborts the process
// with a message naming both calls. Elsewhere it costs nothing.
#ifndef CAROVEL_MIXER_CALL_CHECK_H
#define CAROVEL_MIXER_CALL_CHECK_H

#include <atomic>
#include <thread>

namespace _Carovel {

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

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_CALL_CHECK_H
