#include "engine/queue_table.h"

#include <algorithm>
#include <new>

#include "engine/idle_expiry.h"
#include "engine/mix_kernel.h"
#include "platform/prefetch.h"

namespace _Carovel {

void PassFrames::Reserve(std::size_t n) {
    if (n > kInline) {
        struct Room {
            std::vector<const WaveFrame*> frames;
            std::vector<long> ids;
            std::vector<std::uint32_t> slots;
            std::vector<std::int32_t> gains;
        };
        thread_local Room room;
        if (room.frames.size() < n) {
            room.frames.resize(n);
            room.ids.resize(n);
            room.slots.resize(n);
            room.gains.resize(n);
        }
        data_ = room.frames.data();
        ids_ = room.ids.data();
        slots_ = room.slots.data();
        gains_ = room.gains.data();
    }
}

void PassFrames::Add(const WaveFrame* frame, const SourceQueue& from) {
    if (from.SourceId() == 0) {
        master_ = frame;
    }
    ids_[count_] = from.SourceId();
    slots_[count_] = from.Slot();
    gains_[count_] = from.Gain();
    allUnity_ = allUnity_ && from.Gain() == kUnityGain;
    data_[count_++] = frame;
}

SourceQueue* QueueTable::QueueFor(long sourceId, std::uint32_t nowSeconds,
                                  const std::shared_ptr<void>* attachment, std::uint32_t* slot) {
    SourceQueue* queue = InSlot(sourceId, slot);
    if (queue == nullptr) {
        queue = lastPushed_ != nullptr && lastPushed_->SourceId() == sourceId
                    ? lastPushed_
                    : FindOrCreate(sourceId, nowSeconds);
        if (queue == nullptr) {
            return nullptr;
        }
        if (slot != nullptr) {
            *slot = queue->Slot();
        }
    }
    lastPushed_ = queue;
    if (attachment != nullptr && queue->Attachment() == nullptr) {
        queue->Attach(*attachment);
    }
    return queue;
}

Status QueueTable::Push(long sourceId, const char* data, int len, void* tag,
                        std::uint32_t nowSeconds, const std::shared_ptr<void>* attachment,
                        std::uint32_t* slot) {
    {
        // A spare block is copied into under the lock (a short copy); a new
        // block is made outside it, since a pass waits on this lock.
        MutexLock lock(mutex_);
        SourceQueue* queue = QueueFor(sourceId, nowSeconds, attachment, slot);
        if (queue == nullptr) {
            return Status::kOutOfMemory;
        }
        if (queue->PushCopy(data, len, tag, nowSeconds)) {
            if (maxFrames_ != 0) {
                queue->CutTo(maxFrames_);
            }
            return Status::kOk;
        }
    }
    WaveFramePtr made = AllocWaveFrame(data, len, tag);
    if (made == nullptr) {
        return Status::kOutOfMemory;
    }
    MutexLock lock(mutex_);
    SourceQueue* queue = QueueFor(sourceId, nowSeconds, attachment, slot);
    if (queue == nullptr || !queue->Push(std::move(made), nowSeconds)) {
        return Status::kOutOfMemory;
    }
    if (maxFrames_ != 0) {
        queue->CutTo(maxFrames_);
    }
    return Status::kOk;
}

bool QueueTable::TakeFrames(PassFrames& taken, std::uint32_t nowSeconds,
                            std::vector<IdleSource>* idle, std::vector<std::uint32_t>& freed,
                            bool requireMaster, PassRoom* room) {
    MutexLock lock(mutex_);
    if (requireMaster) {
        SourceQueue* const master = Find(0);
        if (master == nullptr || master->FrameCount() == 0) {
            if (master != nullptr) {
                master->MarkRanDry();  // live mode starts it again at the target
            }
            return false;
        }
    }
    try {
        taken.Reserve(queues_.size());
        if (idle != nullptr) {
            idle->clear();
            idle->reserve(queues_.size());
        }
        freed.reserve(freed.size() + queues_.size());
        freeSlots_.reserve(freeSlots_.size() + queues_.size());
    } catch (const std::bad_alloc&) {
        if (room != nullptr) {
            room->outOfMemory = true;
        }
        return false;  // nothing taken; the frames stay queued for the next pass
    }
    if (room != nullptr && !room->Make(queues_.size(), bySlot_.size())) {
        room->outOfMemory = true;
        return false;
    }
    // The queues' own memory is asked for 2 * kAhead queues ahead, the
    // frames a Take touches kAhead ahead: after a frame period most of it
    // is out of the caches, and each Take would otherwise wait for it.
    constexpr std::size_t kAhead = 4;
    const std::size_t n = queues_.size();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 2 * kAhead < n) {
            Prefetch(queues_[i + 2 * kAhead].get(), sizeof(SourceQueue));
        }
        if (i + kAhead < n) {
            queues_[i + kAhead]->PrefetchTake();
        }
        SourceQueue& queue = *queues_[i];
        if (const WaveFrame* frame = queue.Take()) {
            taken.Add(frame, queue);
        } else if (ForgetIfIdle(queue, nowSeconds, idle, freed)) {
            queues_[i].reset();
            continue;
        }
        if (kept != i) {
            queues_[kept] = std::move(queues_[i]);
        }
        ++kept;
    }
    queues_.resize(kept);
    return true;
}

