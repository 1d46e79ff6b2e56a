#include "mixcore/queue_table.h"

#include <new>

#include "mixcore/idle_expiry.h"

namespace _Carovel {

PassFrames::~PassFrames() {
    for (std::size_t i = 0; i < count_; ++i) {
        std::free(data_[i]);
    }
}

void PassFrames::Reserve(std::size_t n) {
    if (n > inline_.size()) {
        thread_local std::vector<WaveFrame*> room;
        if (room.size() < n) {
            room.resize(n);
        }
        data_ = room.data();
    }
}

void PassFrames::Add(WaveFramePtr frame, bool isMaster) {
    if (isMaster) {
        master_ = frame.get();
    }
    data_[count_++] = frame.release();
}

Status QueueTable::Push(long sourceId, const char* data, int len, void* tag) {
    MutexLock lock(mutex_);
    SourceQueue* queue = FindOrCreate(sourceId);
    return queue != nullptr && queue->PushFrame(data, len, tag) ? Status::kOk
                                                                : Status::kOutOfMemory;
}

bool QueueTable::TakeFrames(PassFrames& taken, std::uint32_t nowSeconds) {
    MutexLock lock(mutex_);
    SourceQueue* master = FindOrCreate(0);
    if (master == nullptr || master->FrameCount() == 0) {
        return false;
    }
    try {
        taken.Reserve(queues_.size());
    } catch (const std::bad_alloc&) {
        return false;  // nothing taken; the frames stay queued for the next pass
    }
    for (auto it = queues_.begin(); it != queues_.end();) {
        SourceQueue& queue = **it;
        WaveFramePtr frame = queue.PopFrame();
        if (frame) {
            taken.Add(std::move(frame), queue.SourceId() == 0);
            ++it;
        } else {
            it = ExpireIfIdle(it, nowSeconds);
        }
    }
    return true;
}

void QueueTable::Clear() {
    MutexLock lock(mutex_);
    index_.clear();
    queues_.clear();
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
    try {
        queues_.push_back(std::make_unique<SourceQueue>(sourceId));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    try {
        index_.emplace(sourceId, std::prev(queues_.end()));
    } catch (const std::bad_alloc&) {
        queues_.pop_back();
        return nullptr;
    }
    return queues_.back().get();
}

QueueTable::QueueList::iterator QueueTable::ExpireIfIdle(QueueList::iterator it,
                                                         std::uint32_t nowSeconds) {
    if (!IsIdleExpired(nowSeconds, (*it)->LastFeedSeconds())) {
        return std::next(it);
    }
    index_.erase((*it)->SourceId());
    return queues_.erase(it);
}

}  // namespace _Carovel
