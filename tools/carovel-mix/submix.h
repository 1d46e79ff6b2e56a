// Submixes: sources that share a rate other than the mix's are mixed among
// themselves first, at their own rate, and go into the mix as one source,
// converted once instead of each member on its own. Converting is linear, so
// the result is the same within rounding, as long as nothing is clamped
// between the two mixes (both keep 32-bit headroom) and every member's delay
// is a whole number of samples at both rates.
#ifndef CAROVEL_MIX_SUBMIX_H
#define CAROVEL_MIX_SUBMIX_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mix_session.h"
#include "mix_sink.h"
#include "options.h"
#include "pcm.h"
#include "sound_file.h"
#include "source_feeder.h"

namespace carovel_mix {

// One submix: its members, by source index (ascending), and the rate and
// channels it is mixed at.
struct SubmixPlan {
    std::vector<unsigned> members;
    std::uint32_t rate = 0;
    unsigned channels = 0;
};

// True when `seconds` falls on a whole sample at both rates (as the tool
// rounds delays), so that a source delayed by it starts at the same instant
// whichever rate it is placed at.
bool WholeAtBothRates(double seconds, std::uint32_t a, std::uint32_t b);

// The submixes of a mix at `mix`'s rate and channels: every group of two or
// more sources other than the master at a shared rate other than the mix's,
// leaving out sources with a mix-minus output (the mixer needs them on their
// own) or a delay that is not whole at both rates, and rates at which a
// frame of the submix would be too long for the mixer. None for a float mix, in
// real time, with the mixer's limiter, with --length shortest or with
// --convert-each. A submix has the members' channels when they all share
// fewer than the mix and none is panned, else the mix's.
std::vector<SubmixPlan> PlanSubmixes(const Options& options, const InputList& inputs,
                                     const PcmFormat& mix);

// Where a submix in `format` (a 32-bit integer format at the plan's rate and
// channels) is kept: a track spooled to an unnamed temporary file in $TMPDIR
// (or /tmp), 4 bytes per sample. Throws ToolError when the file cannot be
// made; the plan's sources then go into the mix one by one.
std::unique_ptr<Track> MakeSubmixSpool(const PcmFormat& format);

// Mixes the members' feeders (their first paces the submix; made for the
// spool's format, with the mix's headroom) offline to the end of the longest
// or to frame `end` at the spool's rate, whichever comes first, and returns
// the submix read back: a source to feed as it is, with no further headroom
// shift nor gain. Throws ToolError, or Interrupted.
std::unique_ptr<InputFile> MixSubmix(std::vector<SourceFeeder>& members,
                                     std::unique_ptr<Track> spool, unsigned frameMs,
                                     std::uint64_t end, const ProgressFn& progress);

// For the summary: "sources 1, 2 mixed at 44100 Hz, their rate, and
// converted once to 48000 Hz"; or, when not made, "sources 1, 2 converted
// one by one to 48000 Hz".
std::string SubmixNote(const SubmixPlan& plan, std::uint32_t mixRate, bool made);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_SUBMIX_H
