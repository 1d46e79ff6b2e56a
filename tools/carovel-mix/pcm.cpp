#include "pcm.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "tool_error.h"

// Lets gcc vectorise a floating-point sum in any order (-fopenmp-simd). Not
// for clang, which warns where instrumentation keeps it from vectorising.
#if defined(__GNUC__) && !defined(__clang__)
#define CAROVEL_MIX_PRAGMA(text) _Pragma(#text)
#define CAROVEL_MIX_SIMD_SUM(sum) CAROVEL_MIX_PRAGMA(omp simd reduction(+ : sum))
#else
#define CAROVEL_MIX_SIMD_SUM(sum)
#endif

namespace carovel_mix {

std::string Describe(const PcmFormat& format) {
    std::string layout;
    switch (format.channels) {
        case 1:
            layout = "mono";
            break;
        case 2:
            layout = "stereo";
            break;
        default:
            layout = std::to_string(format.channels) + " ch";
            break;
    }
    return std::to_string(format.rate) + " Hz " + layout + " " + std::to_string(format.bits) +
           "-bit";
}

bool IsSupportedWidth(unsigned bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

namespace {

// Writes the top `Width` bytes of each sample little-endian; one loop per
// width so that the compiler can vectorise it.
template <unsigned Width>
void PackWidth(const std::int32_t* samples, std::size_t count, unsigned char* dst) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto u = static_cast<std::uint32_t>(samples[i]);
        for (unsigned b = 0; b < Width; ++b) {
            dst[i * Width + b] = static_cast<unsigned char>(u >> (32 - 8 * (Width - b)));
        }
    }
}

template <unsigned Width>
void UnpackWidth(const unsigned char* src, std::size_t count, std::int32_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t u = 0;
        for (unsigned b = 0; b < Width; ++b) {
            u |= static_cast<std::uint32_t>(src[i * Width + b]) << (32 - 8 * (Width - b));
        }
        out[i] = static_cast<std::int32_t>(u);
    }
}

}  // namespace

void PackSamples(const std::int32_t* samples, std::size_t count, unsigned bits,
                 std::vector<char>& out) {
    const std::size_t start = out.size();
    out.resize(start + count * (bits / 8));
    auto* dst = reinterpret_cast<unsigned char*>(out.data() + start);
    switch (bits) {
        case 8:
            for (std::size_t i = 0; i < count; ++i) {
                dst[i] = static_cast<unsigned char>((static_cast<std::uint32_t>(samples[i]) >> 24) ^
                                                    0x80u);
            }
            break;
        case 16:
            PackWidth<2>(samples, count, dst);
            break;
        case 24:
            PackWidth<3>(samples, count, dst);
            break;
        default:
            PackWidth<4>(samples, count, dst);
            break;
    }
}

void UnpackSamples(const char* data, std::size_t count, unsigned bits, std::int32_t* out) {
    const auto* src = reinterpret_cast<const unsigned char*>(data);
    switch (bits) {
        case 8:
            for (std::size_t i = 0; i < count; ++i) {
                out[i] =
                    static_cast<std::int32_t>(static_cast<std::uint32_t>(src[i] ^ 0x80u) << 24);
            }
            break;
        case 16:
            UnpackWidth<2>(src, count, out);
            break;
        case 24:
            UnpackWidth<3>(src, count, out);
            break;
        default:
            UnpackWidth<4>(src, count, out);
            break;
    }
}

void FloatToSamples(const float* in, std::size_t count, std::int32_t* out) {
    constexpr double kScale = 2147483648.0;
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i < count; ++i) {
        const double v = std::nearbyint(static_cast<double>(in[i]) * kScale);
        // NaN compares false both ways and becomes silence.
        out[i] = v >= kMax   ? std::numeric_limits<std::int32_t>::max()
                 : v <= kMin ? std::numeric_limits<std::int32_t>::min()
                 : v == v    ? static_cast<std::int32_t>(v)
                             : 0;
    }
}

unsigned FrameBytes(const PcmFormat& format, unsigned frameMs) {
    const std::uint64_t scaled = static_cast<std::uint64_t>(format.rate) * frameMs;
    if (frameMs == 0 || scaled % 1000 != 0) {
        throw ToolError("a frame of " + std::to_string(frameMs) + " ms at " +
                        std::to_string(format.rate) +
                        " Hz is not a whole number of samples; choose --frame-ms so that"
                        " rate * ms / 1000 is whole");
    }
    const std::uint64_t bytes = scaled / 1000 * format.BlockAlign();
    if (bytes == 0 || bytes > std::numeric_limits<unsigned short>::max()) {
        throw ToolError("a frame of " + std::to_string(frameMs) + " ms in " + Describe(format) +
                        " is " + std::to_string(bytes) +
                        " bytes; the mixer takes 1 to 65535 bytes per frame, use a shorter"
                        " --frame-ms");
    }
    return static_cast<unsigned>(bytes);
}

