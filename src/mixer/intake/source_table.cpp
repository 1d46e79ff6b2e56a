#include "mixer/intake/source_table.h"

#include <new>

#include "engine/idle_expiry.h"

namespace _Carovel {

SourceIntake* SourceTable::FeedOther(long sourceId, const PcmFormat& mixFormat,
                                     std::size_t frameBytes, std::uint32_t nowSeconds) {
    const auto found = index_.find(sourceId);
    if (found != index_.end()) {
        last_ = &found->second;
        MarkFed(*last_, nowSeconds);
        return &last_->intake;
    }
    DropIdle(nowSeconds);
    Entry* entry = nullptr;
    try {
        entry = &index_.try_emplace(sourceId, sourceId, mixFormat, frameBytes).first->second;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    entry->intake.MarkFed(nowSeconds);
    entry->intake.UseResampler(resampler_);
    Append(*entry);
    last_ = entry;
    return &entry->intake;
}

SourceIntake* SourceTable::Find(long sourceId) {
    const auto found = index_.find(sourceId);
    return found == index_.end() ? nullptr : &found->second.intake;
}

const SourceIntake* SourceTable::Find(long sourceId) const {
    const auto found = index_.find(sourceId);
    return found == index_.end() ? nullptr : &found->second.intake;
}

void SourceTable::DiscardStaged() {
    for (auto& [id, entry] : index_) {
        entry.intake.DiscardStaged();
    }
}

void SourceTable::Clear() {
    index_.clear();
    oldest_ = newest_ = last_ = nullptr;
}

void SourceTable::Append(Entry& entry) {
    entry.older = newest_;
    entry.newer = nullptr;
    if (newest_ != nullptr) {
        newest_->newer = &entry;
    } else {
        oldest_ = &entry;
    }
    newest_ = &entry;
}

void SourceTable::Unlink(Entry& entry) {
    (entry.older != nullptr ? entry.older->newer : oldest_) = entry.newer;
    (entry.newer != nullptr ? entry.newer->older : newest_) = entry.older;
    entry.older = entry.newer = nullptr;
}

// Only the front can be idle when a source further back is not, so this
// stops at the first source that is still live.
void SourceTable::DropIdle(std::uint32_t nowSeconds) {
    while (oldest_ != nullptr && IsIdleExpired(nowSeconds, oldest_->intake.LastFeedSeconds())) {
        Entry* const idle = oldest_;
        Unlink(*idle);
        if (last_ == idle) {
            last_ = nullptr;
        }
        index_.erase(idle->intake.SourceId());
    }
}

}  // namespace _Carovel
