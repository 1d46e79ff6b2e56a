#include "sound_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "pcm/sample_pack.h"
#include "stop_signal.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

constexpr unsigned kMaxMixerValue = std::numeric_limits<unsigned short>::max();

// libsndfile's messages end in a full stop; ours are embedded in a sentence.
std::string Trimmed(std::string text) {
    while (!text.empty() &&
           (text.back() == '.' || std::isspace(static_cast<unsigned char>(text.back())))) {
        text.pop_back();
    }
    return text;
}

// Width in bits of an integer encoding, or 0 for floating-point, lossy and
// unknown encodings, which are read as floating point.
unsigned IntegerWidth(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_DPCM_8:
            return 8;
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_DWVW_12:
        case SF_FORMAT_DWVW_16:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
        case SF_FORMAT_IMA_ADPCM:
        case SF_FORMAT_MS_ADPCM:
        case SF_FORMAT_GSM610:
        case SF_FORMAT_VOX_ADPCM:
        case SF_FORMAT_G721_32:
        case SF_FORMAT_G723_24:
        case SF_FORMAT_G723_40:
        case SF_FORMAT_ALAC_16:
            return 16;
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_DWVW_24:
        case SF_FORMAT_ALAC_20:
        case SF_FORMAT_ALAC_24:
            return 24;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_ALAC_32:
            return 32;
        default:
            return 0;
    }
}

std::string ContainerName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) != 0 ||
        info.name == nullptr) {
        return "audio";
    }
    const std::string name = info.name;
    return name.substr(0, name.find(' '));
}

void CheckOpenable(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        throw ToolError(FileMessage(path, std::strerror(errno)));
    }
    if (S_ISDIR(st.st_mode)) {
        throw ToolError(FileMessage(path, "is a directory, not an audio file"));
    }
    if (access(path.c_str(), R_OK) != 0) {
        throw ToolError(FileMessage(path, std::strerror(errno)));
    }
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct OutputContainer {
    const char* type;       // as --type takes it
    const char* extension;  // in file names
    int major;
};

constexpr OutputContainer kOutputContainers[] = {
    {"wav", "wav", SF_FORMAT_WAV},   {"flac", "flac", SF_FORMAT_FLAC},
    {"ogg", "ogg", SF_FORMAT_OGG},   {"aiff", "aiff", SF_FORMAT_AIFF},
    {"aiff", "aif", SF_FORMAT_AIFF}, {"au", "au", SF_FORMAT_AU},
    {"au", "snd", SF_FORMAT_AU},     {"caf", "caf", SF_FORMAT_CAF},
    {"w64", "w64", SF_FORMAT_W64},   {"rf64", "rf64", SF_FORMAT_RF64},
    {"raw", "raw", SF_FORMAT_RAW},
};

const OutputContainer* FindType(const std::string& type) {
    const auto* found = std::find_if(std::begin(kOutputContainers), std::end(kOutputContainers),
                                     [&type](const OutputContainer& c) { return type == c.type; });
    return found == std::end(kOutputContainers) ? nullptr : found;
}

// The types libsndfile can write without seeking back to the header.
bool WritesToPipes(int major) {
    return major == SF_FORMAT_AU || major == SF_FORMAT_FLAC || major == SF_FORMAT_OGG ||
           major == SF_FORMAT_RAW;
}

// The libsndfile encoding for samples of format in encoding, in a container.
int SubtypeFor(int major, const PcmFormat& format, Encoding encoding) {
    if (major == SF_FORMAT_OGG) {
        return SF_FORMAT_VORBIS;
    }
    switch (encoding) {
        case Encoding::kFloat:
            return SF_FORMAT_FLOAT;
        case Encoding::kUlaw:
            return SF_FORMAT_ULAW;
        case Encoding::kAlaw:
            return SF_FORMAT_ALAW;
        case Encoding::kPcm:
            break;
    }
    const bool unsignedBytes = major == SF_FORMAT_WAV || major == SF_FORMAT_W64 ||
                               major == SF_FORMAT_RF64 || major == SF_FORMAT_RAW;
    switch (format.bitsPerSample) {
        case 8:
            return unsignedBytes ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8;
        case 16:
            return SF_FORMAT_PCM_16;
        case 24:
            return SF_FORMAT_PCM_24;
        default:
            return SF_FORMAT_PCM_32;
    }
}

