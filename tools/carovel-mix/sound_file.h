// Reading audio files through libsndfile: a reader that hands out
// left-justified samples whatever the file's encoding (the writer is in
// output_file.h).
#ifndef CAROVEL_MIX_SOUND_FILE_H
#define CAROVEL_MIX_SOUND_FILE_H

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "pcm.h"

namespace carovel_mix {

struct SndfileCloser {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

// An open file descriptor, closed on destruction.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd = -1;
};

class InputFile {
  public:
    // Opens path for reading; "-" reads standard input, which is first copied
    // to a hidden temporary file when it is a pipe, so that any format can be
    // read and its length is known. Throws ToolError naming the file when it
    // is missing, unreadable, in a format libsndfile does not know, or has a
    // rate or channel count the mixer cannot be told about. With raw, the
    // file is read as headerless samples of that layout.
    //
    // A WAV file whose data size says "unknown" (0xFFFFFFFF, as written to a
    // pipe) and that holds more than that field can count (over 4 GiB) is
    // read to its end.
    explicit InputFile(const std::string& path, const RawLayout* raw = nullptr);
    // Reads an unnamed temporary file of interleaved 32-bit integer samples
    // in the machine's order (a spooled submix, see Track::TakeSpool) from
    // its current position; name is shown in messages. Throws ToolError as
    // above.
    InputFile(FileDescriptor spool, unsigned rate, unsigned channels, std::string name);

    // Keeps only frames [start, end) of the file (end clipped to its
    // length): Frames(), Read and Rewind then cover that part. Throws
    // ToolError when start is not before the end of the file or the file
    // cannot seek.
    void Trim(std::uint64_t start, std::uint64_t end);

    // The path as given; "-" for standard input.
    const std::string& Path() const { return m_path; }
    // The name for messages: the path, or "standard input".
    std::string DisplayName() const;
    // The format the file is fed to the mixer in: its own channels and rate,
    // its own width for integer encodings, 32 bits for floating-point and
    // lossy encodings (IsFloat()).
    const PcmFormat& Format() const { return m_format; }
    bool IsFloat() const { return m_float; }
    // Frames the file holds as far as known: what libsndfile found when
    // opening it, less what reading found missing.
    std::uint64_t Frames() const { return m_frames; }
    double Seconds() const;
    // "WAV", "FLAC", "AIFF", ...
    const std::string& Container() const { return m_container; }
    // How samples are stored, for people: "16-bit", "float", "u-law",
    // "A-law", "IMA ADPCM", "MP3", ...
    std::string EncodingLabel() const;

    // Reads up to frames sample frames into out (resized to what was read,
    // left-justified, interleaved). Returns the frames read: fewer than asked
    // only at the end of the file. A read error ends the file where it
    // happened and is kept for Problem().
    std::size_t Read(std::size_t frames, std::vector<std::int32_t>& out);
    // The same as floats (full scale 1.0), for a file read as floating point
    // (IsFloat()) and mixed in float: nothing is clamped or counted.
    std::size_t ReadFloats(std::size_t frames, std::vector<float>& out);
    // True when the file's data is already what the mixer takes in Format():
    // little-endian PCM of 16, 24 or 32 bits, or unsigned 8-bit PCM, with
    // nothing to decode. ReadPacked then reads it as it is, without
    // converting, in large reads.
    bool IsPacked() const { return m_packed; }
    // Reads up to frames sample frames of such a file into out (resized to
    // what was read), as Read does. Use either Read or ReadPacked on one
    // file, not both.
    std::size_t ReadPacked(std::size_t frames, std::vector<char>& out);
    // Starts reading again from the first frame. Throws ToolError when the
    // file cannot seek.
    void Rewind();

    // Floating-point samples read so far that lie beyond full scale (+-1.0),
    // which the tool's integer mix clamps, and the largest magnitude among
    // them (0 when none).
    std::uint64_t OverFullScale() const { return m_overFullScale; }
    double PeakAbove() const { return m_peakAbove; }

    // Why the file gave fewer frames than its header announced (a header
    // longer than the data, a read error, an early end), or empty. Complete
    // once the whole file was read.
    std::string Problem() const;

  private:
    // Takes the file opened into m_file (throws when it is not) and what
    // libsndfile says of it.
    void Describe(SF_INFO& info);
    void OpenStandardInput(SF_INFO& info);
    void CheckHeaderLength(const SF_INFO& info);
    // Reopens an open-ended WAV file that holds more than its header can
    // state as headerless samples from its data chunk to its end.
    void ReadOpenEndedWavToTheEnd(SF_INFO& info);
    // Notes a read that gave got of wanted frames.
    void AfterRead(std::size_t got, std::size_t wanted);

    std::string m_path;
    FileDescriptor m_spool;  // standard input's copy (a pipe), or a spooled submix
    SndfileHandle m_file;
    int m_subtype = 0;              // libsndfile's encoding
    std::uint64_t m_trimStart = 0;  // the first frame used
    bool m_packed = false;
    PcmFormat m_format;
    bool m_float = false;
    std::uint64_t m_frames = 0;
    std::uint64_t m_announced = 0;  // frames the header announced, when more than m_frames
    std::uint64_t m_missingBytes = 0;
    unsigned m_bytesPerFrame = 0;  // in the file, 0 when not fixed
    std::uint64_t m_position = 0;
    std::string m_readError;
    std::uint64_t m_shortAt = UINT64_MAX;  // where reading ended before m_frames
    std::string m_container;
    std::vector<float> m_floatBuffer;
    std::uint64_t m_overFullScale = 0;
    double m_peakAbove = 0.0;
};

// A run's inputs, in the order given (the master first).
using InputList = std::vector<std::unique_ptr<InputFile>>;

// True for the encodings --raw takes.
bool IsRawEncoding(const std::string& name);

// Helpers shared with output_file.cpp.

// libsndfile's message without its closing full stop.
std::string Trimmed(std::string text);
// True when raw reads and writes of an open file give packed PCM as the
// mixer lays it out (see InputFile::IsPacked).
bool IsPackedPcm(SNDFILE* file, int format);
// Bytes one frame takes in a file of this encoding, 0 when not fixed.
unsigned FileBytesPerFrame(int format, unsigned channels);
// Writes all of data to fd; throws std::system_error.
void WriteAll(int fd, const void* data, std::size_t size);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_SOUND_FILE_H
