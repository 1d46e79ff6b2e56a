#include "tool_harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace carovel_test {

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/carovel-mix-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a scratch directory");
    }
    m_path = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::vector<std::string> ScratchDir::List() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_path)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

// Starts argv with the given redirections; the child's output goes to files
// in logs.
pid_t Spawn(std::vector<std::string> args, const ScratchDir& logs, const Redirect& redirect) {
    const std::string outPath =
        redirect.stdoutPath.empty() ? logs.Path("stdout") : redirect.stdoutPath;
    const std::string errPath = logs.Path("stderr");
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in =
            open(redirect.stdinPath.empty() ? "/dev/null" : redirect.stdinPath.c_str(), O_RDONLY);
        const int outFlags = O_WRONLY | O_CREAT | (redirect.appendStdout ? O_APPEND : O_TRUNC);
        const int out = open(outPath.c_str(), outFlags, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        setenv("CAROVEL_MIX", CAROVEL_MIX_PATH, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

RunResult Collect(pid_t pid, const ScratchDir& logs, const Redirect& redirect) {
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = redirect.stdoutPath.empty() ? ReadText(logs.Path("stdout")) : std::string();
    result.err = ReadText(logs.Path("stderr"));
    return result;
}

std::vector<std::string> MixArgs(const std::vector<std::string>& args) {
    std::vector<std::string> all{CAROVEL_MIX_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

}  // namespace

RunResult RunMix(const std::vector<std::string>& args, const Redirect& redirect) {
    ScratchDir logs;
    return Collect(Spawn(MixArgs(args), logs, redirect), logs, redirect);
}

RunResult RunShell(const std::string& command) {
    ScratchDir logs;
    return Collect(Spawn({"/bin/sh", "-c", command}, logs, {}), logs, {});
}

BackgroundMix::BackgroundMix(const std::vector<std::string>& args)
    : m_pid(Spawn(MixArgs(args), m_logs, {})) {}

BackgroundMix::~BackgroundMix() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void BackgroundMix::Signal(int signal) {
    kill(m_pid, signal);
}

RunResult BackgroundMix::Wait() {
    const RunResult result = Collect(m_pid, m_logs, {});
    m_pid = -1;
    return result;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteAudio(const std::string& path, int format, int rate, int channels,
                const std::vector<std::int32_t>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
    }
    sf_writef_int(file, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
    sf_close(file);
}

void WriteFloatAudio(const std::string& path, int rate, int channels,
                     const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + path);
    }
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
    sf_close(file);
}

Audio ReadAudio(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
    }
    Audio audio;
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    audio.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_int(file, audio.samples.data(), info.frames);
    audio.samples.resize(static_cast<std::size_t>(got * info.channels));
    sf_close(file);
    return audio;
}

std::vector<std::int32_t> Noise(std::size_t count, unsigned bits, std::uint32_t seed) {
    std::vector<std::int32_t> samples(count);
    std::uint32_t state = seed;
    const std::uint32_t mask = ~((std::uint32_t{1} << (32 - bits)) - 1);
    for (auto& s : samples) {
        state = state * 1664525u + 1013904223u;  // full 32-bit LCG
        s = static_cast<std::int32_t>((state ^ (state >> 16)) & mask);
    }
    return samples;
}

std::vector<std::int32_t> Sine(double hz, double amplitude, int rate, int channels,
                               std::size_t frames) {
    const double kPi = std::acos(-1.0);
    std::vector<std::int32_t> samples;
    samples.reserve(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2.0 * kPi * hz * static_cast<double>(i) / rate);
        const auto s24 = static_cast<std::int32_t>(std::lround(v * 8388607.0));
        for (int c = 0; c < channels; ++c) {
            samples.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(s24) << 8));
        }
    }
    return samples;
}

}  // namespace carovel_test
