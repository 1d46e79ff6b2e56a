// CMixer lifecycle and its output thread.
#include "carovel/mixer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <vector>

#include "mixer/mixer_internal.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace _Carovel {
namespace {

constexpr unsigned kMinPeriodMs = 5;
// Passes that start late (the thread was not scheduled in time) are followed
// by shorter waits until the thread is back on its schedule, unless it is
// further behind than this.
constexpr std::int32_t kMaxCatchUpMs = 1000;
// A source that sends nothing for longer than this is forgotten, as its track
// in the frame mixer is.
constexpr std::uint32_t kIdleSourceSeconds = 10;
// How long Close waits for the output thread: 50 polls of 4 ms.
constexpr std::chrono::milliseconds kCloseWait{200};

// The state of the output thread running on this thread, if any. Thread ids
// are reused once a thread ends, so the thread is recognised by its state.
thread_local MixOutState* t_outputState = nullptr;

bool IsMixingWidth(unsigned short bitsPerSample) {
    return bitsPerSample == 8 || bitsPerSample == 16 || bitsPerSample == 24 || bitsPerSample == 32;
}

}  // namespace

unsigned MixPeriodMs(unsigned short channels, unsigned short samplesPerSec,
                     unsigned short bitsPerSample, unsigned short frameSize) {
    const std::uint64_t bytesPerSec = std::uint64_t{channels} * samplesPerSec * bitsPerSample / 8;
    if (bytesPerSec == 0) {
        return kMinPeriodMs;
    }
    const auto period =
        static_cast<unsigned>(frameSize * 1000.0 / static_cast<double>(bytesPerSec));
    return std::max(period, kMinPeriodMs);
}

CMixer::CMixer()
    : m_pfnMixOut(nullptr),
      m_bRun(false),
      m_pUserData(nullptr),
      m_hEvent(std::make_shared<CAutoResetEvent>()) {}

CMixer::~CMixer() {
    Close();
    WaitForOutputThread();
}

bool CMixer::OnOutputThread() const {
    const std::shared_ptr<MixOutState> st = std::atomic_load(&m_pThreadState);
    return st != nullptr && t_outputState == st.get();
}

void CMixer::JoinFinishedThread(const std::shared_ptr<MixOutState>& st) {
    std::lock_guard<std::mutex> guard(m_csThread);
    if (m_hThread.joinable()) {
        m_hThread.join();  // it has marked itself done: returns at once
    }
    std::shared_ptr<MixOutState> expected = st;
    std::atomic_compare_exchange_strong(&m_pThreadState, &expected, std::shared_ptr<MixOutState>());
}

void CMixer::WaitForOutputThread() {
    const std::shared_ptr<MixOutState> st = std::atomic_load(&m_pThreadState);
    if (st == nullptr) {
        return;
    }
    if (t_outputState == st.get()) {
        // Destroyed from inside the callback: the thread cannot wait for
        // itself. It ends on its own once the callback returns, touching only
        // the state it shares.
        std::lock_guard<std::mutex> guard(m_csThread);
        if (m_hThread.joinable()) {
            m_hThread.detach();
        }
        return;
    }
    st->WaitDone();
    JoinFinishedThread(st);
}

