// Helpers for driving carovel-mix from tests: a scratch directory, running
// the binary, and reading and writing audio files with libsndfile.
#ifndef CAROVEL_TESTS_TOOLS_TOOL_HARNESS_H
#define CAROVEL_TESTS_TOOLS_TOOL_HARNESS_H

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace carovel_test {

// A fresh directory under the system's temporary directory, removed with its
// contents on destruction.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    // Names of the entries, hidden ones included.
    std::vector<std::string> List() const;

  private:
    std::string m_path;
};

struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Where a run's standard input comes from and its standard output goes.
struct Redirect {
    std::string stdinPath;   // empty: /dev/null
    std::string stdoutPath;  // empty: captured in RunResult::out
    bool appendStdout = false;
};

// Runs carovel-mix with args and waits for it.
RunResult RunMix(const std::vector<std::string>& args, const Redirect& redirect = {});
// Runs a shell command line with $CAROVEL_MIX naming the binary, and waits.
RunResult RunShell(const std::string& command);

// A carovel-mix run in the background, its output captured.
class BackgroundMix {
  public:
    explicit BackgroundMix(const std::vector<std::string>& args);
    ~BackgroundMix();
    BackgroundMix(const BackgroundMix&) = delete;
    BackgroundMix& operator=(const BackgroundMix&) = delete;
    void Signal(int signal);
    int Pid() const { return m_pid; }
    // Waits for the run to end.
    RunResult Wait();

  private:
    ScratchDir m_logs;
    int m_pid = -1;
};

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;                     // libsndfile format code
    std::vector<std::int32_t> samples;  // interleaved, left-justified
    std::size_t Frames() const { return samples.size() / static_cast<std::size_t>(channels); }
};

// Writes left-justified samples; format is a libsndfile format code.
void WriteAudio(const std::string& path, int format, int rate, int channels,
                const std::vector<std::int32_t>& samples);
void WriteFloatAudio(const std::string& path, int rate, int channels,
                     const std::vector<float>& samples);
Audio ReadAudio(const std::string& path);

// Deterministic full-range noise, left-justified to `bits`.
std::vector<std::int32_t> Noise(std::size_t count, unsigned bits, std::uint32_t seed);
// A sine of `hz` at `amplitude` (of full scale) on every channel, as 24-bit.
std::vector<std::int32_t> Sine(double hz, double amplitude, int rate, int channels,
                               std::size_t frames);

std::string ReadText(const std::string& path);
// The bytes of a file, or an empty string when it cannot be read.
std::string ReadBytes(const std::string& path);

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_TOOLS_TOOL_HARNESS_H
