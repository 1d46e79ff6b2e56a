// Writing the outputs of carovel-mix: the containers and encodings, WAV
// past 4 GiB as RF64, MP3 and Opus with their quality or bit rate, streams
// on pipes, and files put in place only when complete.
#ifndef CAROVEL_MIX_OUTPUT_FILE_H
#define CAROVEL_MIX_OUTPUT_FILE_H

#include <sndfile.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "pcm.h"
#include "sound_file.h"

namespace carovel_mix {

// The output types accepted by --type, for messages and --help.
std::string OutputTypes();
bool IsOutputType(const std::string& type);
// The output type a file name's extension stands for, or empty.
std::string OutputTypeOfName(const std::string& path);
// The extensions recognised in output names, for messages and --help.
std::string OutputExtensions();

// How an output is written, beyond its PCM format.
struct OutputSettings {
    Encoding encoding = Encoding::kPcm;
    // Lossy outputs (MP3, Opus, Ogg Vorbis): 0 (smallest) to 10 (best), or a
    // constant bit rate in kbit/s when bitrate is not 0.
    // Without either, MP3 and Opus are written at quality 7 and Ogg Vorbis
    // at libsndfile's default.
    std::optional<double> quality;
    unsigned bitrate = 0;
    // Frames the output is expected to get, UINT64_MAX when not known. A WAV
    // file whose audio would pass the RF64 threshold is written as RF64.
    std::uint64_t expectedFrames = UINT64_MAX;
    // Nothing is written (-n): the file is neither created nor checked.
    bool null = false;
};

// Audio data bytes above which a WAV output is written as RF64: a little
// under 4 GiB, where the 32-bit sizes of WAV end; the environment variable
// CAROVEL_MIX_RF64_THRESHOLD (bytes) sets a lower one for tests.
std::uint64_t Rf64Threshold();

// Writes a file in a given PCM format and encoding. A path names a file:
// the data goes to a hidden temporary file in the same directory (through a
// symbolic link, the directory of the file it points to), renamed over the
// target by Commit(); when the writer is destroyed without Commit() the
// temporary file is removed. "-" writes standard output, and an existing
// path that is not a regular file (a pipe, a device) is written directly.
class OutputFile {
  public:
    // type: an output type (see OutputTypes()), empty for the one the name
    // tells; "-" without a type is WAV. format.bitsPerSample is the width of PCM and
    // the precision the samples are given in. Throws ToolError when the
    // type cannot hold the format or encoding, or the file cannot be created.
    OutputFile(const std::string& path, const std::string& type, const PcmFormat& format,
               const OutputSettings& settings);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& Path() const { return m_path; }
    // The name for messages: the path, or "standard output".
    std::string DisplayName() const;
    // Writes interleaved left-justified samples, a whole number of frames.
    void Write(const std::int32_t* samples, std::size_t count);
    // Writes count float samples (full scale 1.0) to a float file, as they
    // are; use it on a float file only.
    void WriteFloats(const float* samples, std::size_t count);
    // True when the file stores the format's packed PCM as it is (see
    // InputFile::IsPacked); WritePacked then writes bytes unconverted.
    bool IsPacked() const { return m_packed; }
    // Writes count samples of packed PCM in the file's format. Use either
    // Write or WritePacked on one file, not both.
    void WritePacked(const char* data, std::size_t count);
    // Finishes the file (or the stream). Throws ToolError on failure.
    void Finish();
    // True when the file is written as RF64 because its audio passes 4 GiB.
    bool IsRf64() const { return m_rf64; }
    // True for -n: nothing is written.
    bool IsNull() const { return m_null; }
    // Finishes the file when not done yet and renames it to the target.
    // Throws ToolError on failure (the temporary file is then removed).
    void Commit();

  private:
    void OpenStream(int fd, int formatCode, const SF_INFO& info);
    void ApplyLossySettings(int format, const OutputSettings& settings);
    // Counts bytes of audio about to be written; throws ToolError before a
    // container with 32-bit sizes would overflow them.
    void CountData(std::uint64_t frames);
    [[noreturn]] void ThrowWriteError(int error);

    std::string m_path;
    std::string m_target;  // where Commit puts the file: the path, or what its link points to
    std::string m_tempPath;
    unsigned m_channels;
    unsigned m_rate;
    unsigned m_bytesPerSample;
    bool m_packed = false;
    bool m_float = false;  // written as floating point, converted here
    std::vector<float> m_floatBuffer;
    bool m_stream = false;
    bool m_null = false;
    bool m_rf64 = false;
    std::uint64_t m_dataBytes = 0;
    std::uint64_t m_dataLimit = UINT64_MAX;  // for containers with 32-bit sizes
    unsigned m_fileBytesPerFrame = 0;
    FileDescriptor m_fd;  // a stream opened by path
    SndfileHandle m_file;
    bool m_committed = false;
    SF_INFO m_info{};
};

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_OUTPUT_FILE_H