std::string EncodingName(Encoding encoding) {
    switch (encoding) {
        case Encoding::kFloat:
            return "float";
        case Encoding::kUlaw:
            return "mu-law";
        case Encoding::kAlaw:
            return "A-law";
        case Encoding::kPcm:
            break;
    }
    return "PCM";
}

std::string TempPathFor(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + base + ".XXXXXX";
}

// True when raw reads and writes of an open file give packed PCM as the
// mixer lays it out: little-endian signed 16-, 24- or 32-bit samples, or
// unsigned 8-bit ones.
bool IsPackedPcm(SNDFILE* file, int format) {
    // Containers that store PCM uncompressed, sample after sample.
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_W64:
        case SF_FORMAT_RF64:
        case SF_FORMAT_AIFF:
        case SF_FORMAT_AU:
        case SF_FORMAT_CAF:
        case SF_FORMAT_RAW:
            break;
        default:
            return false;
    }
    const int subtype = format & SF_FORMAT_SUBMASK;
    if (subtype != SF_FORMAT_PCM_U8 && subtype != SF_FORMAT_PCM_16 && subtype != SF_FORMAT_PCM_24 &&
        subtype != SF_FORMAT_PCM_32) {
        return false;
    }
    return subtype == SF_FORMAT_PCM_U8 ||
           sf_command(file, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_FALSE;
}

mode_t CreationMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666) & ~mask;
}

// Bytes one frame takes in a file of this encoding, 0 when not fixed.
unsigned FileBytesPerFrame(int format, unsigned channels) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return channels;
        case SF_FORMAT_PCM_16:
            return 2 * channels;
        case SF_FORMAT_PCM_24:
            return 3 * channels;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
            return 4 * channels;
        case SF_FORMAT_DOUBLE:
            return 8 * channels;
        default:
            return 0;
    }
}

// Sizes written by programs that could not know the length (a pipe).
bool IsUnknownLengthMarker(unsigned long long size) {
    return size >= 0x7ffff000ull || size == 0;
}

// Bytes of audio data the header announced beyond those present, read from
// libsndfile's log ("data : 16000 (should be 10000)"), 0 when none.
std::uint64_t MissingBytes(SNDFILE* file) {
    std::string log(16384, '\0');
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    log.resize(std::strlen(log.c_str()));
    std::uint64_t missing = 0;
    std::size_t at = 0;
    while ((at = log.find("(should be ", at)) != std::string::npos) {
        const std::size_t lineStart = log.rfind('\n', at);
        const std::size_t colon = log.find(':', lineStart == std::string::npos ? 0 : lineStart);
        unsigned long long said = 0;
        unsigned long long real = 0;
        if (colon != std::string::npos && colon < at &&
            std::sscanf(log.c_str() + colon + 1, "%llu", &said) == 1 &&
            std::sscanf(log.c_str() + at + 11, "%llu", &real) == 1 && said > real &&
            !IsUnknownLengthMarker(said)) {
            missing = std::max<std::uint64_t>(missing, said - real);
        }
        at += 11;
    }
    return missing;
}

std::string SecondsText(std::uint64_t frames, unsigned rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s",
                  static_cast<double>(frames) / static_cast<double>(std::max(rate, 1u)));
    return text;
}

void WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::system_error(errno, std::generic_category());
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

