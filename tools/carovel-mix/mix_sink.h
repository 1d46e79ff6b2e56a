// Receives the mixer's output frames and writes the mix (and optionally the
// master track) to their files, cut to the master's length.
#ifndef CAROVEL_MIX_MIX_SINK_H
#define CAROVEL_MIX_MIX_SINK_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pcm.h"
#include "sound_file.h"

namespace carovel_mix {

class MixSink {
  public:
    // masterPath may be empty. Throws ToolError when a file cannot be created.
    MixSink(const std::string& mixPath, const std::string& masterPath, const PcmFormat& format);

    // At most this many frames are written; the rest is dropped.
    void SetLimit(std::uint64_t frames) { m_limit = frames; }
    // Appends mixing-format bytes of the mix and of the master track.
    void Add(const std::vector<char>& mix, const std::vector<char>& master);
    // Finishes both files and puts them in place.
    void Commit();

    const PcmFormat& Format() const { return m_format; }
    const std::string& MixPath() const { return m_mix.Path(); }
    std::uint64_t FramesWritten() const { return m_written; }
    const LevelMeter& Levels() const { return m_levels; }
    std::uint64_t ClippedSamples() const { return m_clips.Count(); }

  private:
    std::size_t Unpack(const std::vector<char>& bytes, std::size_t frames);

    PcmFormat m_format;
    OutputFile m_mix;
    std::unique_ptr<OutputFile> m_master;
    std::uint64_t m_limit = UINT64_MAX;
    std::uint64_t m_written = 0;
    LevelMeter m_levels;
    ClipCounter m_clips;
    std::vector<std::int32_t> m_samples;
};

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_MIX_SINK_H
