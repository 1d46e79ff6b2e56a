#include "carovel/wave_mix.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "mixcore/mix_kernel.h"
#include "mixcore/wave_mix_state.h"
#include "pcm/sample_codec.h"
#include "platform/clock.h"

namespace _Carovel {
namespace {

// Copies up to capacity bytes of frame into out; returns the bytes copied.
int CopyFrame(const WaveFrame& frame, char* out, int capacity) {
    const int len = std::min(frame.nLen, capacity);
    if (len > 0) {
        std::memcpy(out, frame.pData, static_cast<std::size_t>(len));
    }
    return std::max(len, 0);
}

}  // namespace

CWaveMix::CWaveMix() : m_state(std::make_unique<State>()) {}

CWaveMix::~CWaveMix() {
    m_state->closing = true;
    // Lets a pass that began just before the flag was set finish first. It is
    // a courtesy, not a guarantee: owners stop their mixing threads before
    // destroying the frame mixer.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ClearBuffs();
}

void CWaveMix::Init(unsigned short bytesPerSample) {
    ClearBuffs();
    m_state->bytesPerSample = bytesPerSample;
}

void CWaveMix::ClearBuffs() {
    m_state->queues.Clear();
}

bool CWaveMix::AddFrame(long trackID, const char* data, int len, void* tag) {
    const Status status = len < 0 || (data == nullptr && len > 0)
                              ? Status::kBadArgument
                              : m_state->queues.Push(trackID, data, len, tag);
    m_state->lastStatus = status;
    return status == Status::kOk;
}

Status CWaveMix::LastStatus() const {
    return m_state->lastStatus;
}

void CWaveMix::GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen,
                             void** pTag) {
    const int masterCapacity = masterBuf != nullptr ? std::max(masterLen, 0) : 0;
    const int mixCapacity = mixBuf != nullptr ? std::max(mixLen, 0) : 0;
    masterLen = 0;
    mixLen = 0;
    const unsigned width = m_state->bytesPerSample;
    if (m_state->closing || !IsSupportedWidth(width)) {
        return;
    }

    PassFrames taken;
    if (!m_state->queues.TakeFrames(taken, MonotonicSeconds())) {
        return;
    }
    // The frames now belong to this pass: the rest runs without the lock.
    const WaveFrame& master = *taken.Master();
    masterLen = CopyFrame(master, masterBuf, masterCapacity);
    if (pTag != nullptr) {
        *pTag = master.pTag;
    }
    if (taken.Count() == 1) {
        mixLen = CopyFrame(master, mixBuf, mixCapacity);
        return;
    }
    mixLen = MixFrames(taken.Data(), taken.Count(), width, mixBuf, mixCapacity);
}

}  // namespace _Carovel
