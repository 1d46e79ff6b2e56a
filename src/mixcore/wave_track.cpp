#include "mixcore/wave_track.h"

#include <cstring>
#include <new>

#include "platform/clock.h"

namespace _Carovel {

WaveFramePtr AllocWaveFrame(const char* data, int len, void* tag) {
    if (len < 0) {
        return nullptr;
    }
    const std::size_t payload = static_cast<std::size_t>(len);
    void* block = std::malloc(sizeof(WaveFrame) + payload);
    if (block == nullptr) {
        return nullptr;
    }
    auto* frame = static_cast<WaveFrame*>(block);
    frame->pData = reinterpret_cast<char*>(frame + 1);
    frame->nLen = len;
    frame->pTag = tag;
    if (payload > 0) {
        std::memcpy(frame->pData, data, payload);
    }
    return WaveFramePtr(frame);
}

CWaveTrack::CWaveTrack(long trackID) : m_lTrackID(trackID), m_tLastTime(GetNowTime()) {}

CWaveTrack::~CWaveTrack() {
    Clear();
}

bool CWaveTrack::PushFrame(const char* data, int len, void* tag) {
    WaveFramePtr frame = AllocWaveFrame(data, len, tag);
    if (!frame) {
        return false;
    }
    try {
        m_lstFrames.push_back(std::move(frame));
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_tLastTime = GetNowTime();
    return true;
}

WaveFramePtr CWaveTrack::PopFrame() {
    if (m_lstFrames.empty()) {
        return nullptr;
    }
    WaveFramePtr frame = std::move(m_lstFrames.front());
    m_lstFrames.pop_front();
    return frame;
}

void CWaveTrack::Clear() {
    m_lstFrames.clear();
}

}  // namespace _Carovel
