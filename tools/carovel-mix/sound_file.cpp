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
    int subtype;  // the one encoding it holds, 0 when --encoding chooses
};

constexpr OutputContainer kOutputContainers[] = {
    {"wav", "wav", SF_FORMAT_WAV, 0},
    {"flac", "flac", SF_FORMAT_FLAC, 0},
    {"mp3", "mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III},
    {"opus", "opus", SF_FORMAT_OGG, SF_FORMAT_OPUS},
    {"ogg", "ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    {"aiff", "aiff", SF_FORMAT_AIFF, 0},
    {"aiff", "aif", SF_FORMAT_AIFF, 0},
    {"au", "au", SF_FORMAT_AU, 0},
    {"au", "snd", SF_FORMAT_AU, 0},
    {"caf", "caf", SF_FORMAT_CAF, 0},
    {"w64", "w64", SF_FORMAT_W64, 0},
    {"rf64", "rf64", SF_FORMAT_RF64, 0},
    {"raw", "raw", SF_FORMAT_RAW, 0},
};

struct RawEncoding {
    const char* name;
    int subtype;
};

constexpr RawEncoding kRawEncodings[] = {
    {"u8", SF_FORMAT_PCM_U8},  {"s8", SF_FORMAT_PCM_S8},  {"s16", SF_FORMAT_PCM_16},
    {"s24", SF_FORMAT_PCM_24}, {"s32", SF_FORMAT_PCM_32}, {"f32", SF_FORMAT_FLOAT},
    {"f64", SF_FORMAT_DOUBLE}, {"ulaw", SF_FORMAT_ULAW},  {"alaw", SF_FORMAT_ALAW},
};

// --quality of MP3 and Opus outputs when neither it nor --bitrate is given.
constexpr double kDefaultQuality = 7.0;

// Opus streams run at these rates only.
bool IsOpusRate(unsigned rate) {
    return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

const OutputContainer* FindType(const std::string& type) {
    const auto* found = std::find_if(std::begin(kOutputContainers), std::end(kOutputContainers),
                                     [&type](const OutputContainer& c) { return type == c.type; });
    return found == std::end(kOutputContainers) ? nullptr : found;
}

// The types libsndfile can write without seeking back to the header.
bool WritesToPipes(int major) {
    return major == SF_FORMAT_AU || major == SF_FORMAT_FLAC || major == SF_FORMAT_OGG ||
           major == SF_FORMAT_RAW || major == SF_FORMAT_MPEG;
}

// The libsndfile encoding for samples of format in encoding, in a container.
int SubtypeFor(const OutputContainer& container, const PcmFormat& format, Encoding encoding) {
    const int major = container.major;
    if (container.subtype != 0) {
        return container.subtype;
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

constexpr std::uint32_t kAuHeaderBytes = 28;

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

void PutBe(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(value >> shift));
    }
}

// The AU encoding code of a libsndfile encoding, 0 when AU has none.
std::uint32_t AuEncoding(int subtype) {
    switch (subtype) {
        case SF_FORMAT_ULAW:
            return 1;
        case SF_FORMAT_PCM_S8:
            return 2;
        case SF_FORMAT_PCM_16:
            return 3;
        case SF_FORMAT_PCM_24:
            return 4;
        case SF_FORMAT_PCM_32:
            return 5;
        case SF_FORMAT_FLOAT:
            return 6;
        case SF_FORMAT_ALAW:
            return 27;
        default:
            return 0;
    }
}

// An AU header of 28 bytes: the 24 of the format and the four-byte
// annotation that readers expect at least. dataBytes 0xFFFFFFFF: unknown.
std::vector<unsigned char> AuHeader(const SF_INFO& info, std::uint32_t dataBytes) {
    std::vector<unsigned char> h{'.', 's', 'n', 'd'};
    PutBe(h, kAuHeaderBytes);
    PutBe(h, dataBytes);
    PutBe(h, AuEncoding(info.format & SF_FORMAT_SUBMASK));
    PutBe(h, static_cast<std::uint32_t>(info.samplerate));
    PutBe(h, static_cast<std::uint32_t>(info.channels));
    PutBe(h, 0);
    return h;
}

// libsndfile writes AU files with a 24-byte header, which some readers
// find too small: moves the data up by four bytes, behind a 28-byte header.
void WidenAuHeader(int fd) {
    unsigned char old[24];
    if (pread(fd, old, sizeof old, 0) != static_cast<ssize_t>(sizeof old) ||
        std::memcmp(old, ".snd", 4) != 0 || old[7] != 24) {
        return;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < 24) {
        throw std::system_error(errno, std::generic_category());
    }
    const auto dataBytes = static_cast<std::uint64_t>(st.st_size) - 24;
    std::vector<char> buffer(1 << 20);
    // From the end backwards, so that nothing is overwritten before it moved.
    for (std::uint64_t left = dataBytes; left > 0;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        left -= n;
        const auto from = static_cast<off_t>(24 + left);
        if (pread(fd, buffer.data(), n, from) != static_cast<ssize_t>(n) ||
            pwrite(fd, buffer.data(), n, from + 4) != static_cast<ssize_t>(n)) {
            throw std::system_error(errno != 0 ? errno : EIO, std::generic_category());
        }
    }
    std::vector<unsigned char> header(old, old + 24);
    header[7] = static_cast<unsigned char>(kAuHeaderBytes);
    header.insert(header.end(), {0, 0, 0, 0});
    if (pwrite(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category());
    }
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
    if (!m_file) {
        // A stop signal interrupts the wait for a named pipe's writer.
        ThrowIfStopped();
        throw ToolError(FileMessage(DisplayName(), "unreadable or unsupported audio format (" +
                                                       Trimmed(sf_strerror(nullptr)) + ")"));
    }
    m_container = ContainerName(info.format);
    ReadOpenEndedWavToTheEnd(info);
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

std::uint64_t Rf64Threshold() {
    // Room for the header and a few chunks besides the data.
    std::uint64_t threshold = 0xffffffffull - 4096;
    const char* text = std::getenv("CAROVEL_MIX_RF64_THRESHOLD");
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text, &end, 10);
        if (*end == '\0' && value > 0) {
            threshold = std::min<std::uint64_t>(threshold, value);
        }
    }
    return threshold;
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
                       const OutputSettings& settings)
    : m_path(path),
      m_target(path),
      m_channels(format.channels),
      m_rate(format.samplesPerSec),
      m_bytesPerSample(format.BytesPerSample()) {
    const Encoding encoding = settings.encoding;
    if (settings.null) {
        m_null = true;
        return;
    }
    struct stat existing {};
    const bool special =
        path != kStdioPath && stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode);
    std::string typeName = !type.empty() ? Lowercase(type) : OutputTypeOfName(path);
    if (typeName.empty() && (path == kStdioPath || special)) {
        typeName = "wav";  // standard output, a device or a pipe
    }
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
    int major = container->major;
    info.format = major | SubtypeFor(*container, format, encoding);
    if (major == SF_FORMAT_RAW) {
        info.format |= SF_ENDIAN_LITTLE;
    }
    m_float = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT;
    m_fileBytesPerFrame = FileBytesPerFrame(info.format, format.channels);
    if (container->subtype == SF_FORMAT_OPUS && !IsOpusRate(format.samplesPerSec)) {
        throw ToolError(FileMessage(DisplayName(),
                                    "Opus runs at 8000, 12000, 16000, 24000 or 48000 Hz, not " +
                                        std::to_string(format.samplesPerSec) + " Hz; use --rate"));
    }
    // A WAV file whose audio would not fit its 32-bit sizes becomes RF64,
    // which has 64-bit ones; WAV readers that know RF64 read it as WAV.
    const std::uint64_t threshold = Rf64Threshold();
    if (major == SF_FORMAT_WAV && settings.expectedFrames != UINT64_MAX &&
        m_fileBytesPerFrame != 0 && settings.expectedFrames > threshold / m_fileBytesPerFrame) {
        major = SF_FORMAT_RF64;
        info.format = (info.format & ~SF_FORMAT_TYPEMASK) | SF_FORMAT_RF64;
        m_rf64 = true;
    }
    if (major == SF_FORMAT_WAV || major == SF_FORMAT_AIFF || major == SF_FORMAT_AU) {
        m_dataLimit = threshold;
    }
    if (sf_format_check(&info) == 0) {
        std::string what = "this file type cannot hold " + Describe(format);
        if (container->subtype != 0 && encoding != Encoding::kPcm) {
            what = "an " + std::string(container->type) + " output is lossy; --encoding " +
                   EncodingName(encoding) + " does not apply";
        } else if (encoding != Encoding::kPcm) {
            what = "this file type cannot hold " + EncodingName(encoding) + " samples";
        }
        throw ToolError(FileMessage(DisplayName(), what));
    }

    if (path == kStdioPath) {
        OpenStream(STDOUT_FILENO, major, info);
        ApplyLossySettings(info.format, settings);
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
        OpenStream(m_fd.Get(), major, info);
        ApplyLossySettings(info.format, settings);
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
    ApplyLossySettings(info.format, settings);
}

void OutputFile::ApplyLossySettings(int format, const OutputSettings& settings) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    if (subtype != SF_FORMAT_MPEG_LAYER_III && subtype != SF_FORMAT_OPUS &&
        subtype != SF_FORMAT_VORBIS) {
        return;
    }
    if (subtype == SF_FORMAT_VORBIS && !settings.quality) {
        return;
    }
    bool ok = true;
    // libsndfile's compression level: 0 best .. 1 smallest.
    double level = 1.0 - std::clamp(settings.quality.value_or(kDefaultQuality), 0.0, 10.0) / 10.0;
    if (settings.bitrate != 0 && subtype != SF_FORMAT_VORBIS) {
        int mode = SF_BITRATE_MODE_CONSTANT;
        sf_command(m_file.get(), SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        ok = sf_error(m_file.get()) == SF_ERR_NO_ERROR;
        const double kbps = settings.bitrate;
        if (subtype == SF_FORMAT_OPUS) {
            // The level spans 256 down to 6 kbit/s per channel.
            level = (256.0 - kbps / m_channels) / (256.0 - 6.0);
        } else {
            // The level spans the bit rates of the MPEG version the rate uses.
            const unsigned rate = m_rate;
            const double top = rate >= 32000 ? 320.0 : rate >= 16000 ? 160.0 : 64.0;
            const double bottom = rate >= 32000 ? 32.0 : 8.0;
            level = (top - kbps) / (top - bottom);
        }
        level = std::clamp(level, 0.0, 1.0);
    } else if (subtype != SF_FORMAT_VORBIS) {
        int mode = SF_BITRATE_MODE_VARIABLE;
        sf_command(m_file.get(), SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        ok = sf_error(m_file.get()) == SF_ERR_NO_ERROR;
    }
    ok = ok && sf_command(m_file.get(), SFC_SET_COMPRESSION_LEVEL, &level, sizeof level) == SF_TRUE;
    if (!ok) {
        throw ToolError(FileMessage(DisplayName(), "the encoder refused --quality or --bitrate (" +
                                                       Trimmed(sf_strerror(m_file.get())) + ")"));
    }
}

void OutputFile::CountData(std::uint64_t frames) {
    m_dataBytes += frames * m_fileBytesPerFrame;
    if (m_dataBytes > m_dataLimit && !m_stream) {
        throw ToolError(
            FileMessage(DisplayName(),
                        "its audio passes the 4 GiB its file type can hold; write .rf64, "
                        ".w64, .caf or .flac instead"));
    }
}

void OutputFile::OpenStream(int fd, int major, const SF_INFO& info) {
    m_stream = true;
    struct stat st {};
    const bool seekable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    SF_INFO streamInfo = info;
    if (!seekable && (!WritesToPipes(major) || major == SF_FORMAT_AU)) {
        // An open-ended WAV stream has no sizes to overflow.
        const bool wav = major == SF_FORMAT_WAV || (major == SF_FORMAT_RF64 && m_rf64);
        m_rf64 = false;
        if (major == SF_FORMAT_AU && AuEncoding(info.format & SF_FORMAT_SUBMASK) != 0) {
            // The header of an open-ended AU stream, then the samples.
            try {
                const std::vector<unsigned char> header = AuHeader(info, 0xffffffffu);
                WriteAll(fd, header.data(), header.size());
            } catch (const std::system_error& e) {
                throw ToolError(
                    FileMessage(DisplayName(), "write failed (" + e.code().message() + ")"));
            }
            streamInfo.format = SF_FORMAT_RAW | SF_ENDIAN_BIG | (info.format & SF_FORMAT_SUBMASK);
        } else {
            if (!wav) {
                throw ToolError(FileMessage(DisplayName(),
                                            "this file type cannot be written to a "
                                            "pipe; use wav, au, flac, ogg, mp3, opus or raw"));
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
            streamInfo.format =
                SF_FORMAT_RAW | SF_ENDIAN_LITTLE | (info.format & SF_FORMAT_SUBMASK);
        }
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
    if (m_null) {
        return (m_path.empty() ? std::string("mix") : m_path) + " (not written: -n)";
    }
    return m_path == kStdioPath ? "standard output" : m_path;
}

void OutputFile::Write(const std::int32_t* samples, std::size_t count) {
    const auto frames = static_cast<sf_count_t>(count / m_channels);
    if (frames == 0 || m_null) {
        return;
    }
    CountData(static_cast<std::uint64_t>(frames));
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
    if (bytes == 0 || m_null) {
        return;
    }
    CountData(count / m_channels);
    errno = 0;
    if (sf_write_raw(m_file.get(), data, bytes) != bytes) {
        ThrowWriteError(errno);
    }
}

void OutputFile::Finish() {
    if (!m_file) {
        return;
    }
    const bool au = (sf_command(m_file.get(), SFC_GET_CURRENT_SF_INFO, &m_info, sizeof m_info),
                     (m_info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AU);
    if (sf_close(m_file.release()) != 0) {
        throw ToolError(FileMessage(DisplayName(), "write failed while finishing the file"));
    }
    if (!au) {
        return;
    }
    try {
        if (!m_tempPath.empty()) {
            const FileDescriptor fd(open(m_tempPath.c_str(), O_RDWR | O_CLOEXEC));
            if (fd.Get() < 0) {
                throw std::system_error(errno, std::generic_category());
            }
            WidenAuHeader(fd.Get());
        } else if (m_path == kStdioPath && (fcntl(STDOUT_FILENO, F_GETFL) & O_APPEND) == 0) {
            struct stat st {};
            if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
                // Standard output is open for writing only: the file again,
                // for reading too, where the system allows.
                const FileDescriptor fd(open("/proc/self/fd/1", O_RDWR | O_CLOEXEC));
                if (fd.Get() >= 0) {
                    WidenAuHeader(fd.Get());
                }
            }
        }
    } catch (const std::system_error& e) {
        throw ToolError(FileMessage(
            DisplayName(), "write failed while finishing the file (" + e.code().message() + ")"));
    }
}

void OutputFile::Commit() {
    Finish();
    if (!m_stream && !m_null && std::rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
        throw ToolError(FileMessage(
            m_path,
            std::string("cannot rename the finished file into place: ") + std::strerror(errno)));
    }
    m_committed = true;
}

}  // namespace carovel_mix
