// PCM sample widths and codecs: the one place that knows how a sample of each
// width is laid out.
//
// Samples are little-endian. One-byte samples are unsigned with the midpoint
// 128 (offset binary); two, three and four bytes are signed two's complement.
// A codec reads a sample as its signed value at its own width (-128..127 for
// one byte, -32768..32767 for two, ...) and writes such a value back; the
// reads and writes are spelled byte by byte, which compilers turn into plain
// loads and stores on little-endian machines and vectorise.
#ifndef CAROVEL_PCM_SAMPLE_CODEC_H
#define CAROVEL_PCM_SAMPLE_CODEC_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace _Carovel {

// True where the machine keeps its integers and floats little-endian, as the
// samples are: their bytes may then be copied as they are (compilers that do
// not say take the byte-by-byte codecs).
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline constexpr bool kLittleEndianMachine = true;
#else
inline constexpr bool kLittleEndianMachine = false;
#endif

// True for the sample widths the library mixes and converts: 8, 16, 24 and
// 32 bits.
constexpr bool IsSupportedBits(unsigned bitsPerSample) {
    return bitsPerSample == 8 || bitsPerSample == 16 || bitsPerSample == 24 || bitsPerSample == 32;
}

// True for a sample width in bytes that the codecs handle: 1 to 4.
constexpr bool IsSupportedWidth(unsigned bytesPerSample) {
    return bytesPerSample >= 1 && bytesPerSample <= 4;
}

struct Unsigned8 {
    static constexpr unsigned kWidth = 1;
    static constexpr std::int64_t kMin = -128;
    static constexpr std::int64_t kMax = 127;
    static std::int32_t Read(const unsigned char* p) {
        return static_cast<std::int32_t>(p[0]) - 128;
    }
    static void Write(unsigned char* p, std::int64_t v) {
        p[0] = static_cast<unsigned char>(v + 128);
    }
};

struct Signed16 {
    static constexpr unsigned kWidth = 2;
    static constexpr std::int64_t kMin = -32768;
    static constexpr std::int64_t kMax = 32767;
    static std::int32_t Read(const unsigned char* p) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    }
    static void Write(unsigned char* p, std::int64_t v) {
        const auto u = static_cast<std::uint16_t>(v);
        p[0] = static_cast<unsigned char>(u);
        p[1] = static_cast<unsigned char>(u >> 8);
    }
};

struct Signed24 {
    static constexpr unsigned kWidth = 3;
    static constexpr std::int64_t kMin = -8388608;
    static constexpr std::int64_t kMax = 8388607;
    static std::int32_t Read(const unsigned char* p) {
        const std::int32_t u = p[0] | (p[1] << 8) | (p[2] << 16);
        return (u ^ 0x800000) - 0x800000;
    }
    static void Write(unsigned char* p, std::int64_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        p[0] = static_cast<unsigned char>(u);
        p[1] = static_cast<unsigned char>(u >> 8);
        p[2] = static_cast<unsigned char>(u >> 16);
    }
};

struct Signed32 {
    static constexpr unsigned kWidth = 4;
    static constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    static constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    static std::int32_t Read(const unsigned char* p) {
        const std::uint32_t u =
            static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
            (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        return static_cast<std::int32_t>(u);
    }
    static void Write(unsigned char* p, std::int64_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        p[0] = static_cast<unsigned char>(u);
        p[1] = static_cast<unsigned char>(u >> 8);
        p[2] = static_cast<unsigned char>(u >> 16);
        p[3] = static_cast<unsigned char>(u >> 24);
    }
};

// 32-bit IEEE-754 float samples, full scale 1.0, little-endian. Not one of
// the integer codecs above: Read gives the float, Write takes one, and
// nothing is clamped.
struct Float32 {
    static constexpr unsigned kWidth = 4;
    static float Read(const unsigned char* p) {
        const std::uint32_t u =
            static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
            (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        float v;
        std::memcpy(&v, &u, sizeof v);
        return v;
    }
    static void Write(unsigned char* p, float v) {
        std::uint32_t u;
        std::memcpy(&u, &v, sizeof u);
        p[0] = static_cast<unsigned char>(u);
        p[1] = static_cast<unsigned char>(u >> 8);
        p[2] = static_cast<unsigned char>(u >> 16);
        p[3] = static_cast<unsigned char>(u >> 24);
    }
};

// A float sample times scale as a whole number of [lo, hi]: rounded to
// nearest (halves away from zero) and clamped, NaN taken as 0. clipped is
// set when the product lies beyond full scale: below lo - 0.5 or above
// hi + 1 (so +1.0 at a scale of 2^(bits - 1), one step above the largest
// value the type holds, is clamped by that step but not counted).
inline std::int64_t FloatToWhole(float v, double scale, double lo, double hi, bool& clipped) {
    double x = static_cast<double>(v) * scale;
    if (!(x == x)) {
        x = 0.0;
    }
    clipped = x < lo - 0.5 || x > hi + 1.0;
    x = std::min(std::max(x, lo), hi);
    return static_cast<std::int64_t>(x < 0 ? x - 0.5 : x + 0.5);
}

// The codec of a width in bytes, at compile time.
template <unsigned Bytes>
struct CodecOf;
template <>
struct CodecOf<1> {
    using type = Unsigned8;
};
template <>
struct CodecOf<2> {
    using type = Signed16;
};
template <>
struct CodecOf<3> {
    using type = Signed24;
};
template <>
struct CodecOf<4> {
    using type = Signed32;
};
template <unsigned Bytes>
using Codec = typename CodecOf<Bytes>::type;

// Calls f(Codec{}) with the codec of a width in bytes chosen at run time;
// widths outside 1..4 take the four-byte codec, so callers check the width
// first.
template <class F>
decltype(auto) WithCodec(unsigned bytesPerSample, F&& f) {
    switch (bytesPerSample) {
        case 1:
            return f(Unsigned8{});
        case 2:
            return f(Signed16{});
        case 3:
            return f(Signed24{});
        default:
            return f(Signed32{});
    }
}

// Clamps v to the signed range of a width in bytes.
inline std::int32_t ClampToWidth(std::int64_t v, unsigned bytesPerSample) {
    const std::int64_t hi = (std::int64_t{1} << (8 * bytesPerSample - 1)) - 1;
    return static_cast<std::int32_t>(std::clamp(v, -hi - 1, hi));
}

// Reads a sample at 32-bit scale: its signed value shifted left by
// 32 - 8 * Bytes bits, so every width shares one scale and widening is exact.
template <unsigned Bytes>
std::int32_t ReadAt32BitScale(const unsigned char* p) {
    const auto v = static_cast<std::uint32_t>(Codec<Bytes>::Read(p));
    return static_cast<std::int32_t>(v << (32 - 8 * Bytes));
}

// Writes a sample given at 32-bit scale: its top 8 * Bytes bits, the rest
// dropped. The inverse of ReadAt32BitScale.
template <unsigned Bytes>
void WriteAt32BitScale(unsigned char* p, std::int32_t v) {
    Codec<Bytes>::Write(p, v >> (32 - 8 * Bytes));
}

}  // namespace _Carovel

#endif  // CAROVEL_PCM_SAMPLE_CODEC_H
