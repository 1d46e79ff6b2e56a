// The mixer's sources by id: their intake state, created on a source's first
// block and dropped once it has been idle.
#ifndef CAROVEL_MIXER_SOURCE_TABLE_H
#define CAROVEL_MIXER_SOURCE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include "mixer/intake/source_intake.h"

namespace _Carovel {

// Not locked: the mixer's callers serialise every call that reaches it.
//
// Sources are kept in the order of their last feed, so that the idle ones
// are found at the front: a new source costs constant time on average however
// many sources are live.
class SourceTable {
  public:
    // The source's intake, created for mixFormat and frameBytes when absent,
    // marked as fed at nowSeconds (of the monotonic clock). Creating one first
    // drops the sources idle at nowSeconds, so that a host using a new id for
    // every call does not pile up state. Returns null when memory runs out.
    SourceIntake* FeedSource(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes,
                             std::uint32_t nowSeconds);
    // The source's intake, or null.
    SourceIntake* Find(long sourceId);
    const SourceIntake* Find(long sourceId) const;

    // Drops every source's staged partial frame; the sources stay.
    void DiscardStaged();
    // Drops every source.
    void Clear();
    std::size_t Count() const { return index_.size(); }

  private:
    using FeedOrder = std::list<std::unique_ptr<SourceIntake>>;

    void DropIdle(std::uint32_t nowSeconds);

    FeedOrder byLastFeed_;  // least recently fed first
    std::unordered_map<long, FeedOrder::iterator> index_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_SOURCE_TABLE_H
