#include "mixcore/source_queue.h"

#include <cstring>
#include <new>

#include "platform/clock.h"

namespace _Carovel {

WaveFramePtr AllocWaveFrame(const char* data, int len, void* tag, const FrameLevel& level) {
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
    frame->level = level;
    if (payload > 0) {
        std::memcpy(frame->pData, data, payload);
    }
    return WaveFramePtr(frame);
}

SourceQueue::SourceQueue(long sourceId, std::uint32_t slot)
    : sourceId_(sourceId), slot_(slot), lastFeedSeconds_(MonotonicSeconds()) {}

bool SourceQueue::PushFrame(const char* data, int len, void* tag, const FrameLevel& level) {
    WaveFramePtr frame = AllocWaveFrame(data, len, tag, level);
    return frame != nullptr && PushFrame(std::move(frame), MonotonicSeconds());
}

bool SourceQueue::PushFrame(WaveFramePtr frame, std::uint32_t nowSeconds) {
    try {
        frames_.push_back(std::move(frame));
    } catch (const std::bad_alloc&) {
        return false;
    }
    lastFeedSeconds_ = nowSeconds;
    ++record_.framesPushed;
    return true;
}

WaveFramePtr SourceQueue::PopFrame() {
    if (frames_.empty()) {
        record_.OnEmpty();
        return nullptr;
    }
    WaveFramePtr frame = std::move(frames_.front());
    frames_.pop_front();
    record_.OnTaken(frame->level);
    return frame;
}

std::size_t SourceQueue::CutTo(std::size_t maxFrames) {
    std::size_t cut = 0;
    while (frames_.size() > maxFrames) {
        frames_.pop_front();
        ++cut;
    }
    record_.framesCut += cut;
    return cut;
}

void SourceQueue::Clear() {
    frames_.clear();
}

}  // namespace _Carovel