void PutLe(std::vector<unsigned char>& out, std::uint32_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) {
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// A WAV header for a stream whose length is not known in advance: the RIFF
// and data sizes say 0xFFFFFFFF, which readers take as "until the end".
std::vector<unsigned char> StreamingWavHeader(const SF_INFO& info) {
    unsigned tag = 1;
    unsigned bits = 0;
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_U8:
            bits = 8;
            break;
        case SF_FORMAT_PCM_16:
            bits = 16;
            break;
        case SF_FORMAT_PCM_24:
            bits = 24;
            break;
        case SF_FORMAT_PCM_32:
            bits = 32;
            break;
        case SF_FORMAT_FLOAT:
            tag = 3;
            bits = 32;
            break;
        case SF_FORMAT_ALAW:
            tag = 6;
            bits = 8;
            break;
        default:  // SF_FORMAT_ULAW
            tag = 7;
            bits = 8;
            break;
    }
    const auto channels = static_cast<std::uint32_t>(info.channels);
    const auto rate = static_cast<std::uint32_t>(info.samplerate);
    const std::uint32_t align = channels * bits / 8;
    const bool extended = tag != 1;  // non-PCM formats carry a (zero) extension size
    std::vector<unsigned char> h;
    const auto tagText = [&h](const char* text) { h.insert(h.end(), text, text + 4); };
    tagText("RIFF");
    PutLe(h, 0xffffffffu, 4);
    tagText("WAVE");
    tagText("fmt ");
    PutLe(h, extended ? 18 : 16, 4);
    PutLe(h, tag, 2);
    PutLe(h, channels, 2);
    PutLe(h, rate, 4);
    PutLe(h, rate * align, 4);
    PutLe(h, align, 2);
    PutLe(h, bits, 2);
    if (extended) {
        PutLe(h, 0, 2);
    }
    tagText("data");
    PutLe(h, 0xffffffffu, 4);
    return h;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = other.Release();
    }
    return *this;
}

InputFile::InputFile(const std::string& path) : m_path(path) {
    SF_INFO info{};
    if (path == kStdioPath) {
        OpenStandardInput(info);
    } else {
        CheckOpenable(path);
        m_file.reset(sf_open(path.c_str(), SFM_READ, &info));
    }
    if (!m_file) {
        throw ToolError(FileMessage(DisplayName(), "unreadable or unsupported audio format (" +
                                                       Trimmed(sf_strerror(nullptr)) + ")"));
    }
    if (info.samplerate < 1 || static_cast<unsigned>(info.samplerate) > kMaxMixerValue) {
        throw ToolError(
            FileMessage(DisplayName(), "sample rate " + std::to_string(info.samplerate) +
                                           " Hz is outside the 1 to 65535 Hz the mixer takes"));
    }
    if (info.channels < 1 || static_cast<unsigned>(info.channels) > kMaxMixerValue) {
        throw ToolError(FileMessage(DisplayName(), std::to_string(info.channels) +
                                                       " channels are more than the mixer takes"));
    }
    const unsigned width = IntegerWidth(info.format & SF_FORMAT_SUBMASK);
    m_float = width == 0;
    m_format.channels = static_cast<unsigned>(info.channels);
    m_format.samplesPerSec = static_cast<unsigned>(info.samplerate);
    m_format.bitsPerSample = m_float ? 32 : width;
    m_frames = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
    m_container = ContainerName(info.format);
    m_packed = IsPackedPcm(m_file.get(), info.format);
    CheckHeaderLength(info);
}

