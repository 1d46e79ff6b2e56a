// Audio files through libsndfile: a reader that hands out left-justified
// samples whatever the file's encoding, and a writer that writes to a
// temporary file beside its target and puts it in place only on Commit.
#ifndef CAROVEL_MIX_SOUND_FILE_H
#define CAROVEL_MIX_SOUND_FILE_H

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pcm.h"

namespace carovel_mix {

struct SndfileCloser {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

class InputFile {
  public:
    // Opens path for reading. Throws ToolError naming the file when it is
    // missing, unreadable, in a format libsndfile does not know, or has a
    // rate or channel count the mixer cannot be told about.
    explicit InputFile(const std::string& path);

    const std::string& Path() const { return m_path; }
    // The format the file is fed to the mixer in: its own channels and rate,
    // its own width for integer encodings, 32 bits for floating-point and
    // lossy encodings (IsFloat()).
    const PcmFormat& Format() const { return m_format; }
    bool IsFloat() const { return m_float; }
    std::uint64_t Frames() const { return m_frames; }
    double Seconds() const;
    // "WAV", "FLAC", "AIFF", ...
    const std::string& Container() const { return m_container; }

    // Reads up to frames sample frames into out (resized to what was read,
    // left-justified, interleaved). Returns the frames read: fewer than asked
    // only at the end of the file. Throws ToolError on a read error.
    std::size_t Read(std::size_t frames, std::vector<std::int32_t>& out);

    // True when the file's data is already what the mixer takes in Format():
    // little-endian PCM of 16, 24 or 32 bits, or unsigned 8-bit PCM, with
    // nothing to decode. ReadPacked then reads it as it is, without
    // converting, in large reads.
    bool IsPacked() const { return m_packed; }
    // Reads up to frames sample frames of such a file into out (resized to
    // what was read). Use either Read or ReadPacked on one file, not both.
    std::size_t ReadPacked(std::size_t frames, std::vector<char>& out);

  private:
    std::string m_path;
    SndfileHandle m_file;
    bool m_packed = false;
    PcmFormat m_format;
    bool m_float = false;
    std::uint64_t m_frames = 0;
    std::string m_container;
    std::vector<float> m_floatBuffer;
};

// Writes a file in a given PCM format, the container chosen by the file
// name's extension. The data goes to a hidden temporary file in the same
// directory, renamed over the target by Commit(); when the writer is
// destroyed without Commit() the temporary file is removed.
class OutputFile {
  public:
    // Throws ToolError when the extension is unknown, the container cannot
    // hold the format, or the temporary file cannot be created.
    OutputFile(const std::string& path, const PcmFormat& format);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& Path() const { return m_path; }
    // Writes interleaved left-justified samples, a whole number of frames.
    void Write(const std::int32_t* samples, std::size_t count);
    // True when the file stores the format's packed PCM as it is (see
    // InputFile::IsPacked); WritePacked then writes bytes unconverted.
    bool IsPacked() const { return m_packed; }
    // Writes count samples of packed PCM in the file's format. Use either
    // Write or WritePacked on one file, not both.
    void WritePacked(const char* data, std::size_t count);
    // Finishes the temporary file. Throws ToolError on failure.
    void Finish();
    // Finishes the file when not done yet and renames it to the target.
    // Throws ToolError on failure (the temporary file is then removed).
    void Commit();

  private:
    std::string m_path;
    std::string m_tempPath;
    unsigned m_channels;
    unsigned m_bytesPerSample;
    bool m_packed = false;
    SndfileHandle m_file;
    bool m_committed = false;
};

// The container names accepted for output, for messages and --help.
std::string OutputExtensions();

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_SOUND_FILE_H
