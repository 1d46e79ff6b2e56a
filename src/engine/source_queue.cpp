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
    : sourceId_(sourceId), slot_(slot), lastFeedSeconds_(nowSeconds), ring_(inlineRing_) {}

SourceQueue::~SourceQueue() {
    while (spares_ != nullptr) {
        WaveFrame* const next = static_cast<WaveFrame*>(spares_->pTag);
        std::free(spares_);
        spares_ = next;
    }
}

bool SourceQueue::GrowRing() {
    const std::size_t size = std::size_t{mask_} + 1;
    std::unique_ptr<WaveFramePtr[]> grown(new (std::nothrow) WaveFramePtr[2 * size]);
    if (grown == nullptr) {
        return false;
    }
    for (std::uint32_t i = 0; i < count_; ++i) {
        grown[i] = std::move(ring_[(head_ + i) & mask_]);
    }
    grownRing_ = std::move(grown);
    ring_ = grownRing_.get();
    mask_ = static_cast<std::uint32_t>(2 * size - 1);
    head_ = 0;
    return true;
}

bool SourceQueue::Push(WaveFramePtr frame, std::uint32_t nowSeconds) {
    if (count_ > mask_ && !GrowRing()) {
        return false;
    }
    Place(frame.release(), nowSeconds);
    return true;
}

bool SourceQueue::PushCopyRare(const char* data, int len, void* tag, std::uint32_t nowSeconds) {
    if (len < 0 || spares_ == nullptr) {
        return false;
    }
    if (spares_->capacity < static_cast<std::size_t>(len)) {
        // Too small for this source's frames now.
        WaveFrame* const small = spares_;
        spares_ = static_cast<WaveFrame*>(small->pTag);
        --spareCount_;
        std::free(small);
        return false;
    }
    if (count_ > mask_ && !GrowRing()) {
        return false;
    }
    return PushCopy(data, len, tag, nowSeconds);  // the ring has room now
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
    head_ = (head_ + 1) & mask_;
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
        head_ = (head_ + 1) & mask_;
        --count_;
        ++cut;
    }
    counters_.framesCut += cut;
    return cut;
}

void SourceQueue::DropFrames() {
    while (count_ > 0) {
        Recycle(std::move(ring_[head_]));
        head_ = (head_ + 1) & mask_;
        --count_;
    }
    MarkRanDry();
}

void SourceQueue::Recycle(WaveFramePtr frame) {
    if (frame == nullptr || spareCount_ >= std::min(peak_, kMaxSpares)) {
        return;  // freed
    }
    WaveFrame* const spare = frame.release();
    spare->pTag = spares_;
    spares_ = spare;
    ++spareCount_;
}

}  // namespace _Carovel
