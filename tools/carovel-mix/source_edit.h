// Editing a source before it is mixed: --trim keeps a part of it, --fade
// fades that part in and out.
#ifndef CAROVEL_MIX_SOURCE_EDIT_H
#define CAROVEL_MIX_SOURCE_EDIT_H

#include <cstdint>

#include "options.h"
#include "sound_file.h"

namespace carovel_mix {

// Keeps the part of file that trim names, its times rounded to the nearest
// frame of the file. Throws ToolError when the part is empty.
void ApplyTrim(InputFile& file, const TrimRange& trim);

// An equal-power fade in and out over a part of `length` frames: the gain
// of frame `position` rises along a quarter sine from 0 at the first frame
// over `in` frames, and falls the same way to 0 at the last frame over `out`
// frames (where the two overlap the smaller gain wins).
class Fade {
  public:
    Fade() = default;
    Fade(std::uint64_t length, std::uint64_t in, std::uint64_t out);
    bool Active() const { return m_in > 0 || m_out > 0; }
    double GainAt(std::uint64_t position) const;

  private:
    std::uint64_t m_length = 0;
    std::uint64_t m_in = 0;
    std::uint64_t m_out = 0;
};

// The fade that `times` asks for over the (trimmed) file, in its frames.
Fade MakeFade(const InputFile& file, const FadeTimes& times);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_SOURCE_EDIT_H
