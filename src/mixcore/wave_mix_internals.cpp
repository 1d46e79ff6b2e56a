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

void WaveMixInternals::Pass(CWaveMix& wm, char* masterBuf, int& masterLen, char* mixBuf,
                            int& mixLen, void** pTag, CMixMinusFrames* minus, bool requireMaster) {
    wm.RunPass(masterBuf, masterLen, mixBuf, mixLen, pTag,
               minus != nullptr ? minus->m_impl.get() : nullptr, requireMaster);
}

}  // namespace _Carovel
