// Feeds one audio file to the mixer as one source, in its own format.
#ifndef CAROVEL_MIX_SOURCE_FEEDER_H
#define CAROVEL_MIX_SOURCE_FEEDER_H

#include <carovel/mixer.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "pcm.h"
#include "sound_file.h"

namespace carovel_mix {

class SourceFeeder {
  public:
    // blockMs: the longest block handed to the mixer in one call.
    SourceFeeder(long id, std::unique_ptr<InputFile> file, float gain, unsigned blockMs);

    long Id() const { return m_id; }
    const InputFile& File() const { return *m_file; }
    // Levels of the file's audio (before the gain) up to the metering limit.
    const LevelMeter& Levels() const { return m_levels; }
    // Only the first `frames` frames of the file are measured: the part that
    // goes into the mix.
    void SetMeterLimit(std::uint64_t frames) { m_meterLimit = frames; }

    // Frames of silence fed after the file's last frame.
    void SetPadding(std::uint64_t frames) { m_padding = frames; }
    // The file's frames (as far as it could be read) plus the padding.
    std::uint64_t TotalFrames() const { return m_fileFrames + m_padding; }
    std::uint64_t FileFrames() const { return m_fileFrames; }
    std::uint64_t FramesFed() const { return m_fed; }
    bool Done() const { return m_fed >= TotalFrames(); }

    // Feeds the source up to frame `until` of its own timeline (at most
    // TotalFrames()) to mixer, in blocks of at most blockMs, and flushes the
    // source once all of it was fed, so that its last partial frame and what
    // its converter held back are mixed too. Throws ToolError when the mixer
    // refuses a block.
    void FeedUntil(_Carovel::CMixer& mixer, std::uint64_t until);

  private:
    // Audio is read, measured, packed and scaled this far ahead of feeding.
    static constexpr unsigned kReadAheadMs = 250;

    // Reads the next chunk of the file, or of padding. False at the end.
    bool Refill();
    void Send(_Carovel::CMixer& mixer, const char* data, std::size_t bytes);

    long m_id;
    std::unique_ptr<InputFile> m_file;
    float m_gain;
    std::size_t m_blockFrames;
    std::uint64_t m_fileFrames;
    std::uint64_t m_padding = 0;
    std::uint64_t m_meterLimit = UINT64_MAX;
    std::uint64_t m_read = 0;  // frames put into chunks, padding included
    std::uint64_t m_fed = 0;
    bool m_flushed = false;
    LevelMeter m_levels;
    std::vector<std::int32_t> m_samples;
    std::vector<char> m_chunk;  // packed audio in the source's format
    std::size_t m_chunkPos = 0;
};

// Frame `ms` milliseconds into a timeline at `rate` samples per second.
inline std::uint64_t FrameAt(std::uint64_t ms, unsigned rate) {
    return ms * rate / 1000;
}

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_SOURCE_FEEDER_H
