// The mixer's sources by id: their intake state, created on a source's first
// block and dropped once it has been idle.
#ifndef CAROVEL_MIXER_SOURCE_TABLE_H
#define CAROVEL_MIXER_SOURCE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "mixer/intake/source_intake.h"

namespace _Carovel {

// Not locked: the mixer's callers serialise every call that reaches it.
//
// Sources are kept in the order of the second of their last feed, so that
// the idle ones are found at the front: a new source costs constant time on
// average however many sources are live. Idle expiry counts whole seconds,
// so a source fed again within the second of its last feed stays where it
// is (every source after it was fed in that second too).
class SourceTable {
  public:
    SourceTable() = default;
    SourceTable(const SourceTable&) = delete;
    SourceTable& operator=(const SourceTable&) = delete;

    // The source's intake, created for mixFormat and frameBytes when absent,
    // marked as fed at nowSeconds (of the monotonic clock). Creating one first
    // drops the sources idle at nowSeconds, so that a host using a new id for
    // every call does not pile up state. Returns null when memory runs out.
    SourceIntake* FeedSource(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes,
                             std::uint32_t nowSeconds) {
        // The source fed last, again: found without a lookup.
        if (last_ != nullptr && last_->intake.SourceId() == sourceId) {
            MarkFed(*last_, nowSeconds);
            return &last_->intake;
        }
        return FeedOther(sourceId, mixFormat, frameBytes, nowSeconds);
    }
    // The source's intake, or null.
    SourceIntake* Find(long sourceId);
    const SourceIntake* Find(long sourceId) const;

    // Drops every source's staged partial frame; the sources stay.
    void DiscardStaged();
    // Drops every source.
    void Clear();
    // The resampler of the sources made from now on (SourceIntake::
    // UseResampler); kLowLatency by default.
    void SetResampler(Resampler resampler) { resampler_ = resampler; }
    std::size_t Count() const { return index_.size(); }

  private:
    // A source's intake with its place in the feed order, inside the
    // index's node: finding a source reads its intake's first bytes along.
    struct Entry {
        Entry(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes)
            : intake(sourceId, mixFormat, frameBytes) {}
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        SourceIntake intake;
        Entry* older = nullptr;
        Entry* newer = nullptr;
    };

    SourceIntake* FeedOther(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes,
                            std::uint32_t nowSeconds);
    // Marks the source as fed at nowSeconds, moving it to the back of the
    // feed order when that starts a new second for it.
    void MarkFed(Entry& entry, std::uint32_t nowSeconds) {
        if (entry.intake.LastFeedSeconds() == nowSeconds) {
            return;
        }
        entry.intake.MarkFed(nowSeconds);
        if (&entry != newest_) {
            Unlink(entry);
            Append(entry);
        }
    }
    void Append(Entry& entry);
    void Unlink(Entry& entry);
    void DropIdle(std::uint32_t nowSeconds);

    Resampler resampler_ = Resampler::kLowLatency;

    std::unordered_map<long, Entry> index_;
    // The feed order: least recently fed first.
    Entry* oldest_ = nullptr;
    Entry* newest_ = nullptr;
    // The source fed last, or null.
    Entry* last_ = nullptr;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_SOURCE_TABLE_H
