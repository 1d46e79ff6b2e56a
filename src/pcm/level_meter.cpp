#include "pcm/level_meter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/vector_clones.h"
#include "pcm/sample_codec.h"
#include "pcm/sample_pack.h"

// Lets gcc vectorise a floating-point sum in any order (-fopenmp-simd). Not
// for clang, which warns where instrumentation keeps it from vectorising.
#if defined(__GNUC__) && !defined(__clang__)
#define CAROVEL_PRAGMA(text) _Pragma(#text)
#define CAROVEL_SIMD_SUM(sum) CAROVEL_PRAGMA(omp simd reduction(+ : sum))
#else
#define CAROVEL_SIMD_SUM(sum)
#endif

namespace _Carovel {
namespace {

// Unpacks packed PCM a block at a time into room on the stack and hands each
// block to add.
template <class AddFn>
void ForUnpackedBlocks(const char* data, std::size_t count, unsigned bytesPerSample, AddFn add) {
    constexpr std::size_t kBlock = 4096;
    std::int32_t block[kBlock];
    for (std::size_t done = 0; done < count; done += kBlock) {
        const std::size_t n = std::min(kBlock, count - done);
        UnpackTo32BitScale(data + done * bytesPerSample, n, bytesPerSample, block);
        add(block, n);
    }
}

std::int16_t Read16(const char* p) {
    return static_cast<std::int16_t>(Signed16::Read(reinterpret_cast<const unsigned char*>(p)));
}

// The loops of the meters, built for AVX2 and the baseline (the AVX2 build
// takes eight 32-bit or four double lanes where the baseline has no 32-bit
// minimum and two double lanes).
struct Extremes32 {
    std::int32_t low = 0;
    std::int32_t high = 0;
};

CAROVEL_VECTOR_CLONES
Extremes32 ExtremesOf(const std::int32_t* samples, std::size_t count) {
    std::int32_t low = 0;
    std::int32_t high = 0;
    for (std::size_t i = 0; i < count; ++i) {
        low = std::min(low, samples[i]);
        high = std::max(high, samples[i]);
    }
    return {low, high};
}

// The sum of squares may be added in any order: it is only shown to a tenth
// of a dB.
CAROVEL_VECTOR_CLONES
double SquaresOf(const std::int32_t* samples, std::size_t count) {
    double squares = 0.0;
    CAROVEL_SIMD_SUM(squares)
    for (std::size_t i = 0; i < count; ++i) {
        const double d = samples[i];
        squares += d * d;
    }
    return squares;
}

// The same for packed 16-bit samples.
struct Extremes16 {
    std::int16_t low = 0;
    std::int16_t high = 0;
};

CAROVEL_VECTOR_CLONES
Extremes16 ExtremesOf16(const char* data, std::size_t count) {
    std::int16_t low = 0;
    std::int16_t high = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t v = Read16(data + 2 * i);
        low = std::min(low, v);
        high = std::max(high, v);
    }
    return {low, high};
}

CAROVEL_VECTOR_CLONES
double SquaresOf16(const char* data, std::size_t count) {
    double squares = 0.0;
    CAROVEL_SIMD_SUM(squares)
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t v = Read16(data + 2 * i);
        const double d = v;
        squares += d * d;
    }
    return squares;
}

CAROVEL_VECTOR_CLONES
std::uint64_t CountFullScale16(const char* data, std::size_t count) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t v = Read16(data + 2 * i);
        n += (v == Signed16::kMin || v == Signed16::kMax) ? 1 : 0;
    }
    return n;
}

CAROVEL_VECTOR_CLONES
std::uint64_t CountEither(const std::int32_t* samples, std::size_t count, std::int32_t a,
                          std::int32_t b) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        n += (samples[i] == a || samples[i] == b) ? 1 : 0;
    }
    return n;
}

double ToDbfs(double magnitude) {
    constexpr double kFullScale = 2147483648.0;
    if (magnitude <= 0.0) {
        return -std::numeric_limits<double>::infinity();
    }
    return 20.0 * std::log10(magnitude / kFullScale);
}

}  // namespace

void LevelMeter::Add(const std::int32_t* samples, std::size_t count) {
    // Separate loops for the extremes and the squares, each simple enough to
    // vectorise.
    const Extremes32 e = ExtremesOf(samples, count);
    m_sumSquares += SquaresOf(samples, count);
    m_peak = std::max({m_peak, -std::int64_t{e.low}, std::int64_t{e.high}});
    m_count += count;
}

void LevelMeter::AddPacked(const char* data, std::size_t count, unsigned bytesPerSample) {
    if (bytesPerSample != 2) {
        ForUnpackedBlocks(data, count, bytesPerSample,
                          [this](const std::int32_t* block, std::size_t n) { Add(block, n); });
        return;
    }
    // 16-bit samples directly: the value at 32-bit scale is v * 65536.
    const Extremes16 e = ExtremesOf16(data, count);
    m_sumSquares += SquaresOf16(data, count) * 4294967296.0;
    m_peak = std::max({m_peak, -std::int64_t{e.low} * 65536, std::int64_t{e.high} * 65536});
    m_count += count;
}

double LevelMeter::PeakDbfs() const {
    return ToDbfs(static_cast<double>(m_peak));
}

double LevelMeter::RmsDbfs() const {
    if (m_count == 0) {
        return ToDbfs(0.0);
    }
    return ToDbfs(std::sqrt(m_sumSquares / static_cast<double>(m_count)));
}

ClipCounter::ClipCounter(unsigned bytesPerSample)
    : m_bytes(bytesPerSample),
      m_min(std::numeric_limits<std::int32_t>::min()),
      m_max(static_cast<std::int32_t>((std::numeric_limits<std::uint32_t>::max() >> 1) &
                                      ~((std::uint32_t{1} << (32 - 8 * bytesPerSample)) - 1))) {}

void ClipCounter::Add(const std::int32_t* samples, std::size_t count) {
    m_count += CountEither(samples, count, m_min, m_max);
}

void ClipCounter::AddPacked(const char* data, std::size_t count) {
    if (m_bytes != 2) {
        ForUnpackedBlocks(data, count, m_bytes,
                          [this](const std::int32_t* block, std::size_t n) { Add(block, n); });
        return;
    }
    m_count += CountFullScale16(data, count);
}

}  // namespace _Carovel
