// Feeds one audio file to the mixer as one source: silence for its delay,
// then the file in its own format (or panned into stereo), then, for the
// master, silence until the mix ends.
#ifndef CAROVEL_MIX_SOURCE_FEEDER_H
#define CAROVEL_MIX_SOURCE_FEEDER_H

#include <carovel/mixer.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "pcm.h"
#include "pcm/level_meter.h"
#include "sound_file.h"
#include "source_edit.h"

namespace carovel_mix {

// How a source goes into the mix.
struct SourceSetup {
    // Frames of the mix before the source starts; fed as silence in the
    // mixing format, so the source's first sample lands on this frame.
    std::uint64_t delayFrames = 0;
    // The source's gain in the mix, applied by the mixer (SetSourceGain), not
    // by the feeder: 0 to 16.
    float gain = 1.0f;
    // Equal-power position in a stereo mix, -1 (left) to 1 (right).
    std::optional<double> pan;
    // The samples are scaled by 2^-shift on the way in, leaving the mix that
    // much headroom (see MixJob's headroom runs).
    unsigned headroomShift = 0;
    // Fade in and out over the file's (trimmed) frames.
    Fade fade;
};

// Left and right gains of an equal-power pan: exactly (1, 0), (0, 1) and
// (sqrt(1/2), sqrt(1/2)) at -1, 1 and 0.
std::pair<double, double> PanGains(double position);

class SourceFeeder {
  public:
    // file stays owned by the caller. blockMs: the longest block handed to
    // the mixer in one call.
    SourceFeeder(long id, InputFile& file, const PcmFormat& mixFormat, const SourceSetup& setup,
                 unsigned blockMs);

    // The source's number in the run (its index among the inputs).
    long Id() const { return m_id; }
    // The source's id in the mixer it is fed to: its number, unless set
    // (a submix's first member is its master, source 0).
    long MixerId() const { return m_mixerId; }
    void SetMixerId(long id) { m_mixerId = id; }
    const InputFile& File() const { return m_file; }
    const SourceSetup& Setup() const { return m_setup; }
    // The rate of the mix it is fed to (its delay counts frames of it).
    unsigned MixRate() const { return m_mixFormat.samplesPerSec; }
    // Levels of the file's audio (before gain and pan) up to the metering
    // limit: the part that goes into the mix.
    const _Carovel::LevelMeter& Levels() const { return m_levels; }

    // The frame of the mix where the source's audio ends: its delay plus the
    // file's length at the mixing rate. Shrinks when the file turns out
    // shorter than announced.
    std::uint64_t EndFrame() const;
    // The mix ends at frame `end`: the file is fed only up to there, and
    // with pad the source is padded with silence up to there.
    void SetMixEnd(std::uint64_t end, bool pad);

    // Feeds the source up to frame `until` of the mix, in blocks of at most
    // blockMs, and flushes it once all of it was fed, so that its last
    // partial frame and what its converter held back are mixed too. Throws
    // ToolError when the mixer refuses a block.
    void FeedUntil(_Carovel::CMixer& mixer, std::uint64_t until);
    bool Done() const { return m_flushed; }
    // Frames of the mix fed so far (the file's part at the mixing rate,
    // rounded down, or up once the source was flushed).
    std::uint64_t MixFramesFed() const;

  private:
    // Audio is read, measured and packed this far ahead of feeding.
    static constexpr unsigned kReadAheadMs = 250;

    std::uint64_t FileFramesFor(std::uint64_t mixFrames, bool roundUp) const;
    std::uint64_t FileLimit() const;
    void FeedSilence(_Carovel::CMixer& mixer, std::uint64_t frames);
    // Reads the next chunk of the file. False at its end.
    bool Refill();
    // Whether the file's samples need only widening to be fed: 16-bit
    // packed PCM into a 32-bit feed with headroom, no pan, no fade.
    bool WidensOnly() const;
    void Transform(std::size_t frames);
    void Send(_Carovel::CMixer& mixer, const char* data, std::size_t bytes,
              const PcmFormat& format);

    long m_id;
    long m_mixerId;
    InputFile& m_file;
    PcmFormat m_mixFormat;
    SourceSetup m_setup;
    PcmFormat m_feedFormat;
    bool m_plain;  // fed as read, without pan or headroom
    std::pair<double, double> m_panGains{1.0, 1.0};
    std::size_t m_fileBlockFrames;
    std::size_t m_mixBlockFrames;

    std::uint64_t m_mixEnd = UINT64_MAX;
    bool m_pad = false;
    std::uint64_t m_delayFed = 0;
    std::uint64_t m_fileRead = 0;  // frames put into chunks
    std::uint64_t m_fileFed = 0;
    std::uint64_t m_padFed = 0;
    bool m_fileDone = false;
    bool m_flushed = false;

    _Carovel::LevelMeter m_levels;
    std::vector<std::int32_t> m_samples;
    std::vector<float> m_floats;  // a float file read for a float mix
    std::vector<std::int32_t> m_transformed;
    std::vector<char> m_raw;    // packed PCM read for a transform
    std::vector<char> m_chunk;  // packed audio in the feed format
    std::size_t m_chunkPos = 0;
    std::vector<char> m_silence;  // one block of silence in the mixing format
};

// Frame `ms` milliseconds into a timeline at `rate` samples per second.
inline std::uint64_t FrameAt(std::uint64_t ms, unsigned rate) {
    return ms * rate / 1000;
}

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_SOURCE_FEEDER_H
