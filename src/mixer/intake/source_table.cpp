#include "mixer/intake/source_table.h"

#include <new>

#include "engine/idle_expiry.h"

namespace _Carovel {

SourceIntake* SourceTable::FeedSource(long sourceId, const PcmFormat& mixFormat,
                                      std::size_t frameBytes, std::uint32_t nowSeconds) {
    const auto found = index_.find(sourceId);
    if (found != index_.end()) {
        SourceIntake* const intake = found->second->get();
        intake->MarkFed(nowSeconds);
        byLastFeed_.splice(byLastFeed_.end(), byLastFeed_, found->second);
        return intake;
    }
    DropIdle(nowSeconds);
    try {
        byLastFeed_.push_back(std::make_unique<SourceIntake>(sourceId, mixFormat, frameBytes));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    try {
        index_.emplace(sourceId, std::prev(byLastFeed_.end()));
    } catch (const std::bad_alloc&) {
        byLastFeed_.pop_back();
        return nullptr;
    }
    SourceIntake* const intake = byLastFeed_.back().get();
    intake->MarkFed(nowSeconds);
    return intake;
}

SourceIntake* SourceTable::Find(long sourceId) {
    const auto found = index_.find(sourceId);
    return found == index_.end() ? nullptr : found->second->get();
}

const SourceIntake* SourceTable::Find(long sourceId) const {
    const auto found = index_.find(sourceId);
    return found == index_.end() ? nullptr : found->second->get();
}

void SourceTable::DiscardStaged() {
    for (auto& intake : byLastFeed_) {
        intake->DiscardStaged();
    }
}

void SourceTable::Clear() {
    index_.clear();
    byLastFeed_.clear();
}

// Only the front can be idle when a source further back is not, so this
// stops at the first source that is still live.
void SourceTable::DropIdle(std::uint32_t nowSeconds) {
    while (!byLastFeed_.empty() &&
           IsIdleExpired(nowSeconds, byLastFeed_.front()->LastFeedSeconds())) {
        index_.erase(byLastFeed_.front()->SourceId());
        byLastFeed_.pop_front();
    }
}

}  // namespace _Carovel