void LevelMeter::Add(const std::int32_t* samples, std::size_t count) {
    // Separate loops for the extremes and the squares, each simple enough to
    // vectorise; the sum of squares may be added in any order (it is only
    // shown to a tenth of a dB).
    std::int32_t low = 0;
    std::int32_t high = 0;
    for (std::size_t i = 0; i < count; ++i) {
        low = std::min(low, samples[i]);
        high = std::max(high, samples[i]);
    }
    double squares = 0.0;
    CAROVEL_MIX_SIMD_SUM(squares)
    for (std::size_t i = 0; i < count; ++i) {
        const double d = samples[i];
        squares += d * d;
    }
    m_sumSquares += squares;
    m_peak = std::max({m_peak, -std::int64_t{low}, std::int64_t{high}});
    m_count += count;
}

namespace {

// Unpacks packed PCM a block at a time into room on the stack and hands each
// block to add.
template <class AddFn>
void ForUnpackedBlocks(const char* data, std::size_t count, unsigned bits, AddFn add) {
    constexpr std::size_t kBlock = 4096;
    std::int32_t block[kBlock];
    const std::size_t width = bits / 8;
    for (std::size_t done = 0; done < count; done += kBlock) {
        const std::size_t n = std::min(kBlock, count - done);
        UnpackSamples(data + done * width, n, bits, block);
        add(block, n);
    }
}

std::int16_t Read16(const char* p) {
    std::int16_t v;
    std::memcpy(&v, p, sizeof v);  // little-endian host, as the packed PCM
    return v;
}

}  // namespace

void LevelMeter::AddPacked(const char* data, std::size_t count, unsigned bits) {
    if (bits != 16) {
        ForUnpackedBlocks(data, count, bits,
                          [this](const std::int32_t* block, std::size_t n) { Add(block, n); });
        return;
    }
    // 16-bit samples directly: the left-justified value is v * 65536.
    std::int16_t low = 0;
    std::int16_t high = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t v = Read16(data + 2 * i);
        low = std::min(low, v);
        high = std::max(high, v);
    }
    double squares = 0.0;
    CAROVEL_MIX_SIMD_SUM(squares)
    for (std::size_t i = 0; i < count; ++i) {
        const double d = Read16(data + 2 * i);
        squares += d * d;
    }
    m_sumSquares += squares * 4294967296.0;
    m_peak = std::max({m_peak, -std::int64_t{low} * 65536, std::int64_t{high} * 65536});
    m_count += count;
}

namespace {
double ToDbfs(double magnitude) {
    constexpr double kFullScale = 2147483648.0;
    if (magnitude <= 0.0) {
        return -std::numeric_limits<double>::infinity();
    }
    return 20.0 * std::log10(magnitude / kFullScale);
}
}  // namespace

double LevelMeter::PeakDbfs() const {
    return ToDbfs(static_cast<double>(m_peak));
}

double LevelMeter::RmsDbfs() const {
    if (m_count == 0) {
        return ToDbfs(0.0);
    }
    return ToDbfs(std::sqrt(m_sumSquares / static_cast<double>(m_count)));
}

ClipCounter::ClipCounter(unsigned bits)
    : m_bits(bits),
      m_min(std::numeric_limits<std::int32_t>::min()),
      m_max(static_cast<std::int32_t>((std::numeric_limits<std::uint32_t>::max() >> 1) &
                                      ~((std::uint32_t{1} << (32 - bits)) - 1))) {}

void ClipCounter::Add(const std::int32_t* samples, std::size_t count) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        n += (samples[i] == m_min || samples[i] == m_max) ? 1 : 0;
    }
    m_count += n;
}

}  // namespace carovel_mix

namespace carovel_mix {

void ClipCounter::AddPacked(const char* data, std::size_t count) {
    if (m_bits != 16) {
        ForUnpackedBlocks(data, count, m_bits,
                          [this](const std::int32_t* block, std::size_t n) { Add(block, n); });
        return;
    }
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t v = Read16(data + 2 * i);
        n += (v == -32768 || v == 32767) ? 1 : 0;
    }
    m_count += n;
}

}  // namespace carovel_mix
