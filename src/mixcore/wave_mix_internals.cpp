#include "mixcore/wave_mix_internals.h"

#include <algorithm>
#include <cstring>

#include "mixcore/mix_kernel.h"
#include "mixcore/wave_mix_state.h"
#include "pcm/sample_codec.h"
#include "platform/clock.h"

namespace _Carovel {

QueueTable& WaveMixInternals::Queues(CWaveMix& wm) {
    return wm.m_state->queues;
}

unsigned WaveMixInternals::BytesPerSample(const CWaveMix& wm) {
    return wm.m_state->bytesPerSample;
}

bool WaveMixInternals::AddMeasuredFrame(CWaveMix& wm, long trackID, const char* data, int len,
                                        void* tag) {
    CWaveMix::State& st = *wm.m_state;
    Status status = Status::kBadArgument;
    if (len >= 0 && (data != nullptr || len == 0)) {
        const FrameLevel level =
            MeasureFrameLevel(data, static_cast<std::size_t>(len), st.bytesPerSample);
        status = st.queues.Push(trackID, data, len, tag, level);
    }
    st.lastStatus = status;
    return status == Status::kOk;
}

void WaveMixInternals::PassWithoutMaster(CWaveMix& wm, char* masterBuf, int& masterLen,
                                         char* mixBuf, int& mixLen, void** pTag) {
    CWaveMix::State& st = *wm.m_state;
    const int masterCapacity = masterBuf != nullptr ? std::max(masterLen, 0) : 0;
    const int mixCapacity = mixBuf != nullptr ? std::max(mixLen, 0) : 0;
    const unsigned width = st.bytesPerSample;
    if (st.queues.QueuedFrames(0) > 0 || st.closing || !IsSupportedWidth(width)) {
        wm.GetMixedFrame(masterBuf, masterLen, mixBuf, mixLen, pTag);
        return;
    }
    masterLen = 0;
    mixLen = 0;
    PassFrames taken;
    if (!st.queues.TakeFrames(taken, MonotonicSeconds(), nullptr, nullptr, false)) {
        return;
    }
    if (taken.Master() != nullptr) {
        // Source 0's frame came in since the check above: the pass is a
        // plain one after all.
        const WaveFrame& master = *taken.Master();
        masterLen = std::max(std::min(master.nLen, masterCapacity), 0);
        if (masterLen > 0) {
            std::memcpy(masterBuf, master.pData, static_cast<std::size_t>(masterLen));
        }
    }
    if (pTag != nullptr) {
        *pTag = taken.Master() != nullptr ? taken.Master()->pTag : nullptr;
    }
    if (taken.Count() == 0) {
        return;
    }
    if (taken.Count() == 1) {
        const WaveFrame& only = *taken.Data()[0];
        mixLen = std::max(std::min(only.nLen, mixCapacity), 0);
        if (mixLen > 0) {
            std::memcpy(mixBuf, only.pData, static_cast<std::size_t>(mixLen));
        }
        return;
    }
    mixLen = MixFrames(taken.Data(), taken.Count(), width, mixBuf, mixCapacity);
}

}  // namespace _Carovel