void InputFile::OpenStandardInput(SF_INFO& info) {
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) != 0) {
        throw ToolError(FileMessage(DisplayName(), std::strerror(errno)));
    }
    if (S_ISREG(st.st_mode)) {
        m_file.reset(sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0));
        return;
    }
    if (isatty(STDIN_FILENO) == 1) {
        throw ToolError(FileMessage(DisplayName(), "is a terminal, not audio"));
    }
    // A pipe: copy it to an unnamed temporary file, which libsndfile can seek.
    const char* dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/carovel-mix-stdin.XXXXXX";
    FileDescriptor spool(mkstemp(pattern.data()));
    if (spool.Get() < 0) {
        throw ToolError(FileMessage(
            DisplayName(), std::string("cannot make a temporary copy: ") + std::strerror(errno)));
    }
    unlink(pattern.c_str());
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                ThrowIfStopped();
                continue;
            }
            throw ToolError(FileMessage(DisplayName(), std::strerror(errno)));
        }
        try {
            WriteAll(spool.Get(), buffer.data(), static_cast<std::size_t>(n));
        } catch (const std::system_error& e) {
            throw ToolError(FileMessage(
                DisplayName(), std::string("cannot make a temporary copy: ") + e.code().message()));
        }
    }
    lseek(spool.Get(), 0, SEEK_SET);
    m_spool = std::move(spool);
    m_file.reset(sf_open_fd(m_spool.Get(), SFM_READ, &info, 0));
}

void InputFile::CheckHeaderLength(const SF_INFO& info) {
    m_bytesPerFrame = FileBytesPerFrame(info.format, m_format.channels);
    m_missingBytes = MissingBytes(m_file.get());
    if (m_missingBytes > 0 && m_bytesPerFrame > 0) {
        m_announced = m_frames + m_missingBytes / m_bytesPerFrame;
    }
}

std::string InputFile::DisplayName() const {
    return m_path == kStdioPath ? "standard input" : m_path;
}

double InputFile::Seconds() const {
    return static_cast<double>(m_frames) / static_cast<double>(m_format.samplesPerSec);
}

std::size_t InputFile::Read(std::size_t frames, std::vector<std::int32_t>& out) {
    const std::size_t samples = frames * m_format.channels;
    out.resize(samples);
    sf_count_t got = 0;
    const auto wanted = static_cast<sf_count_t>(frames);
    if (m_float) {
        m_floatBuffer.resize(samples);
        got = sf_readf_float(m_file.get(), m_floatBuffer.data(), wanted);
        _Carovel::FloatTo32BitScale(
            m_floatBuffer.data(),
            static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * m_format.channels, out.data());
    } else {
        got = sf_readf_int(m_file.get(), out.data(), wanted);
    }
    const auto read = static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
    AfterRead(read, frames);
    out.resize(read * m_format.channels);
    return read;
}

std::size_t InputFile::ReadPacked(std::size_t frames, std::vector<char>& out) {
    const std::size_t frameBytes = m_format.BlockAlign();
    out.resize(frames * frameBytes);
    const sf_count_t got =
        sf_read_raw(m_file.get(), out.data(), static_cast<sf_count_t>(out.size()));
    const std::size_t read = static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) / frameBytes;
    AfterRead(read, frames);
    out.resize(read * frameBytes);
    return read;
}

void InputFile::AfterRead(std::size_t got, std::size_t wanted) {
    m_position += got;
    if (got < wanted) {
        if (sf_error(m_file.get()) != SF_ERR_NO_ERROR && m_readError.empty()) {
            m_readError = Trimmed(sf_strerror(m_file.get()));
        }
        if (m_position < m_frames) {
            m_shortAt = std::min(m_shortAt, m_position);
            m_frames = m_position;  // the file ends here
        }
    }
}

void InputFile::Rewind() {
    if (sf_seek(m_file.get(), 0, SEEK_SET) != 0) {
        throw ToolError(FileMessage(DisplayName(), "cannot read it a second time (" +
                                                       Trimmed(sf_strerror(m_file.get())) + ")"));
    }
    m_position = 0;
}

