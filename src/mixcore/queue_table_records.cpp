// The queue table's per-source records: the ceiling, what intakes report,
// and the views that statistics and live mode read.
#include <algorithm>
#include <new>

#include "mixcore/queue_table.h"

namespace _Carovel {

void QueueTable::SetMaxFrames(std::size_t maxFrames) {
    MutexLock lock(mutex_);
    maxFrames_ = maxFrames;
}

bool QueueTable::PlanFeed(long sourceId, FeedPlan& plan) {
    MutexLock lock(mutex_);
    SourceQueue* queue = FindOrCreate(sourceId);
    if (queue == nullptr) {
        return false;
    }
    SourceRecord& r = queue->Record();
    plan.trimPpm = r.trimPpm;
    plan.queuedFrames = queue->FrameCount();
    // A pass that finds the queue empty between this answer and the
    // restart's first frame records the same push count, so it does not ask
    // for a second restart.
    const bool fresh = r.framesPushed == 0 && r.intake.primes == 0;
    const bool dry = r.ranDry && r.ranDryAtPush > r.primedAtPush;
    plan.restart = fresh || dry;
    if (plan.restart) {
        r.primedAtPush = r.framesPushed;
        r.ranDry = false;
        ++r.intake.primes;
    }
    return true;
}

void QueueTable::Report(long sourceId, const IntakeReport& report) {
    MutexLock lock(mutex_);
    const auto found = index_.find(sourceId);
    if (found == index_.end()) {
        return;
    }
    SourceRecord& r = (*found->second)->Record();
    const std::uint64_t primes = r.intake.primes;
    const std::uint64_t reports = r.intake.reports;
    r.intake = report;
    r.intake.primes = primes;
    r.intake.reports = reports + 1;
}

void QueueTable::Views(std::vector<SourceView>& out) {
    out.clear();
    MutexLock lock(mutex_);
    try {
        out.reserve(queues_.size());
    } catch (const std::bad_alloc&) {
        return;  // the caller sees no sources this time
    }
    for (const auto& queue : queues_) {
        out.push_back(SourceView{queue->SourceId(), queue->FrameCount(), queue->Record()});
    }
}

bool QueueTable::View(long sourceId, SourceView& out) {
    MutexLock lock(mutex_);
    const auto found = index_.find(sourceId);
    if (found == index_.end()) {
        return false;
    }
    const SourceQueue& queue = **found->second;
    out.sourceId = sourceId;
    out.queuedFrames = queue.FrameCount();
    out.record = queue.Record();
    return true;
}

std::size_t QueueTable::CutOldest(long sourceId, std::size_t frames) {
    MutexLock lock(mutex_);
    const auto found = index_.find(sourceId);
    if (found == index_.end()) {
        return 0;
    }
    SourceQueue& queue = **found->second;
    const std::size_t queued = queue.FrameCount();
    return queue.CutTo(queued - std::min(queued, frames));
}

void QueueTable::SetTrims(const std::vector<std::pair<long, std::int32_t>>& trims) {
    MutexLock lock(mutex_);
    for (const auto& [id, ppm] : trims) {
        const auto found = index_.find(id);
        if (found != index_.end()) {
            (*found->second)->Record().trimPpm = ppm;
        }
    }
}

}  // namespace _Carovel