Status QueueTable::SetGain(long sourceId, std::int32_t gain, std::uint32_t nowSeconds) {
    MutexLock lock(mutex_);
    SourceQueue* queue = FindOrCreate(sourceId, nowSeconds);
    if (queue == nullptr) {
        return Status::kOutOfMemory;
    }
    queue->SetGain(gain);
    return Status::kOk;
}

void QueueTable::Clear() {
    MutexLock lock(mutex_);
    lastPushed_ = nullptr;
    index_.clear();
    queues_.clear();
    freeSlots_.clear();
    bySlot_.clear();
    nextSlot_ = 0;
}

void QueueTable::ClearKeepingGains() {
    MutexLock lock(mutex_);
    lastPushed_ = nullptr;
    try {
        freeSlots_.reserve(freeSlots_.size() + queues_.size());
    } catch (const std::bad_alloc&) {
        // No room to note the slots that come free: every queue stays, emptied.
        for (auto& queue : queues_) {
            queue->DropFrames();
        }
        return;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < queues_.size(); ++i) {
        SourceQueue& queue = *queues_[i];
        if (queue.Gain() == kUnityGain) {
            freeSlots_.push_back(queue.Slot());
            bySlot_[queue.Slot()] = nullptr;
            index_.erase(queue.SourceId());
            continue;
        }
        queue.DropFrames();
        if (kept != i) {
            queues_[kept] = std::move(queues_[i]);
        }
        ++kept;
    }
    queues_.resize(kept);
}

void QueueTable::SetMaxFrames(std::size_t maxFrames) {
    MutexLock lock(mutex_);
    maxFrames_ = maxFrames;
}

std::size_t QueueTable::CutOldest(long sourceId, std::size_t frames) {
    MutexLock lock(mutex_);
    SourceQueue* queue = Find(sourceId);
    if (queue == nullptr) {
        return 0;
    }
    const std::size_t queued = queue->FrameCount();
    return queue->CutTo(queued - std::min(queued, frames));
}

std::vector<long> QueueTable::SourceIds() {
    MutexLock lock(mutex_);
    std::vector<long> ids;
    ids.reserve(queues_.size());
    for (const auto& queue : queues_) {
        ids.push_back(queue->SourceId());
    }
    return ids;
}

std::size_t QueueTable::QueuedFrames(long sourceId) {
    MutexLock lock(mutex_);
    const SourceQueue* queue = Find(sourceId);
    return queue == nullptr ? 0 : queue->FrameCount();
}