std::string InputFile::Problem() const {
    const std::string rate = std::to_string(m_format.samplesPerSec);
    if (!m_readError.empty()) {
        return "read failed after " + std::to_string(m_frames) + " frames (" +
               SecondsText(m_frames, m_format.samplesPerSec) + "): " + m_readError +
               "; the rest is left out";
    }
    if (m_shortAt != UINT64_MAX) {
        return "truncated: it ended after " + std::to_string(m_shortAt) + " frames (" +
               SecondsText(m_shortAt, m_format.samplesPerSec) +
               ") although its header announced more";
    }
    if (m_announced > m_frames) {
        return "truncated: its header announces " + std::to_string(m_announced) + " frames (" +
               SecondsText(m_announced, m_format.samplesPerSec) + "), only " +
               std::to_string(m_frames) + " (" + SecondsText(m_frames, m_format.samplesPerSec) +
               ") are there";
    }
    if (m_missingBytes > 0) {
        return "truncated: its header announces " + std::to_string(m_missingBytes) +
               " bytes more audio than the file holds";
    }
    return {};
}

std::string OutputTypes() {
    std::string list;
    for (const auto& c : kOutputContainers) {
        if (list.find(c.type) == std::string::npos) {
            list += list.empty() ? "" : ", ";
            list += c.type;
        }
    }
    return list;
}

bool IsOutputType(const std::string& type) {
    return FindType(Lowercase(type)) != nullptr;
}

std::string OutputTypeOfName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    const std::string ext = Lowercase(path.substr(dot + 1));
    for (const auto& c : kOutputContainers) {
        if (ext == c.extension) {
            return c.type;
        }
    }
    return {};
}

std::string OutputExtensions() {
    std::string list;
    for (const auto& c : kOutputContainers) {
        list += list.empty() ? "." : ", .";
        list += c.extension;
    }
    return list;
}

OutputFile::OutputFile(const std::string& path, const std::string& type, const PcmFormat& format,
                       Encoding encoding)
    : m_path(path),
      m_target(path),
      m_channels(format.channels),
      m_bytesPerSample(format.BytesPerSample()) {
    const std::string typeName = !type.empty()        ? Lowercase(type)
                                 : path == kStdioPath ? "wav"
                                                      : OutputTypeOfName(path);
    const OutputContainer* container = FindType(typeName);
    if (container == nullptr) {
        throw ToolError(FileMessage(DisplayName(),
                                    "cannot tell the output type from the name; use "
                                    "--type or one of " +
                                        OutputExtensions()));
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(format.samplesPerSec);
    info.channels = static_cast<int>(format.channels);
    info.format = container->major | SubtypeFor(container->major, format, encoding);
    if (container->major == SF_FORMAT_RAW) {
        info.format |= SF_ENDIAN_LITTLE;
    }
    m_float = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT;
    if (sf_format_check(&info) == 0) {
        std::string what = "this file type cannot hold " + Describe(format);
        if (container->major == SF_FORMAT_OGG && encoding != Encoding::kPcm) {
            what = "an Ogg file holds Vorbis; --encoding " + EncodingName(encoding) +
                   " does not apply";
        } else if (encoding != Encoding::kPcm) {
            what = "this file type cannot hold " + EncodingName(encoding) + " samples";
        }
        throw ToolError(FileMessage(DisplayName(), what));
    }

    if (path == kStdioPath) {
        OpenStream(STDOUT_FILENO, container->major, info);
        return;
    }
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // A pipe or a device: written in place, never replaced.
        m_fd = FileDescriptor(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (m_fd.Get() < 0) {
            throw ToolError(
                FileMessage(path, std::string("cannot write: ") + std::strerror(errno)));
        }
        OpenStream(m_fd.Get(), container->major, info);
        return;
    }
    struct stat link {};
    if (exists && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // Replace the file the link points to, keeping the link.
        char* real = realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            m_target = real;
            std::free(real);
        }
    }
    std::string temp = TempPathFor(m_target);
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        throw ToolError(FileMessage(path, std::string("cannot create: ") + std::strerror(errno)));
    }
    close(fd);
    m_tempPath = temp;
    chmod(m_tempPath.c_str(),
          exists && S_ISREG(st.st_mode) ? (st.st_mode & 07777) : CreationMode());
    m_file.reset(sf_open(m_tempPath.c_str(), SFM_WRITE, &info));
    if (!m_file) {
        const std::string why = Trimmed(sf_strerror(nullptr));
        unlink(m_tempPath.c_str());
        throw ToolError(FileMessage(path, "cannot write (" + why + ")"));
    }
    m_packed = IsPackedPcm(m_file.get(), info.format);
}

