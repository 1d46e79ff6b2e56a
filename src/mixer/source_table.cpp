#include "mixer/source_table.h"

#include <new>

#include "mixcore/idle_expiry.h"

namespace _Carovel {

SourceIntake* SourceTable::FindOrCreate(long sourceId, const PcmFormat& mixFormat,
                                        std::size_t frameBytes, std::uint32_t nowSeconds) {
    const auto found = sources_.find(sourceId);
    if (found != sources_.end()) {
        return found->second.get();
    }
    DropIdle(nowSeconds);
    try {
        auto intake = std::make_unique<SourceIntake>(sourceId, mixFormat, frameBytes);
        intake->MarkFed(nowSeconds);
        SourceIntake* const raw = intake.get();
        sources_.emplace(sourceId, std::move(intake));
        return raw;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

const SourceIntake* SourceTable::Find(long sourceId) const {
    const auto found = sources_.find(sourceId);
    return found == sources_.end() ? nullptr : found->second.get();
}

void SourceTable::DiscardStaged() {
    for (auto& entry : sources_) {
        entry.second->DiscardStaged();
    }
}

void SourceTable::DropIdle(std::uint32_t nowSeconds) {
    for (auto it = sources_.begin(); it != sources_.end();) {
        if (IsIdleExpired(nowSeconds, it->second->LastFeedSeconds())) {
            it = sources_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace _Carovel