bool CMixer::Open(unsigned short channels, unsigned short samplesPerSec,
                  unsigned short bitsPerSample, unsigned short frameSize, MixOutCallback pfn,
                  void* userData) {
    if (m_pfnMixOut.load() != nullptr || pfn == nullptr || channels == 0 || samplesPerSec == 0 ||
        !IsMixingWidth(bitsPerSample)) {
        return false;
    }
    const unsigned blockAlign = unsigned{channels} * (bitsPerSample / 8u);
    if (frameSize == 0 || frameSize % blockAlign != 0) {
        return false;
    }
    if (OnOutputThread()) {
        return false;  // from inside a callback of the thread being stopped
    }
    WaitForOutputThread();  // one that an earlier Close left finishing its callback

    std::shared_ptr<MixOutState> st;
    try {
        st = std::make_shared<MixOutState>();
        st->masterBuffer.resize(frameSize);
        st->mixBuffer.resize(frameSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    st->callback = pfn;
    st->userData = userData;
    st->frameSize = frameSize;
    st->periodMs = MixPeriodMs(channels, samplesPerSec, bitsPerSample, frameSize);
    st->event = m_hEvent;

    // The new thread waits on the gate until the mixer is set up, so nothing
    // changes unless the thread starts.
    std::unique_lock<std::mutex> gate(st->gate);
    std::thread thread;
    try {
        thread = StartTimeCriticalThread([this, st] {
            t_outputState = st.get();
            { std::lock_guard<std::mutex> setUp(st->gate); }
            MixOutLoop();
            st->MarkDone();
        });
    } catch (const std::exception&) {
        return false;
    }
    ClearTraceIDList();  // left by a Close from inside the callback
    m_wChannels = channels;
    m_wSamplesPerSec = samplesPerSec;
    m_wBitsPerSample = bitsPerSample;
    m_wFrameSize = frameSize;
    m_dwGrowStep = 2ul * frameSize;
    m_WaveMix.Init(static_cast<unsigned short>(bitsPerSample / 8));
    std::atomic_store(&m_pThreadState, st);
    {
        std::lock_guard<std::mutex> guard(m_csThread);
        m_hThread = std::move(thread);
    }
    m_pUserData = userData;
    m_bRun = true;
    m_pfnMixOut = pfn;
    return true;
}

bool CMixer::Close() {
    const std::shared_ptr<MixOutState> st = std::atomic_load(&m_pThreadState);
    const bool onOutputThread = st != nullptr && t_outputState == st.get();
    if (st != nullptr) {
        std::lock_guard<std::mutex> gate(st->gate);
        st->run = false;
    }
    m_bRun = false;
    m_hEvent->Set();

    // From inside the callback the thread cannot wait for itself; it ends when
    // the callback returns and is joined by the host's next Open, Close or
    // the destructor. Otherwise wait up to 200 ms: a callback still running
    // after that keeps the thread until the next Open or the destructor.
    if (st != nullptr && !onOutputThread && st->WaitDone(kCloseWait)) {
        JoinFinishedThread(st);
    }
    m_pfnMixOut = nullptr;
    m_pUserData = nullptr;
    // From inside the callback a host thread may still be in AddFrame on a
    // record, so the records stay until the host's next Open, Close or the
    // destructor. AddFrame refuses new blocks from now on.
    if (!onOutputThread) {
        ClearTraceIDList();
    }
    return true;
}

bool CMixer::IsRun() const {
    return m_pfnMixOut.load() != nullptr && m_bRun.load();
}

void CMixer::NotifyToMixe() {
    m_hEvent->Set();
}

void CMixer::MixOutLoop() {
    MixOutState* const st = t_outputState;
    if (st == nullptr || std::atomic_load(&m_pThreadState).get() != st) {
        return;  // not called by this mixer's output thread
    }
    const int frameSize = st->frameSize;
    char* const master = st->masterBuffer.data();
    char* const mix = st->mixBuffer.data();
    const std::uint32_t period = st->periodMs;
    void* tag = nullptr;

    // Passes are scheduled on a grid of periods so that waits which end late
    // do not add up: each wait ends at the next pass's due time, not a full
    // period after the pass actually started. A pass started early by
    // NotifyToMixe moves the grid to its start, and after a pass and its
    // callback overran the period the thread still waits 5 ms.
    std::uint32_t due = TickCount() + period / 2;
    bool woken = st->event->Wait(period / 2);
    // After the callback returns, the loop touches only st and its locals
    // until it has checked the run flag: the mixer may have been closed or
    // destroyed from inside the callback.
    while (st->run.load()) {
        const std::uint32_t start = TickCount();
        if (woken || static_cast<std::int32_t>(start - due) > kMaxCatchUpMs) {
            due = start;  // started early, or too far behind to catch up
        }
        int masterLen = frameSize;
        int mixLen = frameSize;
        m_WaveMix.GetMixedFrame(master, masterLen, mix, mixLen, &tag);
        if (mixLen > 0) {
            {
                std::lock_guard<std::mutex> gate(st->gate);
                if (!st->run.load()) {
                    break;
                }
            }
            st->callback(master, static_cast<unsigned>(masterLen), mix,
                         static_cast<unsigned>(mixLen), st->userData, tag);
        }
        const std::uint32_t now = TickCount();
        std::uint32_t wait = kMinPeriodMs;
        if (now - start >= period) {
            due = now + kMinPeriodMs;  // overran: rest at least 5 ms
        } else {
            due += period;
            wait = static_cast<std::uint32_t>(std::max(static_cast<std::int32_t>(due - now), 0));
        }
        woken = st->event->Wait(wait);
    }
}

void CMixer::ClearTraceData() {
    for (auto& entry : m_lstTraceID) {
        entry.second->dwDataLen = 0;
        entry.second->partialBlock.clear();
    }
    m_WaveMix.ClearBuffs();
}

tagWaveTrack* CMixer::FindTraceIDData(long traceID) {
    const auto found = m_lstTraceID.find(traceID);
    if (found != m_lstTraceID.end()) {
        return found->second.get();
    }
    DropIdleRecords();
    try {
        auto record = std::make_unique<tagWaveTrack>(traceID);
        tagWaveTrack* const raw = record.get();
        m_lstTraceID.emplace(traceID, std::move(record));
        return raw;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Sources are told apart by id, and a host may use a new id for every call;
// so that records do not pile up over weeks, a source that has sent nothing
// for longer than an idle track lives is dropped when a new source appears,
// with its staged partial frame and its converter.
void CMixer::DropIdleRecords() {
    const std::uint32_t now = GetNowTime();
    for (auto it = m_lstTraceID.begin(); it != m_lstTraceID.end();) {
        if (now - it->second->tLastFeed > kIdleSourceSeconds) {
            it = m_lstTraceID.erase(it);
        } else {
            ++it;
        }
    }
}

void CMixer::ClearTraceIDList() {
    m_lstTraceID.clear();
}

}  // namespace _Carovel
