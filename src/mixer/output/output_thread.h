// The mixer's output thread: its state, starting and stopping it, and the
// pacing of its passes.
#ifndef CAROVEL_MIXER_OUTPUT_THREAD_H
#define CAROVEL_MIXER_OUTPUT_THREAD_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/status.h"
#include "engine/engine.h"
#include "pcm/pcm_format.h"
#include "platform/event.h"
#include "platform/mutex.h"

namespace _Carovel {

// Output passes are never closer together than this, except when
// NotifyToMixe starts one.
constexpr std::uint32_t kMinPeriodMs = 5;

// The output period for a mixing format and frame length: the frame's
// duration in whole milliseconds (truncated), at least kMinPeriodMs.
unsigned MixPeriodMs(const PcmFormat& format, std::size_t frameBytes);

// When the next pass is due and how long to wait for it.
struct NextPass {
    std::uint32_t dueMs;
    std::uint32_t waitMs;
};

// Pacing of the output thread, as a pure function of the millisecond tick.
// Passes keep to a grid of periods, so that waits which end late do not add
// up: each wait ends at the next pass's due time, not a full period after the
// pass started. Given the period, the due time of the pass that just ran, the
// tick when it started and when it (with its callback) ended, and whether its
// wait was cut short by NotifyToMixe:
//  - a pass started early, or more than a second behind its due time, moves
//    the grid to its start;
//  - after a pass that took a whole period or more, the thread still rests
//    kMinPeriodMs, and the grid starts anew from there;
//  - otherwise the next pass is due one period after this one's due time,
//    at once when that time has already passed.
NextPass ScheduleNextPass(std::uint32_t periodMs, std::uint32_t dueMs, bool wokenEarly,
                          std::uint32_t startMs, std::uint32_t endMs);

// What a mixer and its output thread share, so that a thread that outlives a
// Close (or its mixer, when destroyed from inside the callback) touches only
// memory it co-owns.
class OutputSession {
  public:
    OutputSession(MixOutCallback callback, void* userData, std::size_t frameBytes,
                  unsigned periodMs, std::shared_ptr<AutoResetEvent> event,
                  std::shared_ptr<std::atomic<unsigned long>> callbackExceptions);

    // Asks every pass for mix-minus outputs and hands each to minusCallback
    // after the mix; includeIdle as for CMixMinusFrames. Called before the
    // session's first pass.
    void SetMixMinus(MixMinusCallback minusCallback, bool includeIdle);
    bool WantsMixMinus() const { return minusCallback_ != nullptr; }
    OutputSession(const OutputSession&) = delete;
    OutputSession& operator=(const OutputSession&) = delete;

    // True until Stop. The session is what makes its mixer open.
    bool Running() const { return run_.load(); }
    // Clears the run flag under the gate, so that no pass begins delivering
    // after Stop returns, and wakes the thread. insideCallback: called from
    // one of the session's own callbacks (which may go on to destroy the
    // mixer), so that even the rest of that pass is not delivered.
    void Stop(bool insideCallback) CAROVEL_EXCLUDES(gate_);

    // Runs the callback unless the session was stopped; returns false when
    // it was. An exception escaping the callback is counted and swallowed:
    // the thread goes on.
    bool Deliver(char* master, unsigned masterLen, char* mix, unsigned mixLen)
        CAROVEL_EXCLUDES(gate_);
    // The same for one mix-minus output of the pass whose mix was delivered:
    // it runs after a Stop from another thread too, so that a pass is
    // delivered whole or not at all; only a Stop from inside a callback
    // ends the pass there.
    bool DeliverMinus(long sourceId, char* frame, unsigned len) CAROVEL_EXCLUDES(gate_);

    void MarkDone() CAROVEL_EXCLUDES(doneMutex_);
    bool WaitDone(std::chrono::milliseconds timeout) CAROVEL_EXCLUDES(doneMutex_);
    void WaitDone() CAROVEL_EXCLUDES(doneMutex_);

    const std::size_t frameBytes;
    const unsigned periodMs;
    AutoResetEvent& Event() const { return *event_; }
    // frameBytes bytes each, handed to the callback.
    std::vector<char> masterBuffer;
    std::vector<char> mixBuffer;
    // The tag of the last master frame; kept from pass to pass.
    void* tag = nullptr;
    // The mix-minus outputs of the last pass, when asked for.
    MinusOutputs minus;
    // The session's buffers for the next pass, at full capacity.
    PassOutput PassBuffers() {
        return PassOutput{masterBuffer.data(),
                          static_cast<int>(frameBytes),
                          mixBuffer.data(),
                          static_cast<int>(frameBytes),
                          &tag,
                          WantsMixMinus() ? &minus : nullptr};
    }