void OutputFile::OpenStream(int fd, int major, const SF_INFO& info) {
    m_stream = true;
    struct stat st {};
    const bool seekable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    SF_INFO streamInfo = info;
    if (!seekable && !WritesToPipes(major)) {
        if (major != SF_FORMAT_WAV) {
            throw ToolError(FileMessage(DisplayName(),
                                        "this file type cannot be written to a "
                                        "pipe; use wav, au, flac, ogg or raw"));
        }
        // libsndfile cannot write WAV without seeking back to the header:
        // write a header for an open-ended stream, then the raw samples.
        try {
            const std::vector<unsigned char> header = StreamingWavHeader(info);
            WriteAll(fd, header.data(), header.size());
        } catch (const std::system_error& e) {
            throw ToolError(
                FileMessage(DisplayName(), "write failed (" + e.code().message() + ")"));
        }
        streamInfo.format = SF_FORMAT_RAW | SF_ENDIAN_LITTLE | (info.format & SF_FORMAT_SUBMASK);
    }
    m_file.reset(sf_open_fd(fd, SFM_WRITE, &streamInfo, 0));
    if (!m_file) {
        throw ToolError(
            FileMessage(DisplayName(), "cannot write (" + Trimmed(sf_strerror(nullptr)) + ")"));
    }
    m_packed = IsPackedPcm(m_file.get(), streamInfo.format);
}

OutputFile::~OutputFile() {
    if (!m_committed) {
        m_file.reset();
        if (!m_tempPath.empty()) {
            unlink(m_tempPath.c_str());
        }
    }
}

std::string OutputFile::DisplayName() const {
    return m_path == kStdioPath ? "standard output" : m_path;
}

void OutputFile::Write(const std::int32_t* samples, std::size_t count) {
    const auto frames = static_cast<sf_count_t>(count / m_channels);
    if (frames == 0) {
        return;
    }
    errno = 0;
    sf_count_t written = 0;
    if (m_float) {
        // libsndfile stores integers written to a float file unscaled.
        m_floatBuffer.resize(count);
        _Carovel::FloatFrom32BitScale(samples, count, m_floatBuffer.data());
        written = sf_writef_float(m_file.get(), m_floatBuffer.data(), frames);
    } else {
        written = sf_writef_int(m_file.get(), samples, frames);
    }
    if (written != frames) {
        ThrowWriteError(errno);
    }
}

void OutputFile::ThrowWriteError(int error) {
    const std::string why =
        error != 0 ? std::string(std::strerror(error)) : Trimmed(sf_strerror(m_file.get()));
    throw ToolError(FileMessage(DisplayName(), "write failed (" + why + ")"));
}

void OutputFile::WritePacked(const char* data, std::size_t count) {
    const auto bytes = static_cast<sf_count_t>(count / m_channels * m_channels * m_bytesPerSample);
    if (bytes == 0) {
        return;
    }
    errno = 0;
    if (sf_write_raw(m_file.get(), data, bytes) != bytes) {
        ThrowWriteError(errno);
    }
}

void OutputFile::Finish() {
    if (m_file && sf_close(m_file.release()) != 0) {
        throw ToolError(FileMessage(DisplayName(), "write failed while finishing the file"));
    }
}

void OutputFile::Commit() {
    Finish();
    if (!m_stream && std::rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
        throw ToolError(FileMessage(
            m_path,
            std::string("cannot rename the finished file into place: ") + std::strerror(errno)));
    }
    m_committed = true;
}

}  // namespace carovel_mix
