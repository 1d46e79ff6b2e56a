// A track of the frame mixer: a queue of whole frames from one source.
#ifndef CAROVEL_MIXCORE_WAVE_TRACK_H
#define CAROVEL_MIXCORE_WAVE_TRACK_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>

namespace _Carovel {

// One queued frame in a single malloc'd block: this header, then nLen payload
// bytes that pData points at.
struct WaveFrame {
    char* pData;
    int nLen;
    void* pTag;
};

struct WaveFrameFree {
    void operator()(WaveFrame* frame) const noexcept { std::free(frame); }
};
using WaveFramePtr = std::unique_ptr<WaveFrame, WaveFrameFree>;

// Allocates a frame block holding a copy of len bytes of data. Returns null
// when the allocation fails.
WaveFramePtr AllocWaveFrame(const char* data, int len, void* tag);

class CWaveTrack {
  public:
    explicit CWaveTrack(long trackID);
    ~CWaveTrack();
    CWaveTrack(const CWaveTrack&) = delete;
    CWaveTrack& operator=(const CWaveTrack&) = delete;

    // Queues a copy of the frame and refreshes the last-frame time. Returns
    // false, changing nothing, when memory runs out.
    bool PushFrame(const char* data, int len, void* tag);
    // Removes and returns the oldest frame, or null when the queue is empty.
    WaveFramePtr PopFrame();
    // Frees every queued frame.
    void Clear();

    long TrackID() const { return m_lTrackID; }
    std::uint32_t LastTime() const { return m_tLastTime; }
    std::size_t FrameCount() const { return m_lstFrames.size(); }

  private:
    long m_lTrackID;
    std::uint32_t m_tLastTime;
    std::deque<WaveFramePtr> m_lstFrames;  // oldest at the front
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_WAVE_TRACK_H
