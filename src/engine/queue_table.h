// The frame mixer's queues, one per source, under one lock: frames go in from
// any thread, and a mixing pass takes the oldest frame of every queue and
// expires idle queues.
#ifndef CAROVEL_ENGINE_QUEUE_TABLE_H
#define CAROVEL_ENGINE_QUEUE_TABLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "carovel/status.h"
#include "engine/source_queue.h"
#include "pcm/frame_level.h"
#include "platform/mutex.h"

namespace _Carovel {

// The frames one pass takes. The queues keep them until their next pass, so
// the pass only borrows them. Small passes keep the pointers on the stack;
// larger ones use room kept per thread, which grows before any frame is
// taken (so taking a frame can never fail half-way) and is reused by the
// thread's later passes.
class PassFrames {
  public:
    PassFrames() = default;
    PassFrames(const PassFrames&) = delete;
    PassFrames& operator=(const PassFrames&) = delete;

    // Makes room for n frames. Throws std::bad_alloc.
    void Reserve(std::size_t n);
    void Add(const WaveFrame* frame, const SourceQueue& from);

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
    std::array<const WaveFrame*, kInline> inline_;
    std::array<long, kInline> inlineIds_;
    std::array<std::uint32_t, kInline> inlineSlots_;
    std::array<std::int32_t, kInline> inlineGains_;
    const WaveFrame** data_ = inline_.data();
    long* ids_ = inlineIds_.data();
    std::uint32_t* slots_ = inlineSlots_.data();
    std::int32_t* gains_ = inlineGains_.data();
    std::size_t count_ = 0;
    const WaveFrame* master_ = nullptr;
    bool allUnity_ = true;
};

// No slot: a slot hint (see QueueTable::Push) that finds no queue.
constexpr std::uint32_t kNoQueueSlot = 0xFFFFFFFFu;

// A source that is present in the table but had no frame for a pass.
struct IdleSource {
    long id;
    std::uint32_t slot;
};

// A source's queue as its intake sees it between blocks.
struct QueueState {
    std::size_t queuedFrames = 0;
    SourceCounters counters;
};

// One source as statistics and live mode see it: its queue's state and
// more.
struct SourceView : QueueState {
    long sourceId = 0;
    // The level of the frame the last pass with this source took (measured
    // only when asked for).
    FrameLevel lastLevel;
    std::shared_ptr<void> attachment;
};

// What a pass needs beyond the frames it takes, made before it takes them:
// queues is the number of queues in the table (each may get an output),
// slots the number of slots they number from.
class PassRoom {
  public:
    // False when memory runs out: the pass then takes nothing.
    virtual bool Make(std::size_t queues, std::size_t slots) = 0;
    // Set when memory ran out before the pass took anything, here or in
    // the table.
    bool outOfMemory = false;

  protected:
    ~PassRoom() = default;
};

class QueueTable {
  public:
    QueueTable() = default;
    QueueTable(const QueueTable&) = delete;
    QueueTable& operator=(const QueueTable&) = delete;

    // Queues a copy of len bytes on the source's queue, fed at nowSeconds,
    // creating the queue at the end of the table on first use; with a
    // ceiling set, then cuts the queue's oldest frames down to it. A queue
    // without an attachment takes attachment (when not null). Returns
    // kOutOfMemory, queuing nothing, when memory runs out.
    //
    // slot, when not null, is a hint kept by the caller for the source:
    // where the queue was found last time (kNoQueueSlot at first). The
    // queue in that slot is used when it is the source's, without a lookup;
    // the hint is updated to where the queue was found.
    Status Push(long sourceId, const char* data, int len, void* tag, std::uint32_t nowSeconds,
                const std::shared_ptr<void>* attachment = nullptr, std::uint32_t* slot = nullptr)
        CAROVEL_EXCLUDES(mutex_);

    // When source 0 has a frame queued, moves the oldest frame of every
    // queue, in table order, into taken and drops each queue that had no
    // frame and has been idle longer than the expiry time at nowSeconds.
    // Returns false, taking nothing, when source 0 has no frame or memory
    // for the pass runs out.
    //
    // When idle is not null, it receives (in table order) every queue that
    // had no frame and stays. The slots of the queues dropped are appended to
    // freed; the table hands them to new queues. With requireMaster false
    // the pass goes on without source 0's frame; it still returns false when
    // memory runs out. The frames taken stay valid until the next call.
    //
    // room, when not null, is asked (under the table's lock, before anything
    // is taken) to make room for what the pass will produce for the queues
    // there are; when it cannot, nothing is taken.
    bool TakeFrames(PassFrames& taken, std::uint32_t nowSeconds, std::vector<IdleSource>* idle,
                    std::vector<std::uint32_t>& freed, bool requireMaster, PassRoom* room = nullptr)
        CAROVEL_EXCLUDES(mutex_);

    // Sets the gain of a source's frames, creating its queue when absent (fed
    // at nowSeconds). Returns kOutOfMemory, changing nothing, when memory
    // runs out.
    Status SetGain(long sourceId, std::int32_t gain, std::uint32_t nowSeconds)
        CAROVEL_EXCLUDES(mutex_);

