// One source's queue in the frame mixer: whole frames, oldest first, in
// blocks that are reused from pass to pass.
#ifndef CAROVEL_ENGINE_SOURCE_QUEUE_H
#define CAROVEL_ENGINE_SOURCE_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/prefetch.h"

namespace _Carovel {

// One queued frame in a single malloc'd block: this header, then room for
// capacity payload bytes, of which nLen are the frame that pData points at.
struct WaveFrame {
    char* pData;
    int nLen;
    void* pTag;
    std::size_t capacity;
};

struct WaveFrameFree {
    void operator()(WaveFrame* frame) const noexcept { std::free(frame); }
};
using WaveFramePtr = std::unique_ptr<WaveFrame, WaveFrameFree>;

// A frame block with room for len bytes holding a copy of data. Returns null
// when len is negative or the allocation fails.
WaveFramePtr AllocWaveFrame(const char* data, int len, void* tag);

// What the frame mixer counts about a source's passes, for statistics and
// live mode.
struct SourceCounters {
    // Frames queued, ever.
    std::uint64_t framesPushed = 0;
    // Frames taken by passes.
    std::uint64_t framesMixed = 0;
    // Frames cut by the ceiling, oldest first.
    std::uint64_t framesCut = 0;
    // Passes without a frame between two passes with one (a pause of the
    // source counts; a source that stops does not, until it resumes).
    std::uint64_t dropouts = 0;
    // Passes without a frame since the last one with a frame.
    std::uint64_t gapPasses = 0;
    // framesPushed when a pass last found the queue empty after frames had
    // been queued (0: never): the source ran dry then.
    std::uint64_t ranDryAtPush = 0;
    // Whether the last pass took a frame of this source.
    bool tookLastPass = false;
};

// Not locked: the queue table that owns it locks around every call.
//
// A frame taken by a pass stays in the queue's keeping (as the source's last
// frame) until the next frame is taken; its block then becomes a spare that a
// later push copies into. The queue keeps as many spares as it once held
// frames (at most kMaxSpares), so a source fed at the pace of the passes, one
// frame or a burst at a time, allocates nothing once it runs.
//
// A push touches few cache lines: the ring starts inside the queue, and the
// spares are linked through their own blocks.
class SourceQueue {
  public:
    // The queue counts as fed at nowSeconds of the monotonic clock. slot
    // numbers the queue among those of its table, for state kept beside it.
    SourceQueue(long sourceId, std::uint32_t slot, std::uint32_t nowSeconds);
    ~SourceQueue();
    SourceQueue(const SourceQueue&) = delete;
    SourceQueue& operator=(const SourceQueue&) = delete;

    // Queues a copy of len bytes into a spare block, fed at nowSeconds.
    // False, changing nothing, when there is no spare block with room (or
    // the queue's ring cannot grow): the caller then makes a block with
    // AllocWaveFrame and pushes that.
    bool PushCopy(const char* data, int len, void* tag, std::uint32_t nowSeconds) {
        // A source in steady flow: a spare with room, and room in the ring.
        WaveFrame* const frame = spares_;
        if (frame == nullptr || count_ > mask_ || len < 0 ||
            frame->capacity < static_cast<std::size_t>(len)) {
            return PushCopyRare(data, len, tag, nowSeconds);
        }
        spares_ = static_cast<WaveFrame*>(frame->pTag);
        --spareCount_;
        frame->nLen = len;
        frame->pTag = tag;
        if (len > 0) {
            std::memcpy(frame->pData, data, static_cast<std::size_t>(len));
        }
        Place(frame, nowSeconds);
        return true;
    }
    // Queues a block made beforehand. False, changing nothing, when memory
    // runs out.
    bool Push(WaveFramePtr frame, std::uint32_t nowSeconds);
    // Takes the oldest frame for a pass, or null when the queue is empty.
    // The frame stays valid until the next Take or the queue's end. Does not
    // refresh the last-feed time.
    const WaveFrame* Take();
    // Asks for the blocks the next Take touches (the frame it returns, the
    // frame it lets go), without waiting for them: a pass calls it a few
    // queues ahead of their Take, when the queue itself is in the cache.
    void PrefetchTake() const {
        if (count_ != 0) {
            Prefetch(ring_[head_].get());
            Prefetch(lastTaken_.get());
        }
    }
    // A pass found the queue empty and took nothing because of it (the
    // master's): records that it ran dry, as Take does, without counting a
    // pass of a gap.
    void MarkRanDry() {
        if (count_ == 0 && counters_.framesPushed > 0) {
            counters_.ranDryAtPush = counters_.framesPushed;
        }
    }
    // Drops the oldest frames until at most maxFrames stay; counts them as
    // cut. Returns how many were cut.
    std::size_t CutTo(std::size_t maxFrames);
    // Drops every queued frame, without counting them as cut; the queue then
    // counts as having run dry.
    void DropFrames();

    long SourceId() const { return sourceId_; }
    std::uint32_t Slot() const { return slot_; }
    // The gain of the source's frames in the mix, in 1/65536 (65536 is 1).
    std::int32_t Gain() const { return gain_; }
    void SetGain(std::int32_t gain) { gain_ = gain; }
    // The monotonic seconds clock when the last frame was queued.
    std::uint32_t LastFeedSeconds() const { return lastFeedSeconds_; }
    std::size_t FrameCount() const { return count_; }
    const SourceCounters& Counters() const { return counters_; }
    // The frame the last pass with this source took, or null.
    const WaveFrame* LastTaken() const { return lastTaken_.get(); }

    // Something the queue's owner keeps with the source for as long as the
    // queue lives (the mixer's intake board); the queue does not look at it.
    const std::shared_ptr<void>& Attachment() const { return attachment_; }
    void Attach(const std::shared_ptr<void>& attachment) { attachment_ = attachment; }

  private:
    // At most this many spare blocks are kept.
    static constexpr std::uint32_t kMaxSpares = 64;
    // Ring slots inside the queue; a longer ring (a power of two) is
    // allocated.
    static constexpr std::uint32_t kInlineRing = 4;

    // PushCopy's other cases: no spare, a spare too small, a full ring.
    bool PushCopyRare(const char* data, int len, void* tag, std::uint32_t nowSeconds);
    // Appends frame to the ring, which has room for it.
    void Place(WaveFrame* frame, std::uint32_t nowSeconds) {
        ring_[(head_ + count_) & mask_].reset(frame);
        ++count_;
        peak_ = count_ > peak_ ? count_ : peak_;
        lastFeedSeconds_ = nowSeconds;
        ++counters_.framesPushed;
    }
    bool GrowRing();
    void Recycle(WaveFramePtr frame);

    // What a push touches comes first.
    const long sourceId_;
    const std::uint32_t slot_;
    std::int32_t gain_ = 65536;
    std::uint32_t lastFeedSeconds_;
    // The queue: count_ frames from head_ in a ring of mask_ + 1 slots.
    std::uint32_t head_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t mask_ = kInlineRing - 1;
    WaveFramePtr* ring_;
    // The spare blocks, the last one recycled first, each linked to the
    // next through its pTag; owned by the queue.
    WaveFrame* spares_ = nullptr;
    std::uint32_t spareCount_ = 0;
    // The most frames the queue has held.
    std::uint32_t peak_ = 0;
    std::shared_ptr<void> attachment_;
    WaveFramePtr inlineRing_[kInlineRing];
    SourceCounters counters_;
    WaveFramePtr lastTaken_;
    std::unique_ptr<WaveFramePtr[]> grownRing_;
};

}  // namespace _Carovel

#endif  // CAROVEL_ENGINE_SOURCE_QUEUE_H
