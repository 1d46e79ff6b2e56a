// The mixer's sources by id: their intake state, created on a source's first
// block and dropped once it has been idle.
#ifndef CAROVEL_MIXER_SOURCE_TABLE_H
#define CAROVEL_MIXER_SOURCE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "mixer/source_intake.h"

namespace _Carovel {

// Not locked: the mixer's callers serialise every call that reaches it.
class SourceTable {
  public:
    // The source's intake, created for mixFormat and frameBytes when absent.
    // Creating one first drops every source idle at nowSeconds, so that a
    // host using a new id for every call does not pile up state. Returns null
    // when memory runs out.
    SourceIntake* FindOrCreate(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes,
                               std::uint32_t nowSeconds);
    // The source's intake, or null.
    const SourceIntake* Find(long sourceId) const;

    // Drops every source's staged partial frame; the sources stay.
    void DiscardStaged();
    // Drops every source.
    void Clear() { sources_.clear(); }
    std::size_t Count() const { return sources_.size(); }

  private:
    void DropIdle(std::uint32_t nowSeconds);

    std::unordered_map<long, std::unique_ptr<SourceIntake>> sources_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_SOURCE_TABLE_H
