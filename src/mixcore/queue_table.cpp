#include "mixcore/queue_table.h"

#include <new>

#include "mixcore/idle_expiry.h"
#include "platform/clock.h"

namespace _Carovel {

PassFrames::~PassFrames() {
    for (std::size_t i = 0; i < count_; ++i) {
        std::free(data_[i]);
    }
}

void PassFrames::Reserve(std::size_t n) {
    if (n > kInline) {
        struct Room {
            std::vector<WaveFrame*> frames;
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

void PassFrames::Add(WaveFramePtr frame, const SourceQueue& from) {
    if (from.SourceId() == 0) {
        master_ = frame.get();
    }
    ids_[count_] = from.SourceId();
    slots_[count_] = from.Slot();
    gains_[count_] = from.Gain();
    allUnity_ = allUnity_ && from.Gain() == 65536;
    data_[count_++] = frame.release();
}

Status QueueTable::Push(long sourceId, const char* data, int len, void* tag,
                        const FrameLevel& level) {
    // The copy is made before the lock is taken: a pass waits on that lock.
    WaveFramePtr frame = AllocWaveFrame(data, len, tag, level);
    if (frame == nullptr) {
        return Status::kOutOfMemory;
    }
    const std::uint32_t now = MonotonicSeconds();
    MutexLock lock(mutex_);
    SourceQueue* queue = FindOrCreate(sourceId);
    if (queue == nullptr || !queue->PushFrame(std::move(frame), now)) {
        return Status::kOutOfMemory;
    }
    if (maxFrames_ != 0) {
        queue->CutTo(maxFrames_);
    }
    return Status::kOk;
}

bool QueueTable::TakeFrames(PassFrames& taken, std::uint32_t nowSeconds,
                            std::vector<IdleSource>* idle, std::vector<std::uint32_t>* freed,
                            bool requireMaster) {
    MutexLock lock(mutex_);
    SourceQueue* master = FindOrCreate(0);
    if (requireMaster && (master == nullptr || master->FrameCount() == 0)) {
        return false;
    }
    try {
        taken.Reserve(queues_.size());
        if (idle != nullptr) {
            idle->clear();
            idle->reserve(queues_.size());
        }
        if (freed != nullptr) {
            freed->reserve(freed->size() + queues_.size());
        }
        freeSlots_.reserve(freeSlots_.size() + queues_.size());
    } catch (const std::bad_alloc&) {
        return false;  // nothing taken; the frames stay queued for the next pass
    }
    for (auto it = queues_.begin(); it != queues_.end();) {
        SourceQueue& queue = **it;
        WaveFramePtr frame = queue.PopFrame();
        if (frame) {
            taken.Add(std::move(frame), queue);
            ++it;
        } else {
            it = ExpireIfIdle(it, nowSeconds, idle, freed);
        }
    }
    return true;
}

Status QueueTable::SetGain(long sourceId, std::int32_t gain) {
    MutexLock lock(mutex_);
    SourceQueue* queue = FindOrCreate(sourceId);
    if (queue == nullptr) {
        return Status::kOutOfMemory;
    }
    queue->SetGain(gain);
    return Status::kOk;
}

void QueueTable::Clear() {
    MutexLock lock(mutex_);
    index_.clear();
    queues_.clear();
    freeSlots_.clear();
    nextSlot_ = 0;
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
    const auto found = index_.find(sourceId);
    return found == index_.end() ? 0 : (*found->second)->FrameCount();
}

SourceQueue* QueueTable::FindOrCreate(long sourceId) {
    const auto found = index_.find(sourceId);
    if (found != index_.end()) {
        return found->second->get();
    }
    const std::uint32_t slot = freeSlots_.empty() ? nextSlot_ : freeSlots_.back();
    try {
        queues_.push_back(std::make_unique<SourceQueue>(sourceId, slot));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    try {
        index_.emplace(sourceId, std::prev(queues_.end()));
    } catch (const std::bad_alloc&) {
        queues_.pop_back();
        return nullptr;
    }
    if (freeSlots_.empty()) {
        ++nextSlot_;
    } else {
        freeSlots_.pop_back();
    }
    return queues_.back().get();
}

QueueTable::QueueList::iterator QueueTable::ExpireIfIdle(QueueList::iterator it,
                                                         std::uint32_t nowSeconds,
                                                         std::vector<IdleSource>* idle,
                                                         std::vector<std::uint32_t>* freed) {
    const SourceQueue& queue = **it;
    if (!IsIdleExpired(nowSeconds, queue.LastFeedSeconds())) {
        if (idle != nullptr) {
            idle->push_back(IdleSource{queue.SourceId(), queue.Slot()});
        }
        return std::next(it);
    }
    // The vectors were given room for every queue before the walk, so these
    // appends do not allocate.
    if (freed != nullptr) {
        freed->push_back(queue.Slot());
    }
    freeSlots_.push_back(queue.Slot());
    index_.erase(queue.SourceId());
    return queues_.erase(it);
}

}  // namespace _Carovel
