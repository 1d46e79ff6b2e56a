#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "pcm/sample_pack.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

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

mode_t CreationMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666) & ~mask;
}

constexpr std::uint32_t kAuHeaderBytes = 28;

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

void OutputFile::WriteFloats(const float* samples, std::size_t count) {
    const auto frames = static_cast<sf_count_t>(count / m_channels);
    if (frames == 0 || m_null) {
        return;
    }
    CountData(static_cast<std::uint64_t>(frames));
    errno = 0;
    if (sf_writef_float(m_file.get(), samples, frames) != frames) {
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
