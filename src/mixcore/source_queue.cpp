#include "mixcore/source_queue.h"

#include <cstring>
#include <new>

#include "platform/clock.h"

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
    if (payload > 0) {
        std::memcpy(frame->pData, data, payload);
    }
    return WaveFramePtr(frame);
}

SourceQueue::SourceQueue(long sourceId, std::uint32_t slot)
    : sourceId_(sourceId), slot_(slot), lastFeedSeconds_(MonotonicSeconds()) {}

bool SourceQueue::PushFrame(const char* data, int len, void* tag) {
    WaveFramePtr frame = AllocWaveFrame(data, len, tag);
    if (!frame) {
        return false;
    }
    try {
        frames_.push_back(std::move(frame));
    } catch (const std::bad_alloc&) {
        return false;
    }
    lastFeedSeconds_ = MonotonicSeconds();
    return true;
}

WaveFramePtr SourceQueue::PopFrame() {
    if (frames_.empty()) {
        return nullptr;
    }
    WaveFramePtr frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

void SourceQueue::Clear() {
    frames_.clear();
}

}  // namespace _Carovel
