#include "sound_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
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

struct RawEncoding {
    const char* name;
    int subtype;
};

constexpr RawEncoding kRawEncodings[] = {
    {"u8", SF_FORMAT_PCM_U8},  {"s8", SF_FORMAT_PCM_S8},  {"s16", SF_FORMAT_PCM_16},
    {"s24", SF_FORMAT_PCM_24}, {"s32", SF_FORMAT_PCM_32}, {"f32", SF_FORMAT_FLOAT},
    {"f64", SF_FORMAT_DOUBLE}, {"ulaw", SF_FORMAT_ULAW},  {"alaw", SF_FORMAT_ALAW},
};

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

}  // namespace

// libsndfile's messages end in a full stop; ours are embedded in a sentence.
std::string Trimmed(std::string text) {
    while (!text.empty() &&
           (text.back() == '.' || std::isspace(static_cast<unsigned char>(text.back())))) {
        text.pop_back();
    }
    return text;
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

InputFile::InputFile(const std::string& path, const RawLayout* raw) : m_path(path) {
    SF_INFO info{};
    if (raw != nullptr) {
        const auto* encoding =
            std::find_if(std::begin(kRawEncodings), std::end(kRawEncodings),
                         [raw](const RawEncoding& e) { return raw->encoding == e.name; });
        info.samplerate = static_cast<int>(raw->rate);
        info.channels = static_cast<int>(raw->channels);
        info.format = SF_FORMAT_RAW | SF_ENDIAN_LITTLE |
                      (encoding == std::end(kRawEncodings) ? 0 : encoding->subtype);
    }
    if (path == kStdioPath) {
        OpenStandardInput(info);
    } else {
        CheckOpenable(path);
        m_file.reset(sf_open(path.c_str(), SFM_READ, &info));
    }
    Describe(info);
}

InputFile::InputFile(FileDescriptor spool, unsigned rate, unsigned channels, std::string name)
    : m_path(std::move(name)), m_spool(std::move(spool)) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(channels);
    info.format = SF_FORMAT_RAW | SF_ENDIAN_CPU | SF_FORMAT_PCM_32;
    if (m_spool.Get() >= 0) {
        m_file.reset(sf_open_fd(m_spool.Get(), SFM_READ, &info, 0));
    }
    Describe(info);
}

void InputFile::Describe(SF_INFO& info) {
    if (!m_file) {
        // A stop signal interrupts the wait for a named pipe's writer.
        ThrowIfStopped();
        throw ToolError(FileMessage(DisplayName(), "unreadable or unsupported audio format (" +
                                                       Trimmed(sf_strerror(nullptr)) + ")"));
    }
    m_container = ContainerName(info.format);
    ReadOpenEndedWavToTheEnd(info);
    if (info.samplerate < 1 ||
        static_cast<unsigned>(info.samplerate) > _Carovel::kMaxSamplesPerSec) {
        throw ToolError(
            FileMessage(DisplayName(), "sample rate " + std::to_string(info.samplerate) +
                                           " Hz is outside the 1 to 768000 Hz the mixer takes"));
    }
    if (info.channels < 1 || static_cast<unsigned>(info.channels) > kMaxMixerValue) {
        throw ToolError(FileMessage(DisplayName(), std::to_string(info.channels) +
                                                       " channels are more than the mixer takes"));
    }
    const unsigned width = IntegerWidth(info.format & SF_FORMAT_SUBMASK);
    m_subtype = info.format & SF_FORMAT_SUBMASK;
    m_float = width == 0;
    m_format.channels = static_cast<unsigned>(info.channels);
    m_format.samplesPerSec = static_cast<unsigned>(info.samplerate);
    m_format.bitsPerSample = m_float ? 32 : width;
    m_frames = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
    m_packed = IsPackedPcm(m_file.get(), info.format);
    if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RAW) {
        CheckHeaderLength(info);
    }
}

