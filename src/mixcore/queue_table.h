// The frame mixer's queues, one per source, under one lock: frames go in from
// any thread, and a mixing pass takes the oldest frame of every queue and
// expires idle queues.
#ifndef CAROVEL_MIXCORE_QUEUE_TABLE_H
#define CAROVEL_MIXCORE_QUEUE_TABLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "carovel/status.h"
#include "mixcore/source_queue.h"
#include "platform/mutex.h"

namespace _Carovel {

// The frames one pass takes, owned until the pass ends. Small passes keep the
// pointers on the stack; larger ones use room kept per thread, which grows
// before any frame is taken (so taking a frame can never fail half-way) and
// is reused by the thread's later passes.
class PassFrames {
  public:
    PassFrames() = default;
    PassFrames(const PassFrames&) = delete;
    PassFrames& operator=(const PassFrames&) = delete;
    ~PassFrames();

    // Makes room for n frames. Throws std::bad_alloc.
    void Reserve(std::size_t n);
    void Add(WaveFramePtr frame, const SourceQueue& from);

    const WaveFrame* const* Data() const { return data_; }
    std::size_t Count() const { return count_; }
    // Source 0's frame, or null.
    const WaveFrame* Master() const { return master_; }
    // Per frame: its source's id, slot and gain (see SourceQueue).
    const long* Ids() const { return ids_; }
    const std::uint32_t* Slots() const { return slots_; }
    const std::int32_t* Gains() const { return gains_; }
    // True when every frame's gain is 1.
    bool AllUnity() const { return allUnity_; }

  private:
    static constexpr std::size_t kInline = 64;
    // Left uninitialised: only the first count_ entries are ever read, and
    // every pass would otherwise clear them.
    std::array<WaveFrame*, kInline> inline_;
    std::array<long, kInline> inlineIds_;
    std::array<std::uint32_t, kInline> inlineSlots_;
    std::array<std::int32_t, kInline> inlineGains_;
    WaveFrame** data_ = inline_.data();
    long* ids_ = inlineIds_.data();
    std::uint32_t* slots_ = inlineSlots_.data();
    std::int32_t* gains_ = inlineGains_.data();
    std::size_t count_ = 0;
    const WaveFrame* master_ = nullptr;
    bool allUnity_ = true;
};

// A source that is present in the table but had no frame for a pass.
struct IdleSource {
    long id;
    std::uint32_t slot;
};

class QueueTable {
  public:
    QueueTable() = default;
    QueueTable(const QueueTable&) = delete;
    QueueTable& operator=(const QueueTable&) = delete;

    // Queues a copy of len bytes on the source's queue, creating the queue at
    // the end of the table on first use. Returns kOutOfMemory, queuing
    // nothing, when memory runs out.
    Status Push(long sourceId, const char* data, int len, void* tag) CAROVEL_EXCLUDES(mutex_);

    // When source 0 has a frame queued, moves the oldest frame of every
    // queue, in table order, into taken and drops each queue that had no
    // frame and has been idle longer than the expiry time at nowSeconds.
    // Returns false, taking nothing, when source 0 has no frame (its queue is
    // created if absent) or memory for the pass runs out.
    //
    // When idle is not null, it receives (in table order) every queue that
    // had no frame and stays. The slots of the queues dropped are appended to
    // freed when it is not null; the table hands them to new queues.
    bool TakeFrames(PassFrames& taken, std::uint32_t nowSeconds,
                    std::vector<IdleSource>* idle = nullptr,
                    std::vector<std::uint32_t>* freed = nullptr) CAROVEL_EXCLUDES(mutex_);

    // Sets the gain of a source's frames, creating its queue when absent.
    // Returns kOutOfMemory, changing nothing, when memory runs out.
    Status SetGain(long sourceId, std::int32_t gain) CAROVEL_EXCLUDES(mutex_);

    // Drops every queue with its frames; slots are numbered from 0 again.
    void Clear() CAROVEL_EXCLUDES(mutex_);

    // Source ids in table order, and the frames queued for one (0 when it
    // has no queue). For tests and statistics.
    std::vector<long> SourceIds() CAROVEL_EXCLUDES(mutex_);
    std::size_t QueuedFrames(long sourceId) CAROVEL_EXCLUDES(mutex_);

  private:
    using QueueList = std::list<std::unique_ptr<SourceQueue>>;

    // The source's queue, created at the end when absent; null only when
    // memory runs out.
    SourceQueue* FindOrCreate(long sourceId) CAROVEL_REQUIRES(mutex_);
    // Removes the queue at it when it is idle; returns the next position.
    QueueList::iterator ExpireIfIdle(QueueList::iterator it, std::uint32_t nowSeconds,
                                     std::vector<IdleSource>* idle,
                                     std::vector<std::uint32_t>* freed) CAROVEL_REQUIRES(mutex_);

    Mutex mutex_;
    QueueList queues_ CAROVEL_GUARDED_BY(mutex_);  // creation order
    std::unordered_map<long, QueueList::iterator> index_ CAROVEL_GUARDED_BY(mutex_);
    // Slots of dropped queues, reused before new numbers are handed out.
    std::vector<std::uint32_t> freeSlots_ CAROVEL_GUARDED_BY(mutex_);
    std::uint32_t nextSlot_ CAROVEL_GUARDED_BY(mutex_) = 0;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_QUEUE_TABLE_H