    // Drops every queue with its frames; slots are numbered from 0 again.
    void Clear() CAROVEL_EXCLUDES(mutex_);
    // Drops every queued frame, and every queue but those of sources with a
    // gain of their own: those stay, emptied (run dry), so that the gain
    // holds for the source's next frames.
    void ClearKeepingGains() CAROVEL_EXCLUDES(mutex_);

    // The most frames a queue keeps; 0, the default, keeps every frame.
    void SetMaxFrames(std::size_t maxFrames) CAROVEL_EXCLUDES(mutex_);
    // Cuts up to frames of a source's oldest frames, counting them as cut;
    // returns how many it cut.
    std::size_t CutOldest(long sourceId, std::size_t frames) CAROVEL_EXCLUDES(mutex_);

    // Source ids in table order, and the frames queued for one (0 when it
    // has no queue).
    std::vector<long> SourceIds() CAROVEL_EXCLUDES(mutex_);
    std::size_t QueuedFrames(long sourceId) CAROVEL_EXCLUDES(mutex_);

    // Every source, in table order, into out (its room is reused), without
    // levels.
    void Views(std::vector<SourceView>& out) CAROVEL_EXCLUDES(mutex_);
    // One source; false when it has no queue.
    bool View(long sourceId, SourceView& out, unsigned width = 0) CAROVEL_EXCLUDES(mutex_);
    // One source's queue without its attachment or levels, for the thread
    // that feeds it: no copy of the attachment's shared count, which the
    // passes' thread copies too. False when it has no queue. slot, when
    // not null, is a hint as for Push (kept up to date the same way).
    bool State(long sourceId, QueueState& out, std::uint32_t* slot = nullptr)
        CAROVEL_EXCLUDES(mutex_);
    // Calls visit(index, view) for the first `first` sources in table order,
    // under the lock (so visit must be quick and must not call the table),
    // with levels measured for width; returns how many sources there are.
    template <class Visit>
    std::size_t VisitSources(unsigned width, std::size_t first, Visit&& visit)
        CAROVEL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        SourceView view;
        std::size_t i = 0;
        for (; i < queues_.size() && i < first; ++i) {
            Describe(*queues_[i], width, view);
            visit(i, static_cast<const SourceView&>(view));
        }
        return queues_.size();
    }

  private:
    // The source's queue, created at the end when absent; null only when
    // memory runs out.
    SourceQueue* FindOrCreate(long sourceId, std::uint32_t nowSeconds) CAROVEL_REQUIRES(mutex_);
    SourceQueue* Find(long sourceId) CAROVEL_REQUIRES(mutex_);
    // The queue in the hinted slot when it is the source's, else null.
    SourceQueue* InSlot(long sourceId, const std::uint32_t* slot) CAROVEL_REQUIRES(mutex_);
    // FindOrCreate through the slot hint (when given) or the last push's
    // queue, attaching attachment to a queue that has none and updating the
    // hint.
    SourceQueue* QueueFor(long sourceId, std::uint32_t nowSeconds,
                          const std::shared_ptr<void>* attachment, std::uint32_t* slot)
        CAROVEL_REQUIRES(mutex_);
    // Whether the queue, which had no frame for a pass, is idle: then it is
    // forgotten everywhere but in queues_, where the caller drops it.
    bool ForgetIfIdle(const SourceQueue& queue, std::uint32_t nowSeconds,
                      std::vector<IdleSource>* idle, std::vector<std::uint32_t>& freed)
        CAROVEL_REQUIRES(mutex_);
    static void StateOf(const SourceQueue& queue, QueueState& out);
    static void Describe(const SourceQueue& queue, unsigned width, SourceView& out);

    Mutex mutex_;
    // In creation order; a pass walks them in an array rather than a chain
    // of pointers, so it can ask for the next queues' memory ahead of them.
    std::vector<std::unique_ptr<SourceQueue>> queues_ CAROVEL_GUARDED_BY(mutex_);
    std::unordered_map<long, SourceQueue*> index_ CAROVEL_GUARDED_BY(mutex_);
    // Slots of dropped queues, reused before new numbers are handed out.
    std::vector<std::uint32_t> freeSlots_ CAROVEL_GUARDED_BY(mutex_);
    // The queue in each slot, or null.
    std::vector<SourceQueue*> bySlot_ CAROVEL_GUARDED_BY(mutex_);
    std::uint32_t nextSlot_ CAROVEL_GUARDED_BY(mutex_) = 0;
    std::size_t maxFrames_ CAROVEL_GUARDED_BY(mutex_) = 0;
    // The queue of the last push, found again without a lookup while the
    // same source is fed.
    SourceQueue* lastPushed_ CAROVEL_GUARDED_BY(mutex_) = nullptr;
};

}  // namespace _Carovel

#endif  // CAROVEL_ENGINE_QUEUE_TABLE_H