void QueueTable::StateOf(const SourceQueue& queue, QueueState& out) {
    out.queuedFrames = queue.FrameCount();
    out.counters = queue.Counters();
}

void QueueTable::Describe(const SourceQueue& queue, unsigned width, SourceView& out) {
    StateOf(queue, out);
    out.sourceId = queue.SourceId();
    out.attachment = queue.Attachment();
    const WaveFrame* last = queue.LastTaken();
    out.lastLevel =
        width != 0 && last != nullptr
            ? MeasureFrameLevel(last->pData, static_cast<std::size_t>(last->nLen), width)
            : FrameLevel();
}

void QueueTable::Views(std::vector<SourceView>& out) {
    MutexLock lock(mutex_);
    try {
        out.resize(queues_.size());
    } catch (const std::bad_alloc&) {
        out.clear();
        return;  // the caller sees no sources this time
    }
    std::size_t i = 0;
    for (const auto& queue : queues_) {
        Describe(*queue, 0, out[i++]);
    }
}

bool QueueTable::View(long sourceId, SourceView& out, unsigned width) {
    MutexLock lock(mutex_);
    const SourceQueue* queue = Find(sourceId);
    if (queue == nullptr) {
        return false;
    }
    Describe(*queue, width, out);
    return true;
}

bool QueueTable::State(long sourceId, QueueState& out, std::uint32_t* slot) {
    MutexLock lock(mutex_);
    const SourceQueue* queue = InSlot(sourceId, slot);
    if (queue == nullptr) {
        queue = Find(sourceId);
        if (queue == nullptr) {
            return false;
        }
        if (slot != nullptr) {
            *slot = queue->Slot();
        }
    }
    StateOf(*queue, out);
    return true;
}

SourceQueue* QueueTable::InSlot(long sourceId, const std::uint32_t* slot) {
    if (slot != nullptr && *slot < bySlot_.size() && bySlot_[*slot] != nullptr &&
        bySlot_[*slot]->SourceId() == sourceId) {
        return bySlot_[*slot];
    }
    return nullptr;
}

SourceQueue* QueueTable::Find(long sourceId) {
    const auto found = index_.find(sourceId);
    return found == index_.end() ? nullptr : found->second;
}

SourceQueue* QueueTable::FindOrCreate(long sourceId, std::uint32_t nowSeconds) {
    if (SourceQueue* queue = Find(sourceId)) {
        return queue;
    }
    const std::uint32_t slot = freeSlots_.empty() ? nextSlot_ : freeSlots_.back();
    try {
        if (bySlot_.size() <= slot) {
            bySlot_.resize(std::size_t{slot} + 1);
        }
        queues_.push_back(std::make_unique<SourceQueue>(sourceId, slot, nowSeconds));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    SourceQueue* const created = queues_.back().get();
    try {
        index_.emplace(sourceId, created);
    } catch (const std::bad_alloc&) {
        queues_.pop_back();
        return nullptr;
    }
    if (freeSlots_.empty()) {
        ++nextSlot_;
    } else {
        freeSlots_.pop_back();
    }
    bySlot_[slot] = created;
    return created;
}

bool QueueTable::ForgetIfIdle(const SourceQueue& queue, std::uint32_t nowSeconds,
                              std::vector<IdleSource>* idle, std::vector<std::uint32_t>& freed) {
    if (!IsIdleExpired(nowSeconds, queue.LastFeedSeconds())) {
        if (idle != nullptr) {
            idle->push_back(IdleSource{queue.SourceId(), queue.Slot()});
        }
        return false;
    }
    // The vectors were given room for every queue before the walk, so these
    // appends do not allocate.
    freed.push_back(queue.Slot());
    freeSlots_.push_back(queue.Slot());
    bySlot_[queue.Slot()] = nullptr;
    index_.erase(queue.SourceId());
    if (lastPushed_ == &queue) {
        lastPushed_ = nullptr;
    }
    return true;
}

}  // namespace _Carovel
