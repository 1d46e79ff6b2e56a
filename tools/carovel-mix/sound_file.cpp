#include "sound_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

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
    const char* extension;
    int major;
};

constexpr OutputContainer kOutputContainers[] = {
    {"wav", SF_FORMAT_WAV},  {"flac", SF_FORMAT_FLAC}, {"aiff", SF_FORMAT_AIFF},
    {"aif", SF_FORMAT_AIFF}, {"au", SF_FORMAT_AU},     {"caf", SF_FORMAT_CAF},
    {"w64", SF_FORMAT_W64},  {"rf64", SF_FORMAT_RF64}, {"ogg", SF_FORMAT_OGG},
};

// The libsndfile format code for writing format into the file at path.
int OutputFormatCode(const std::string& path, const PcmFormat& format) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    const std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                ? std::string()
                                : Lowercase(path.substr(dot + 1));
    const auto* found =
        std::find_if(std::begin(kOutputContainers), std::end(kOutputContainers),
                     [&ext](const OutputContainer& c) { return ext == c.extension; });
    if (found == std::end(kOutputContainers)) {
        throw ToolError(FileMessage(
            path, "cannot tell the output format from the name; use one of " + OutputExtensions()));
    }
    if (found->major == SF_FORMAT_OGG) {
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    }
    const bool unsignedBytes = found->major == SF_FORMAT_WAV || found->major == SF_FORMAT_W64 ||
                               found->major == SF_FORMAT_RF64;
    switch (format.bits) {
        case 8:
            return found->major | (unsignedBytes ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8);
        case 16:
            return found->major | SF_FORMAT_PCM_16;
        case 24:
            return found->major | SF_FORMAT_PCM_24;
        default:
            return found->major | SF_FORMAT_PCM_32;
    }
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

}  // namespace

InputFile::InputFile(const std::string& path) : m_path(path) {
    CheckOpenable(path);
    SF_INFO info{};
    m_file.reset(sf_open(path.c_str(), SFM_READ, &info));
    if (!m_file) {
        throw ToolError(FileMessage(path, "unreadable or unsupported audio format (" +
                                              Trimmed(sf_strerror(nullptr)) + ")"));
    }
    if (info.samplerate < 1 || static_cast<unsigned>(info.samplerate) > kMaxMixerValue) {
        throw ToolError(FileMessage(path, "sample rate " + std::to_string(info.samplerate) +
                                              " Hz is outside the 1 to 65535 Hz the mixer takes"));
    }
    if (info.channels < 1 || static_cast<unsigned>(info.channels) > kMaxMixerValue) {
        throw ToolError(FileMessage(
            path, std::to_string(info.channels) + " channels are more than the mixer takes"));
    }
    const unsigned width = IntegerWidth(info.format & SF_FORMAT_SUBMASK);
    m_float = width == 0;
    m_format.channels = static_cast<unsigned>(info.channels);
    m_format.rate = static_cast<unsigned>(info.samplerate);
    m_format.bits = m_float ? 32 : width;
    m_frames = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
    m_container = ContainerName(info.format);
    m_packed = IsPackedPcm(m_file.get(), info.format);
}

double InputFile::Seconds() const {
    return static_cast<double>(m_frames) / static_cast<double>(m_format.rate);
}

std::size_t InputFile::Read(std::size_t frames, std::vector<std::int32_t>& out) {
    const std::size_t samples = frames * m_format.channels;
    out.resize(samples);
    sf_count_t got = 0;
    const auto wanted = static_cast<sf_count_t>(frames);
    if (m_float) {
        m_floatBuffer.resize(samples);
        got = sf_readf_float(m_file.get(), m_floatBuffer.data(), wanted);
        FloatToSamples(m_floatBuffer.data(),
                       static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * m_format.channels,
                       out.data());
    } else {
        got = sf_readf_int(m_file.get(), out.data(), wanted);
    }
    if (got < wanted && sf_error(m_file.get()) != SF_ERR_NO_ERROR) {
        throw ToolError(
            FileMessage(m_path, "read failed (" + Trimmed(sf_strerror(m_file.get())) + ")"));
    }
    const auto read = static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
    out.resize(read * m_format.channels);
    return read;
}

std::size_t InputFile::ReadPacked(std::size_t frames, std::vector<char>& out) {
    const std::size_t frameBytes = m_format.BlockAlign();
    out.resize(frames * frameBytes);
    const sf_count_t got =
        sf_read_raw(m_file.get(), out.data(), static_cast<sf_count_t>(out.size()));
    if (got < static_cast<sf_count_t>(out.size()) && sf_error(m_file.get()) != SF_ERR_NO_ERROR) {
        throw ToolError(
            FileMessage(m_path, "read failed (" + Trimmed(sf_strerror(m_file.get())) + ")"));
    }
    const std::size_t read = static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) / frameBytes;
    out.resize(read * frameBytes);
    return read;
}

OutputFile::OutputFile(const std::string& path, const PcmFormat& format)
    : m_path(path), m_channels(format.channels), m_bytesPerSample(format.BytesPerSample()) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(format.rate);
    info.channels = static_cast<int>(format.channels);
    info.format = OutputFormatCode(path, format);
    if (sf_format_check(&info) == 0) {
        throw ToolError(FileMessage(path, "this file type cannot hold " + Describe(format)));
    }
    std::string temp = TempPathFor(path);
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        throw ToolError(FileMessage(path, std::string("cannot create: ") + std::strerror(errno)));
    }
    close(fd);
    m_tempPath = temp;
    chmod(m_tempPath.c_str(), CreationMode());
    m_file.reset(sf_open(m_tempPath.c_str(), SFM_WRITE, &info));
    if (!m_file) {
        const std::string why = Trimmed(sf_strerror(nullptr));
        unlink(m_tempPath.c_str());
        throw ToolError(FileMessage(path, "cannot write (" + why + ")"));
    }
    m_packed = IsPackedPcm(m_file.get(), info.format);
}

OutputFile::~OutputFile() {
    if (!m_committed) {
        m_file.reset();
        unlink(m_tempPath.c_str());
    }
}

void OutputFile::Write(const std::int32_t* samples, std::size_t count) {
    const auto frames = static_cast<sf_count_t>(count / m_channels);
    if (frames == 0) {
        return;
    }
    if (sf_writef_int(m_file.get(), samples, frames) != frames) {
        throw ToolError(
            FileMessage(m_path, "write failed (" + Trimmed(sf_strerror(m_file.get())) + ")"));
    }
}

void OutputFile::WritePacked(const char* data, std::size_t count) {
    const auto bytes = static_cast<sf_count_t>(count / m_channels * m_channels * m_bytesPerSample);
    if (bytes == 0) {
        return;
    }
    if (sf_write_raw(m_file.get(), data, bytes) != bytes) {
        throw ToolError(
            FileMessage(m_path, "write failed (" + Trimmed(sf_strerror(m_file.get())) + ")"));
    }
}

void OutputFile::Finish() {
    if (m_file && sf_close(m_file.release()) != 0) {
        throw ToolError(FileMessage(m_path, "write failed while finishing the file"));
    }
}

void OutputFile::Commit() {
    Finish();
    if (std::rename(m_tempPath.c_str(), m_path.c_str()) != 0) {
        throw ToolError(FileMessage(
            m_path,
            std::string("cannot rename the finished file into place: ") + std::strerror(errno)));
    }
    m_committed = true;
}

std::string OutputExtensions() {
    std::string list;
    for (const auto& c : kOutputContainers) {
        list += list.empty() ? "." : ", .";
        list += c.extension;
    }
    return list;
}

}  // namespace carovel_mix
