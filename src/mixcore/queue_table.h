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
#include <utility>
#include <vector>

#include "carovel/status.h"
#include "mixcore/frame_level.h"
#include "mixcore/source_queue.h"
#include "mixcore/source_record.h"
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
    // the end of the table on first use; with a ceiling set, then cuts the
    // queue's oldest frames down to it. Returns kOutOfMemory, queuing
    // nothing, when memory runs out.
    Status Push(long sourceId, const char* data, int len, void* tag,
                const FrameLevel& level = FrameLevel()) CAROVEL_EXCLUDES(mutex_);

    // When source 0 has a frame queued, moves the oldest frame of every
    // queue, in table order, into taken and drops each queue that had no
    // frame and has been idle longer than the expiry time at nowSeconds.
    // Returns false, taking nothing, when source 0 has no frame (its queue is
    // created if absent) or memory for the pass runs out.
    //
    // When idle is not null, it receives (in table order) every queue that
    // had no frame and stays. The slots of the queues dropped are appended to
    // freed when it is not null; the table hands them to new queues. With
    // requireMaster false the pass goes on without source 0's frame; it
    // still returns false when memory runs out.
    bool TakeFrames(PassFrames& taken, std::uint32_t nowSeconds,
                    std::vector<IdleSource>* idle = nullptr,
                    std::vector<std::uint32_t>* freed = nullptr, bool requireMaster = true)
        CAROVEL_EXCLUDES(mutex_);

    // Sets the gain of a source's frames, creating its queue when absent.
    // Returns kOutOfMemory, changing nothing, when memory runs out.
    Status SetGain(long sourceId, std::int32_t gain) CAROVEL_EXCLUDES(mutex_);

    // Drops every queue with its frames; slots are numbered from 0 again.
    void Clear() CAROVEL_EXCLUDES(mutex_);

    // Source ids in table order, and the frames queued for one (0 when it
    // has no queue). For tests and statistics.
    std::vector<long> SourceIds() CAROVEL_EXCLUDES(mutex_);
    std::size_t QueuedFrames(long sourceId) CAROVEL_EXCLUDES(mutex_);

    // Per-source records (queue_table_records.cpp).

    // The most frames a queue keeps; 0, the default, keeps every frame.
    void SetMaxFrames(std::size_t maxFrames) CAROVEL_EXCLUDES(mutex_);

    // What a source's intake needs before a block: the trim to apply, and
    // whether the source starts (again) at a fixed latency because it is new
    // or ran dry since it last did (a true answer claims that restart), and
    // the frames it has queued. The
    // source's queue is created when absent. False when memory runs out.
    struct FeedPlan {
        std::int32_t trimPpm = 0;
        bool restart = false;
        std::size_t queuedFrames = 0;
    };
    bool PlanFeed(long sourceId, FeedPlan& plan) CAROVEL_EXCLUDES(mutex_);
    // Stores what a source's intake reports after a block, when the source
    // has a queue (a block that queued nothing into a new source creates
    // none).
    void Report(long sourceId, const IntakeReport& report) CAROVEL_EXCLUDES(mutex_);

    // One source as a statistics read or live mode's control sees it.
    struct SourceView {
        long sourceId = 0;
        std::size_t queuedFrames = 0;
        SourceRecord record;
    };
    // Every source, in table order, into out (its room is reused).
    void Views(std::vector<SourceView>& out) CAROVEL_EXCLUDES(mutex_);
    // Calls visit(sourceId, queuedFrames, record) for every source in table
    // order, under the lock (so visit must be quick and must not call the
    // table); returns how many sources there are.
    template <class Visit>
    std::size_t VisitSources(Visit&& visit) CAROVEL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        for (const auto& queue : queues_) {
            visit(queue->SourceId(), queue->FrameCount(),
                  static_cast<const SourceRecord&>(queue->Record()));
        }
        return queues_.size();
    }
    // One source; false when it has no queue.
    bool View(long sourceId, SourceView& out) CAROVEL_EXCLUDES(mutex_);
    // Cuts up to frames of a source's oldest frames, counting them as cut;
    // returns how many it cut.
    std::size_t CutOldest(long sourceId, std::size_t frames) CAROVEL_EXCLUDES(mutex_);
    // Sets the trims of the listed sources that still have a queue.
    void SetTrims(const std::vector<std::pair<long, std::int32_t>>& trims) CAROVEL_EXCLUDES(mutex_);

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
    std::size_t maxFrames_ CAROVEL_GUARDED_BY(mutex_) = 0;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_QUEUE_TABLE_H
