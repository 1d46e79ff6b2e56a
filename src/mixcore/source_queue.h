// One source's queue in the frame mixer: whole frames, oldest first.
#ifndef CAROVEL_MIXCORE_SOURCE_QUEUE_H
#define CAROVEL_MIXCORE_SOURCE_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>

#include "mixcore/frame_level.h"
#include "mixcore/source_record.h"

namespace _Carovel {

// One queued frame in a single malloc'd block: this header, then nLen payload
// bytes that pData points at.
struct WaveFrame {
    char* pData;
    int nLen;
    void* pTag;
    FrameLevel level;
};

struct WaveFrameFree {
    void operator()(WaveFrame* frame) const noexcept { std::free(frame); }
};
using WaveFramePtr = std::unique_ptr<WaveFrame, WaveFrameFree>;

// Allocates a frame block holding a copy of len bytes of data. Returns null
// when len is negative or the allocation fails.
WaveFramePtr AllocWaveFrame(const char* data, int len, void* tag,
                            const FrameLevel& level = FrameLevel());

// Not locked: the queue table that owns it locks around every call.
class SourceQueue {
  public:
    // The queue counts as fed at creation. slot numbers the queue among
    // those of its table, for state kept beside the table.
    explicit SourceQueue(long sourceId, std::uint32_t slot = 0);
    SourceQueue(const SourceQueue&) = delete;
    SourceQueue& operator=(const SourceQueue&) = delete;

    // Queues a copy of the frame and refreshes the last-feed time. Returns
    // false, changing nothing, when memory runs out.
    bool PushFrame(const char* data, int len, void* tag, const FrameLevel& level = FrameLevel());
    // Queues a frame made beforehand (with AllocWaveFrame), the feed being
    // at nowSeconds on the monotonic clock. False, changing nothing, when
    // memory runs out.
    bool PushFrame(WaveFramePtr frame, std::uint32_t nowSeconds);
    // Removes and returns the oldest frame, or null when the queue is empty.
    // Does not refresh the last-feed time. Counts the pass in the record.
    WaveFramePtr PopFrame();
    // Frees the oldest frames until at most maxFrames stay; counts them as
    // cut. Returns how many were cut.
    std::size_t CutTo(std::size_t maxFrames);
    // Frees every queued frame.
    void Clear();

    long SourceId() const { return sourceId_; }
    std::uint32_t Slot() const { return slot_; }
    // The gain of the source's frames in the mix, in 1/65536 (65536 is 1).
    std::int32_t Gain() const { return gain_; }
    void SetGain(std::int32_t gain) { gain_ = gain; }
    // The monotonic seconds clock when the last frame was queued.
    std::uint32_t LastFeedSeconds() const { return lastFeedSeconds_; }
    std::size_t FrameCount() const { return frames_.size(); }
    SourceRecord& Record() { return record_; }
    const SourceRecord& Record() const { return record_; }

  private:
    const long sourceId_;
    const std::uint32_t slot_;
    std::int32_t gain_ = 65536;
    std::uint32_t lastFeedSeconds_;
    std::deque<WaveFramePtr> frames_;  // oldest at the front
    SourceRecord record_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_SOURCE_QUEUE_H
