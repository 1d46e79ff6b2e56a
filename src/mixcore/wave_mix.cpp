#include "carovel/wave_mix.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "mixcore/mix_kernel.h"
#include "mixcore/wave_track.h"
#include "platform/clock.h"

namespace _Carovel {
namespace {

// A track with an empty queue is dropped once it has gone longer than this
// without a frame.
constexpr std::uint32_t kIdleExpirySeconds = 10;

// The frames one pass takes, owned until the pass ends. Small passes keep the
// pointers on the stack; larger ones use room kept per thread, which grows
// before any frame is taken (so taking a frame can never fail half-way) and
// is reused by the thread's later passes.
class TakenFrames {
  public:
    TakenFrames() = default;
    TakenFrames(const TakenFrames&) = delete;
    TakenFrames& operator=(const TakenFrames&) = delete;
    ~TakenFrames() {
        for (std::size_t i = 0; i < m_count; ++i) {
            std::free(m_data[i]);
        }
    }

    // Makes room for n frames. Throws std::bad_alloc.
    void Reserve(std::size_t n) {
        if (n > m_inline.size()) {
            thread_local std::vector<WaveFrame*> room;
            if (room.size() < n) {
                room.resize(n);
            }
            m_data = room.data();
        }
    }
    void Add(WaveFramePtr frame) { m_data[m_count++] = frame.release(); }

    const WaveFrame* const* Data() const { return m_data; }
    std::size_t Count() const { return m_count; }

  private:
    std::array<WaveFrame*, 64> m_inline{};
    WaveFrame** m_data = m_inline.data();
    std::size_t m_count = 0;
};

}  // namespace

CWaveMix::CWaveMix() : m_wBytesPerSample(2), m_bClosing(false) {}

CWaveMix::~CWaveMix() {
    m_bClosing = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ClearBuffs();
}

void CWaveMix::Init(unsigned short bytesPerSample) {
    ClearBuffs();
    m_wBytesPerSample = bytesPerSample;
}

void CWaveMix::ClearBuffs() {
    std::lock_guard<std::mutex> guard(m_csLock);
    m_mapTracks.clear();
    m_lstTracks.clear();
}

bool CWaveMix::AddFrame(long trackID, const char* data, int len, void* tag) {
    if (len < 0 || (data == nullptr && len > 0)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_csLock);
    CWaveTrack* track = GetTrack(trackID);
    return track != nullptr && track->PushFrame(data, len, tag);
}

CWaveTrack* CWaveMix::GetTrack(long trackID) {
    const auto found = m_mapTracks.find(trackID);
    if (found != m_mapTracks.end()) {
        return found->second->get();
    }
    try {
        m_lstTracks.push_back(std::make_unique<CWaveTrack>(trackID));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    try {
        m_mapTracks.emplace(trackID, std::prev(m_lstTracks.end()));
    } catch (const std::bad_alloc&) {
        m_lstTracks.pop_back();
        return nullptr;
    }
    return m_lstTracks.back().get();
}

CWaveMix::TrackList::iterator CWaveMix::RemoveTrack(TrackList::iterator it) {
    m_mapTracks.erase((*it)->TrackID());
    return m_lstTracks.erase(it);
}

void CWaveMix::GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen,
                             void** pTag) {
    const int capA = masterBuf != nullptr ? std::max(masterLen, 0) : 0;
    const int capB = mixBuf != nullptr ? std::max(mixLen, 0) : 0;
    masterLen = 0;
    mixLen = 0;
    if (m_bClosing) {
        return;
    }
    const unsigned width = m_wBytesPerSample;
    if (width < 1 || width > 4) {
        return;
    }

    TakenFrames taken;
    {
        std::lock_guard<std::mutex> guard(m_csLock);
        CWaveTrack* master = GetTrack(0);
        if (master == nullptr || master->FrameCount() == 0) {
            return;
        }
        try {
            taken.Reserve(m_lstTracks.size());
        } catch (const std::bad_alloc&) {
            return;  // nothing taken; the frames stay queued for the next pass
        }
        const std::uint32_t now = GetNowTime();
        for (auto it = m_lstTracks.begin(); it != m_lstTracks.end();) {
            CWaveTrack& track = **it;
            WaveFramePtr frame = track.PopFrame();
            if (frame) {
                if (track.TrackID() == 0) {
                    masterLen = std::min(frame->nLen, capA);
                    if (masterLen > 0) {
                        std::memcpy(masterBuf, frame->pData, static_cast<std::size_t>(masterLen));
                    }
                    if (pTag != nullptr) {
                        *pTag = frame->pTag;
                    }
                }
                taken.Add(std::move(frame));
                ++it;
            } else if (now - track.LastTime() > kIdleExpirySeconds) {
                it = RemoveTrack(it);
            } else {
                ++it;
            }
        }
    }

    if (taken.Count() == 1) {
        const WaveFrame* only = taken.Data()[0];
        mixLen = std::min(only->nLen, capB);
        if (mixLen > 0) {
            std::memcpy(mixBuf, only->pData, static_cast<std::size_t>(mixLen));
        }
        return;
    }
    mixLen = MixFrames(taken.Data(), taken.Count(), width, mixBuf, capB);
}

}  // namespace _Carovel
