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
// How long Close waits for the output thread: 50 polls of 4 ms.
constexpr std::chrono::milliseconds kCloseWait{200};

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
    : m_pfnMixOut(nullptr), m_bRun(false), m_hEvent(std::make_shared<CAutoResetEvent>()) {}

CMixer::~CMixer() {
    Close();
    WaitForOutputThread();
}

bool CMixer::OnOutputThread() const {
    const std::shared_ptr<MixOutState> st = std::atomic_load(&m_pThreadState);
    return st != nullptr && st->threadId == std::this_thread::get_id();
}

void CMixer::WaitForOutputThread() {
    const std::shared_ptr<MixOutState> st = std::atomic_load(&m_pThreadState);
    if (st == nullptr) {
        return;
    }
    if (st->threadId == std::this_thread::get_id()) {
        // Destroyed from inside the callback: the thread cannot wait for
        // itself. It ends on its own once the callback returns, touching only
        // the state it shares.
        if (m_hThread.joinable()) {
            m_hThread.detach();
        }
        return;
    }
    st->WaitDone();
    if (m_hThread.joinable()) {
        m_hThread.join();
    }
    std::atomic_store(&m_pThreadState, std::shared_ptr<MixOutState>());
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

    auto st = std::make_shared<MixOutState>();
    st->callback = pfn;
    st->userData = userData;
    st->frameSize = frameSize;
    st->periodMs = MixPeriodMs(channels, samplesPerSec, bitsPerSample, frameSize);
    st->event = m_hEvent;

    ClearTraceIDList();  // left by a Close from inside the callback
    m_wChannels = channels;
    m_wSamplesPerSec = samplesPerSec;
    m_wBitsPerSample = bitsPerSample;
    m_wFrameSize = frameSize;
    m_dwGrowStep = 2ul * frameSize;
    m_WaveMix.Init(static_cast<unsigned short>(bitsPerSample / 8));

    {
        std::lock_guard<std::mutex> gate(st->gate);
        std::atomic_store(&m_pThreadState, st);
        try {
            m_hThread = StartTimeCriticalThread([this, st] {
                MixOutLoop();
                st->MarkDone();
            });
        } catch (const std::system_error&) {
            std::atomic_store(&m_pThreadState, std::shared_ptr<MixOutState>());
            return false;
        }
        st->threadId = m_hThread.get_id();
    }
    m_pUserData = userData;
    m_bRun = true;
    m_pfnMixOut = pfn;
    return true;
}

bool CMixer::Close() {
    const std::shared_ptr<MixOutState> st = std::atomic_load(&m_pThreadState);
    if (st != nullptr) {
        std::lock_guard<std::mutex> gate(st->gate);
        st->run = false;
    }
    m_bRun = false;
    m_hEvent->Set();

    const bool onOutputThread = st != nullptr && st->threadId == std::this_thread::get_id();
    if (st != nullptr && m_hThread.joinable()) {
        if (onOutputThread) {
            // Called from inside the callback; the thread ends when it returns.
            m_hThread.detach();
        } else if (st->WaitDone(kCloseWait)) {
            m_hThread.join();
            std::atomic_store(&m_pThreadState, std::shared_ptr<MixOutState>());
        }
        // Otherwise the callback is still running: the thread and its state
        // stay until the next Open or the destructor waits for it.
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
    const std::shared_ptr<MixOutState> st = std::atomic_load(&m_pThreadState);
    if (st == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> gate(st->gate);
        if (st->threadId != std::this_thread::get_id()) {
            return;  // not called by the output thread
        }
    }
    const int frameSize = st->frameSize;
    std::vector<char> master;
    std::vector<char> mix;
    try {
        master.resize(static_cast<std::size_t>(frameSize));
        mix.resize(static_cast<std::size_t>(frameSize));
    } catch (const std::bad_alloc&) {
        return;
    }
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
        m_WaveMix.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, &tag);
        if (mixLen > 0) {
            {
                std::lock_guard<std::mutex> gate(st->gate);
                if (!st->run.load()) {
                    break;
                }
            }
            st->callback(master.data(), static_cast<unsigned>(masterLen), mix.data(),
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
    try {
        auto record = std::make_unique<tagWaveTrack>(traceID);
        tagWaveTrack* const raw = record.get();
        m_lstTraceID.emplace(traceID, std::move(record));
        return raw;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void CMixer::ClearTraceIDList() {
    m_lstTraceID.clear();
}

}  // namespace _Carovel