void InputFile::ReadOpenEndedWavToTheEnd(SF_INFO& info) {
    const int major = info.format & SF_FORMAT_TYPEMASK;
    if ((major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX) ||
        FileBytesPerFrame(info.format, static_cast<unsigned>(std::max(info.channels, 1))) == 0) {
        return;
    }
    FileDescriptor own;
    int fd = m_spool.Get();
    if (fd < 0 && m_path == kStdioPath) {
        fd = STDIN_FILENO;
    } else if (fd < 0) {
        own = FileDescriptor(open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
        fd = own.Get();
    }
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    // Walk the chunks to the data chunk: where it starts and what size it says.
    unsigned char head[12];
    if (pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
        return;
    }
    const auto le32 = [](const unsigned char* p) {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    };
    std::uint64_t at = 12;
    for (int chunks = 0; chunks < 64; ++chunks) {
        unsigned char chunk[8];
        if (pread(fd, chunk, sizeof chunk, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(sizeof chunk)) {
            return;
        }
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            const std::uint64_t offset = at + 8;
            const auto fileSize = static_cast<std::uint64_t>(st.st_size);
            // Only a size that stands for "unknown" and data beyond it.
            if (size != 0xffffffffu || fileSize <= offset + size) {
                return;
            }
            SF_INFO raw{};
            raw.samplerate = info.samplerate;
            raw.channels = info.channels;
            raw.format = SF_FORMAT_RAW | SF_ENDIAN_LITTLE | (info.format & SF_FORMAT_SUBMASK);
            SndfileHandle reopened(sf_open_fd(fd, SFM_READ, &raw, 0));
            auto start = static_cast<sf_count_t>(offset);
            // Reading starts at the data, not at the header.
            if (!reopened ||
                sf_command(reopened.get(), SFC_SET_RAW_START_OFFSET, &start, sizeof start) != 0 ||
                sf_seek(reopened.get(), 0, SEEK_SET) != 0) {
                return;
            }
            const unsigned frameBytes =
                FileBytesPerFrame(raw.format, static_cast<unsigned>(raw.channels));
            raw.frames = static_cast<sf_count_t>((fileSize - offset) / frameBytes);
            m_file = std::move(reopened);
            if (own.Get() >= 0) {
                m_spool = std::move(own);  // kept open for the reopened file
            }
            info = raw;
            return;
        }
        at += 8 + size + (size & 1);
    }
}

void InputFile::Trim(std::uint64_t start, std::uint64_t end) {
    end = std::min(end, m_frames);
    if (start >= end) {
        throw ToolError(FileMessage(
            DisplayName(), "--trim starts at " + SecondsText(start, m_format.samplesPerSec) +
                               ", but the part it keeps is empty (the file lasts " +
                               SecondsText(m_frames, m_format.samplesPerSec) + ")"));
    }
    if (start > 0 && sf_seek(m_file.get(), static_cast<sf_count_t>(start), SEEK_SET) < 0) {
        throw ToolError(FileMessage(DisplayName(), "cannot seek to where --trim starts (" +
                                                       Trimmed(sf_strerror(m_file.get())) + ")"));
    }
    m_trimStart = start;
    m_frames = end - start;
    m_announced = m_announced > start ? std::min(m_announced, end) - start : 0;
}

std::string InputFile::EncodingLabel() const {
    switch (m_subtype) {
        case SF_FORMAT_ULAW:
            return "u-law";
        case SF_FORMAT_ALAW:
            return "A-law";
        case SF_FORMAT_FLOAT:
            return "float";
        case SF_FORMAT_DOUBLE:
            return "double";
        case SF_FORMAT_IMA_ADPCM:
            return "IMA ADPCM";
        case SF_FORMAT_MS_ADPCM:
            return "MS ADPCM";
        case SF_FORMAT_GSM610:
            return "GSM 6.10";
        case SF_FORMAT_VORBIS:
            return "Vorbis";
        case SF_FORMAT_OPUS:
            return "Opus";
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            return "MP3";
        default:
            return std::to_string(m_float ? 32 : m_format.bitsPerSample) + "-bit";
    }
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
        const std::size_t n =
            static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * m_format.channels;
        for (std::size_t i = 0; i < n; ++i) {
            const float v = std::fabs(m_floatBuffer[i]);
            if (v > 1.0f) {
                ++m_overFullScale;
                m_peakAbove = std::max(m_peakAbove, static_cast<double>(v));
            }
        }
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

std::size_t InputFile::ReadFloats(std::size_t frames, std::vector<float>& out) {
    out.resize(frames * m_format.channels);
    const sf_count_t got =
        sf_readf_float(m_file.get(), out.data(), static_cast<sf_count_t>(frames));
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
    if (sf_seek(m_file.get(), static_cast<sf_count_t>(m_trimStart), SEEK_SET) !=
        static_cast<sf_count_t>(m_trimStart)) {
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

bool IsRawEncoding(const std::string& name) {
    return std::any_of(std::begin(kRawEncodings), std::end(kRawEncodings),
                       [&name](const RawEncoding& e) { return name == e.name; });
}

}  // namespace carovel_mix