  private:
    friend class OutputThread;

    // Runs call unless the session was stopped (false then), counting and
    // swallowing an exception that escapes it. Within a pass already begun,
    // only a Stop from inside a callback counts.
    template <class Call>
    bool Run(Call&& call, bool passBegun) CAROVEL_EXCLUDES(gate_);

    const MixOutCallback callback_;
    void* const userData_;
    MixMinusCallback minusCallback_ = nullptr;
    const std::shared_ptr<AutoResetEvent> event_;
    const std::shared_ptr<std::atomic<unsigned long>> callbackExceptions_;
    std::atomic<bool> run_{true};
    bool stoppedInside_ CAROVEL_GUARDED_BY(gate_) = false;
    // Held by OutputThread::Start until the mixer is set up, which the thread
    // waits for; then taken to check the run flag before each callback, and
    // by Stop to clear it.
    Mutex gate_;
    Mutex doneMutex_;
    ConditionVariable doneCond_;
    bool done_ CAROVEL_GUARDED_BY(doneMutex_) = false;
};

// Owns the output thread of one mixer. Only the mixer's serialised calls
// (Open, Close, the destructor) start and stop it; any thread may ask whether
// it runs.
class OutputThread {
  public:
    OutputThread() = default;
    OutputThread(const OutputThread&) = delete;
    OutputThread& operator=(const OutputThread&) = delete;
    // Waits for the thread to end (see WaitForExit).
    ~OutputThread();

    // Starts a thread that calls body() once setUp() (run on this thread
    // while the new thread waits) has returned. Returns kThreadStartFailed,
    // without calling setUp, when no thread can be started.
    Status Start(std::shared_ptr<OutputSession> session, std::function<void()> body,
                 const std::function<void()>& setUp) CAROVEL_EXCLUDES(mutex_);

    // Stops the current session. Unless called on the output thread itself,
    // waits up to wait for the thread to end and joins it when it did. A
    // thread still in a slow callback after that ends on its own and is
    // joined by the next Start, Stop or WaitForExit. Returns false when there
    // was no session to stop.
    bool Stop(std::chrono::milliseconds wait) CAROVEL_EXCLUDES(mutex_);

    // Waits for a thread left running by an earlier Stop. On the output
    // thread itself it cannot wait: it detaches the thread, which then ends
    // on its own touching only its session.
    void WaitForExit() CAROVEL_EXCLUDES(mutex_);

    // True while a session runs: from Start until Stop.
    bool IsRunning() const CAROVEL_EXCLUDES(mutex_);
    // True when called on the thread of the current session.
    bool IsCurrentThread() const CAROVEL_EXCLUDES(mutex_);
    // The session running on the calling thread when it is this object's
    // current one, else null.
    OutputSession* SessionOfCurrentThread() const CAROVEL_EXCLUDES(mutex_);

  private:
    std::shared_ptr<OutputSession> Session() const CAROVEL_EXCLUDES(mutex_);
    // Joins the thread of session st, which has marked itself done, and
    // forgets it unless a newer one took its place.
    void JoinFinished(const std::shared_ptr<OutputSession>& st) CAROVEL_EXCLUDES(mutex_);

    mutable Mutex mutex_;
    std::thread thread_ CAROVEL_GUARDED_BY(mutex_);
    // After a Stop that timed out, the session stays until its thread ended.
    std::shared_ptr<OutputSession> session_ CAROVEL_GUARDED_BY(mutex_);
};

// What one pass came to.
enum class PassOutcome {
    kNoFrame,    // source 0 had no frame: nothing was taken or delivered
    kDelivered,  // the mix and any mix-minus outputs went to the callbacks
    kStopped,    // the session was stopped before or during the delivery
};

// Delivers a pass whose results are in out (the session's buffers and, when
// it asks for them, its mix-minus outputs): kNoFrame when there is no mix,
// otherwise the mix, then every mix-minus output. After a callback returns it
// touches only the session: the mixer may have been closed or destroyed from
// inside the callback.
PassOutcome DeliverPass(OutputSession& session, const PassOutput& out);

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_OUTPUT_THREAD_H
