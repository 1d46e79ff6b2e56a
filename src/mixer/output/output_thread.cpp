#include "mixer/output/output_thread.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "mixer/call_check.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace _Carovel {
namespace {

// A pass that starts later than its due time is followed by shorter waits
// until the thread is back on its grid, unless it is further behind than
// this: then the grid starts anew rather than firing a burst of passes.
constexpr std::int32_t kMaxCatchUpMs = 1000;

// Whether the calling thread runs st's passes (its output thread, or a
// callback of it, however nested). Thread ids are reused once a thread ends,
// so the thread is recognised by its session.
bool OnThreadOf(const std::shared_ptr<OutputSession>& st) {
    return PassScope::InPassesOf(st.get());
}

}  // namespace

unsigned MixPeriodMs(const PcmFormat& format, std::size_t frameBytes) {
    const std::uint64_t bytesPerSec =
        std::uint64_t{format.channels} * format.samplesPerSec * format.bitsPerSample / 8;
    if (bytesPerSec == 0) {
        return kMinPeriodMs;
    }
    const auto period = static_cast<unsigned>(static_cast<double>(frameBytes) * 1000.0 /
                                              static_cast<double>(bytesPerSec));
    return std::max(period, static_cast<unsigned>(kMinPeriodMs));
}

NextPass ScheduleNextPass(std::uint32_t periodMs, std::uint32_t dueMs, bool wokenEarly,
                          std::uint32_t startMs, std::uint32_t endMs) {
    if (wokenEarly || static_cast<std::int32_t>(startMs - dueMs) > kMaxCatchUpMs) {
        dueMs = startMs;
    }
    if (endMs - startMs >= periodMs) {
        return {endMs + kMinPeriodMs, kMinPeriodMs};
    }
    const std::uint32_t next = dueMs + periodMs;
    const auto wait =
        static_cast<std::uint32_t>(std::max(static_cast<std::int32_t>(next - endMs), 0));
    return {next, wait};
}

OutputSession::OutputSession(MixOutCallback callback, void* userData, std::size_t frameBytes,
                             unsigned periodMs, std::shared_ptr<AutoResetEvent> event,
                             std::shared_ptr<std::atomic<unsigned long>> callbackExceptions)
    : frameBytes(frameBytes),
      periodMs(periodMs),
      masterBuffer(frameBytes),
      mixBuffer(frameBytes),
      callback_(callback),
      userData_(userData),
      event_(std::move(event)),
      callbackExceptions_(std::move(callbackExceptions)) {}

void OutputSession::Stop(bool insideCallback) {
    {
        MutexLock gate(gate_);
        run_ = false;
        stoppedInside_ = stoppedInside_ || insideCallback;
    }
    event_->Set();
}

template <class Call>
bool OutputSession::Run(Call&& call, bool passBegun) {
    {
        MutexLock gate(gate_);
        if (passBegun ? stoppedInside_ : !run_.load()) {
            return false;
        }
    }
    try {
        call();
    } catch (...) {
        // A host's exception must not end the process on a thread it does
        // not own; the count tells it that something went wrong.
        callbackExceptions_->fetch_add(1);
    }
    return true;
}

bool OutputSession::Deliver(char* master, unsigned masterLen, char* mix, unsigned mixLen) {
    return Run([&] { callback_(master, masterLen, mix, mixLen, userData_, tag); }, false);
}

bool OutputSession::DeliverMinus(long sourceId, char* frame, unsigned len) {
    return Run([&] { minusCallback_(sourceId, frame, len, userData_); }, true);
}

void OutputSession::SetMixMinus(MixMinusCallback minusCallback, bool includeIdle) {
    minusCallback_ = minusCallback;
    minus.includeIdle = includeIdle;
}

void OutputSession::MarkDone() {
    {
        MutexLock lock(doneMutex_);
        done_ = true;
    }
    doneCond_.NotifyAll();
}

bool OutputSession::WaitDone(std::chrono::milliseconds timeout) {
    MutexLock lock(doneMutex_);
    return doneCond_.WaitFor(doneMutex_, timeout,
                             [this]() CAROVEL_REQUIRES(doneMutex_) { return done_; });
}

void OutputSession::WaitDone() {
    MutexLock lock(doneMutex_);
    doneCond_.Wait(doneMutex_, [this]() CAROVEL_REQUIRES(doneMutex_) { return done_; });
}

OutputThread::~OutputThread() {
    WaitForExit();
}

Status OutputThread::Start(std::shared_ptr<OutputSession> session, std::function<void()> body,
                           const std::function<void()>& setUp) {
    // The new thread waits on the gate until the mixer is set up, so nothing
    // changes unless the thread starts.
    MutexLock gate(session->gate_);
    std::thread thread;
    try {
        thread = StartTimeCriticalThread([session, body = std::move(body)] {
            PassScope scope;
            scope.session = session.get();
            const PassScope::Enter passes(scope);
            { MutexLock setUpDone(session->gate_); }
            body();
            session->MarkDone();
        });
    } catch (const std::system_error&) {
        return Status::kThreadStartFailed;
    } catch (const std::bad_alloc&) {
        return Status::kOutOfMemory;
    }
    setUp();
    MutexLock lock(mutex_);
    session_ = std::move(session);
    thread_ = std::move(thread);
    return Status::kOk;
}

bool OutputThread::Stop(std::chrono::milliseconds wait) {
    const std::shared_ptr<OutputSession> st = Session();
    if (st == nullptr) {
        return false;
    }
    const bool inside = OnThreadOf(st);
    st->Stop(inside);
    // The output thread cannot wait for itself; it ends when the callback
    // returns and is joined by the host's next call.
    if (!inside && st->WaitDone(wait)) {
        JoinFinished(st);
    }
    return true;
}

void OutputThread::WaitForExit() {
    const std::shared_ptr<OutputSession> st = Session();
    if (st == nullptr) {
        return;
    }
    if (OnThreadOf(st)) {
        MutexLock lock(mutex_);
        if (thread_.joinable()) {
            thread_.detach();
        }
        return;
    }
    st->WaitDone();
    JoinFinished(st);
}

bool OutputThread::IsRunning() const {
    const std::shared_ptr<OutputSession> st = Session();
    return st != nullptr && st->Running();
}

bool OutputThread::IsCurrentThread() const {
    return SessionOfCurrentThread() != nullptr;
}

OutputSession* OutputThread::SessionOfCurrentThread() const {
    const std::shared_ptr<OutputSession> st = Session();
    return st != nullptr && OnThreadOf(st) ? st.get() : nullptr;
}

std::shared_ptr<OutputSession> OutputThread::Session() const {
    MutexLock lock(mutex_);
    return session_;
}

void OutputThread::JoinFinished(const std::shared_ptr<OutputSession>& st) {
    MutexLock lock(mutex_);
    if (session_ != st) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();  // it has marked itself done: returns at once
    }
    session_.reset();
}

PassOutcome DeliverPass(OutputSession& st, const PassOutput& out) {
    if (out.mixLen <= 0) {
        return PassOutcome::kNoFrame;
    }
    if (!st.Deliver(out.master, static_cast<unsigned>(std::max(out.masterLen, 0)), out.mix,
                    static_cast<unsigned>(out.mixLen))) {
        return PassOutcome::kStopped;
    }
    for (int i = 0; out.minus != nullptr && i < out.minus->Count(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        if (!st.DeliverMinus(out.minus->ids[index], out.minus->Data(i),
                             static_cast<unsigned>(out.minus->lengths[index]))) {
            return PassOutcome::kStopped;
        }
    }
    return PassOutcome::kDelivered;
}

}  // namespace _Carovel
