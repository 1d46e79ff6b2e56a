#include "engine/source_queue.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace _Carovel {

WaveFramePtr AllocWaveFrame(const char* data, int len, void* tag) {
    if (len < 0) {
        return nullptr;
    }
    const std::size_t payload = static_cast<std::size_t>(len);
    void* block = std::malloc(sizeof(WaveFrame) + payload);
    if (block == nullptr) {
        return nullptr;
    }
    auto* frame = static_cast<WaveFrame*>(block);
    frame->pData = reinterpret_cast<char*>(frame + 1);
    frame->nLen = len;
    frame->pTag = tag;
    frame->capacity = payload;
    if (payload > 0) {
        std::memcpy(frame->pData, data, payload);
    }
    return WaveFramePtr(frame);
}

SourceQueue::SourceQueue(long sourceId, std::uint32_t slot, std::uint32_t nowSeconds)
    : sourceId_(sourceId), slot_(slot), lastFeedSeconds_(nowSeconds) {
    ring_.resize(4);
    spares_.reserve(4);
}

bool SourceQueue::GrowRing() {
    std::vector<WaveFramePtr> grown;
    try {
        grown.resize(ring_.size() * 2);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::size_t i = 0; i < count_; ++i) {
        grown[i] = std::move(ring_[(head_ + i) % ring_.size()]);
    }
    ring_.swap(grown);
    head_ = 0;
    return true;
}

bool SourceQueue::Push(WaveFramePtr frame, std::uint32_t nowSeconds) {
    if (count_ == ring_.size() && !GrowRing()) {
        return false;
    }
    ring_[(head_ + count_) % ring_.size()] = std::move(frame);
    ++count_;
    peak_ = std::max(peak_, count_);
    lastFeedSeconds_ = nowSeconds;
    ++counters_.framesPushed;
    return true;
}

bool SourceQueue::PushCopy(const char* data, int len, void* tag, std::uint32_t nowSeconds) {
    if (len < 0 || spares_.empty()) {
        return false;
    }
    if (spares_.back()->capacity < static_cast<std::size_t>(len)) {
        spares_.pop_back();  // too small for this source's frames now
        return false;
    }
    if (count_ == ring_.size() && !GrowRing()) {
        return false;
    }
    WaveFramePtr frame = std::move(spares_.back());
    spares_.pop_back();
    frame->nLen = len;
    frame->pTag = tag;
    if (len > 0) {
        std::memcpy(frame->pData, data, static_cast<std::size_t>(len));
    }
    return Push(std::move(frame), nowSeconds);  // the ring has room: cannot fail
}

const WaveFrame* SourceQueue::Take() {
    if (count_ == 0) {
        counters_.tookLastPass = false;
        if (counters_.framesPushed > 0) {
            counters_.gapPasses += counters_.framesMixed > 0 ? 1 : 0;
            counters_.ranDryAtPush = counters_.framesPushed;
        }
        return nullptr;
    }
    Recycle(std::move(lastTaken_));
    lastTaken_ = std::move(ring_[head_]);
    head_ = (head_ + 1) % ring_.size();
    --count_;
    counters_.dropouts += counters_.gapPasses;
    counters_.gapPasses = 0;
    ++counters_.framesMixed;
    counters_.tookLastPass = true;
    return lastTaken_.get();
}

std::size_t SourceQueue::CutTo(std::size_t maxFrames) {
    std::size_t cut = 0;
    while (count_ > maxFrames) {
        Recycle(std::move(ring_[head_]));
        head_ = (head_ + 1) % ring_.size();
        --count_;
        ++cut;
    }
    counters_.framesCut += cut;
    return cut;
}

void SourceQueue::Recycle(WaveFramePtr frame) {
    if (frame == nullptr || spares_.size() >= std::min(peak_, kMaxSpares)) {
        return;  // freed
    }
    try {
        spares_.push_back(std::move(frame));
    } catch (const std::bad_alloc&) {
        // freed: the spares are only a saving
    }
}

}  // namespace _Carovel
