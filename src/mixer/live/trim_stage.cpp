#include "mixer/live/trim_stage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

#include "convert/encode_float.h"
#include "engine/vector_clones.h"
#include "pcm/sample_codec.h"

#if defined(CAROVEL_AVX2)
#include <immintrin.h>
#endif

namespace _Carovel {
namespace {

// Phases of the table per unit of fraction; it covers [0, 1].
constexpr int kPhases = 64;
constexpr int kTablePhases = kPhases + 1;
// The window's shape (Kaiser) and the sinc's cutoff (the full band): the
// fractional delay is then within -102 dB of ideal below 1/48 of the rate,
// -92 dB at 1/8 and -79 dB at 1/4, for fractions from -0.25 to 1.25; the
// top of the band is rolled off (-24 dB of error at 0.4 of the rate).
constexpr double kBeta = 8.0;

constexpr double kPi = 3.14159265358979323846;

// The run kernels come in two builds: for AVX2 with FMA, chosen at run time
// where the CPU has them (x86-64 with GCC or Clang, not on Windows, as
// CAROVEL_AVX2 in engine/vector_clones.h), and for the baseline with 16-byte
// vectors. The sample loops around them are built for AVX2 and for the
// baseline by the loader (CAROVEL_VECTOR_CLONES).
#if defined(CAROVEL_AVX2)
#define CAROVEL_TRIM_AVX2 __attribute__((target("avx2,fma")))
#endif

// One phase: the taps, their first derivative by the fraction and half
// their second; and for 16-bit streams the taps and their derivative in
// 16-bit integers.
struct alignas(64) Phase {
    float h[TrimStage::kTaps];
    float d1[TrimStage::kTaps];
    float d2[TrimStage::kTaps];
    std::int16_t h16[TrimStage::kTaps];
    std::int16_t d16[TrimStage::kTaps];
};

// The integer taps' scales: the taps in -1/32768 (negated, so that a tap of
// 1, at the fractions 0 and 1, is -32768, which 16 bits hold), the
// derivative in 1/16384. Each set sums exactly to its value (1 and 0), so
// that a constant passes unchanged and a trim of 0 copies the stream. The
// sums of a run stay within 32 bits: the taps' magnitudes add up to at
// most 1.95, the derivative's to 3.7, against 2 for a full-scale input.
constexpr double kTapScale = -32768.0;
constexpr double kSlopeScale = 16384.0;

// Rounds taps times scale to 16-bit integers with the sum of the taps
// times scale.
void RoundTaps(const double* taps, double scale, std::int16_t* out) {
    long values[TrimStage::kTaps];
    double exact = 0.0;
    long total = 0;
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        values[k] = std::clamp(std::lround(taps[k] * scale), -32768L, 32767L);
        exact += taps[k] * scale;
        total += values[k];
    }
    // The rounding's remainder (a unit or two) goes to the largest tap with
    // room for it (there is always one: no window's taps are all at the
    // limits).
    const long remainder = std::lround(exact) - total;
    int fix = -1;
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        const long fixed = values[k] + remainder;
        if (fixed >= -32768 && fixed <= 32767 &&
            (fix < 0 || std::labs(values[k]) > std::labs(values[fix]))) {
            fix = k;
        }
    }
    if (fix >= 0) {
        values[fix] += remainder;
    }
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        out[k] = static_cast<std::int16_t>(values[k]);
    }
}

double BesselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// The interpolator's taps for the value at fraction d past tap kHalf - 1,
// normalised to a gain of 1 at 0 Hz.
void Taps(double d, double* taps) {
    double sum = 0.0;
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        const double t = (k - (TrimStage::kHalf - 1)) - d;
        const double sinc = std::fabs(t) < 1e-12 ? 1.0 : std::sin(kPi * t) / (kPi * t);
        // The window is fixed on the taps, so that the taps are a smooth
        // function of the fraction (as the Taylor step needs) beyond [0, 1].
        const double r = (k - (TrimStage::kHalf - 0.5)) / TrimStage::kHalf;
        const double window =
            std::fabs(r) < 1.0 ? BesselI0(kBeta * std::sqrt(1.0 - r * r)) / BesselI0(kBeta) : 0.0;
        taps[k] = sinc * window;
        sum += taps[k];
    }
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        taps[k] /= sum;
    }
}

struct PhaseTable {
    std::array<Phase, kTablePhases> phases;
    PhaseTable() {
        constexpr double step = 1e-3;
        for (int p = 0; p < kTablePhases; ++p) {
            const double d = static_cast<double>(p) / kPhases;
            double at[TrimStage::kTaps], below[TrimStage::kTaps], above[TrimStage::kTaps];
            double slope[TrimStage::kTaps];
            Taps(d, at);
            Taps(d - step, below);
            Taps(d + step, above);
            for (int k = 0; k < TrimStage::kTaps; ++k) {
                slope[k] = (above[k] - below[k]) / (2 * step);
                phases[p].h[k] = static_cast<float>(at[k]);
                phases[p].d1[k] = static_cast<float>(slope[k]);
                phases[p].d2[k] =
                    static_cast<float>((above[k] - 2 * at[k] + below[k]) / (step * step) / 2);
            }
            RoundTaps(at, kTapScale, phases[p].h16);
            RoundTaps(slope, kSlopeScale, phases[p].d16);
        }
    }
};

const PhaseTable& Table() {
    static const PhaseTable table;
    return table;
}

#if defined(__GNUC__)
typedef float V4 __attribute__((vector_size(16)));
// Unaligned loads and stores, spelled as memcpy inside each kernel so that
// they compile for the kernel's own target.
#define CAROVEL_LOADV(v, p) std::memcpy(&(v), (p), sizeof(v))
#define CAROVEL_STOREV(p, v) std::memcpy((p), &(v), sizeof(v))

// kLongRun outputs from the inputs x[0, kLongRun + kTaps - 1), for small
// trims: output j reads x[j, j + kTaps) with the phase's taps, moved to its
// own fraction by offsets[j] (its fraction less the phase's, at most 0.024
// here) with a first-order step. The baseline build, four lanes at a time,
// sixteen outputs per call.
void LongRunHalf(const float* x, const Phase& phase, const float* offsets, float* out) {
    V4 a0 = {}, a1 = {}, a2 = {}, a3 = {}, b0 = {}, b1 = {}, b2 = {}, b3 = {};
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        V4 x0, x1, x2, x3;
        CAROVEL_LOADV(x0, x + k);
        CAROVEL_LOADV(x1, x + k + 4);
        CAROVEL_LOADV(x2, x + k + 8);
        CAROVEL_LOADV(x3, x + k + 12);
        const float h = phase.h[k];
        const float d1 = phase.d1[k];
        a0 += h * x0;
        a1 += h * x1;
        a2 += h * x2;
        a3 += h * x3;
        b0 += d1 * x0;
        b1 += d1 * x1;
        b2 += d1 * x2;
        b3 += d1 * x3;
    }
    V4 o0, o1, o2, o3;
    CAROVEL_LOADV(o0, offsets);
    CAROVEL_LOADV(o1, offsets + 4);
    CAROVEL_LOADV(o2, offsets + 8);
    CAROVEL_LOADV(o3, offsets + 12);
    const V4 y0 = a0 + o0 * b0, y1 = a1 + o1 * b1, y2 = a2 + o2 * b2, y3 = a3 + o3 * b3;
    CAROVEL_STOREV(out, y0);
    CAROVEL_STOREV(out + 4, y1);
    CAROVEL_STOREV(out + 8, y2);
    CAROVEL_STOREV(out + 12, y3);
}

void LongRunBase(const float* x, const Phase& phase, const float* offsets, float* out) {
    LongRunHalf(x, phase, offsets, out);
    LongRunHalf(x + 16, phase, offsets + 16, out + 16);
}

// kRun outputs as LongRun, for any trim: offsets up to 0.23, with a
// second-order step.
void RunOfEightBase(const float* x, const Phase& phase, const float* offsets, float* out) {
    V4 a0 = {}, a1 = {}, b0 = {}, b1 = {}, c0 = {}, c1 = {};
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        V4 x0, x1;
        CAROVEL_LOADV(x0, x + k);
        CAROVEL_LOADV(x1, x + k + 4);
        a0 += phase.h[k] * x0;
        a1 += phase.h[k] * x1;
        b0 += phase.d1[k] * x0;
        b1 += phase.d1[k] * x1;
        c0 += phase.d2[k] * x0;
        c1 += phase.d2[k] * x1;
    }
    V4 o0, o1;
    CAROVEL_LOADV(o0, offsets);
    CAROVEL_LOADV(o1, offsets + 4);
    const V4 y0 = a0 + o0 * (b0 + o0 * c0), y1 = a1 + o1 * (b1 + o1 * c1);
    CAROVEL_STOREV(out, y0);
    CAROVEL_STOREV(out + 4, y1);
}

#if defined(CAROVEL_TRIM_AVX2)
typedef float V8 __attribute__((vector_size(32)));

// LongRunHalf for AVX2: eight outputs a lane, four lanes (the loops over
// them are unrolled: the sums stay in registers).
CAROVEL_TRIM_AVX2
void LongRunAvx2(const float* x, const Phase& phase, const float* offsets, float* out) {
    __m256 a[4], b[4];
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        a[q] = _mm256_setzero_ps();
        b[q] = _mm256_setzero_ps();
    }
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        const __m256 h = _mm256_set1_ps(phase.h[k]);
        const __m256 d1 = _mm256_set1_ps(phase.d1[k]);
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) {
            const __m256 v = _mm256_loadu_ps(x + k + 8 * q);
            a[q] = _mm256_fmadd_ps(h, v, a[q]);
            b[q] = _mm256_fmadd_ps(d1, v, b[q]);
        }
    }
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        _mm256_storeu_ps(out + 8 * q,
                         _mm256_fmadd_ps(_mm256_loadu_ps(offsets + 8 * q), b[q], a[q]));
    }
}

CAROVEL_TRIM_AVX2
void RunOfEightAvx2(const float* x, const Phase& phase, const float* offsets, float* out) {
    V8 a = {}, b = {}, c = {};
    for (int k = 0; k < TrimStage::kTaps; ++k) {
        V8 v;
        CAROVEL_LOADV(v, x + k);
        a += phase.h[k] * v;
        b += phase.d1[k] * v;
        c += phase.d2[k] * v;
    }
    V8 o;
    CAROVEL_LOADV(o, offsets);
    const V8 y = a + o * (b + o * c);
    CAROVEL_STOREV(out, y);
}

// Clamped to 16 bits, then rounded half away from zero and truncated, as
// EncodeMono16 does.
CAROVEL_TRIM_AVX2 inline __m256i Round16(__m256 v) {
    v = _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(-32768.0f)), _mm256_set1_ps(32767.0f));
    const __m256 half = _mm256_or_ps(_mm256_set1_ps(0.5f), _mm256_and_ps(v, _mm256_set1_ps(-0.0f)));
    return _mm256_cvttps_epi32(_mm256_add_ps(v, half));
}

// Outputs' offsets first + fstep * j as Make works them out for the other
// kernels, in the baseline build: the product rounded before the sum. A
// fused multiply-add would round once and, now and then, move an output by
// one step.
CAROVEL_TRIM_AVX2 inline __m256 Offsets(__m256 first, __m256 fstep, __m256 j) {
    __m256 product = _mm256_mul_ps(fstep, j);
    __asm__("" : "+x"(product));  // keeps the compiler from fusing the two
    return _mm256_add_ps(first, product);
}

// The outputs of a long run of a 16-bit stream as LongRun16Base makes them,
// eight a lane: y[0] holds outputs 0, 2, ..., 14, y[1] outputs 1, 3, ...,
// 15, y[2] and y[3] the same from 16. One load of 16 samples gives, as 32-bit
// pairs, the inputs of taps 2j and 2j + 1 for eight outputs two apart, and a
// multiply-add of pairs sums them by the taps: 16 products an instruction.
// Shared by both 16-bit kernels, so that their outputs agree.
CAROVEL_TRIM_AVX2 inline void LongRun16Outputs(const std::int16_t* x, const Phase& phase,
                                               float first, float fstep, __m256* y) {
    __m256i a[4], b[4];
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        a[q] = _mm256_setzero_si256();
        b[q] = _mm256_setzero_si256();
    }
#pragma GCC unroll 8
    for (int j = 0; j < TrimStage::kTaps / 2; ++j) {
        // Taps 2j and 2j + 1 in every 32-bit lane, as the samples' pairs.
        std::int32_t hp, dp;
        std::memcpy(&hp, phase.h16 + 2 * j, 4);
        std::memcpy(&dp, phase.d16 + 2 * j, 4);
        const __m256i h = _mm256_set1_epi32(hp);
        const __m256i d = _mm256_set1_epi32(dp);
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) {
            const int from = (q & 1) + 16 * (q >> 1) + 2 * j;
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + from));
            a[q] = _mm256_add_epi32(a[q], _mm256_madd_epi16(v, h));
            b[q] = _mm256_add_epi32(b[q], _mm256_madd_epi16(v, d));
            // Kept in this order: regrouped, the sums spill to the stack.
            __asm__("" : "+x"(a[q]), "+x"(b[q]));
        }
    }
    const __m256 f = _mm256_set1_ps(first);
    const __m256 s = _mm256_set1_ps(fstep);
    const __m256 tap = _mm256_set1_ps(static_cast<float>(1.0 / kTapScale));
    const __m256 slope = _mm256_set1_ps(static_cast<float>(1.0 / kSlopeScale));
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        const __m256 j = _mm256_add_ps(_mm256_setr_ps(0, 2, 4, 6, 8, 10, 12, 14),
                                       _mm256_set1_ps(static_cast<float>((q & 1) + 16 * (q >> 1))));
        const __m256 offset = _mm256_mul_ps(Offsets(f, s, j), slope);
        y[q] = _mm256_fmadd_ps(offset, _mm256_cvtepi32_ps(b[q]),
                               _mm256_mul_ps(_mm256_cvtepi32_ps(a[q]), tap));
    }
}

CAROVEL_TRIM_AVX2
void LongRun16Avx2(const std::int16_t* x, const Phase& phase, float first, float fstep,
                   float* out) {
    __m256 y[4];
    LongRun16Outputs(x, phase, first, fstep, y);
    // Even and odd outputs interleaved within the halves ([0, 4) and [8, 12),
    // then [4, 8) and [12, 16)), then the halves put in order.
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        const __m256 lo = _mm256_unpacklo_ps(y[2 * h], y[2 * h + 1]);
        const __m256 hi = _mm256_unpackhi_ps(y[2 * h], y[2 * h + 1]);
        _mm256_storeu_ps(out + 16 * h, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(out + 16 * h + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
}

// A long run of a mono 16-bit stream in one go: LongRun16Avx2 with the
// outputs rounded, clamped and packed in the registers, count (at most
// kLongRun) of them written to dst. Mono 16-bit is the usual mixing format;
// keeping the run in the registers saves the round trips through memory.
CAROVEL_TRIM_AVX2
void LongRunMono16Avx2(const std::int16_t* x, const Phase& phase, float first, float fstep,
                       std::size_t count, unsigned char* dst) {
    __m256 y[4];
    LongRun16Outputs(x, phase, first, fstep, y);
    __m256i r[4];
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        r[q] = Round16(y[q]);
    }
    // Interleaved within the halves as in LongRun16Avx2; packs works within
    // them too, so the outputs come out in order.
    const __m256i s01 =
        _mm256_packs_epi32(_mm256_unpacklo_epi32(r[0], r[1]), _mm256_unpackhi_epi32(r[0], r[1]));
    const __m256i s23 =
        _mm256_packs_epi32(_mm256_unpacklo_epi32(r[2], r[3]), _mm256_unpackhi_epi32(r[2], r[3]));
    if (count == TrimStage::kLongRun) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), s01);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), s23);
    } else {
        alignas(32) unsigned char run[2 * TrimStage::kLongRun];
        _mm256_store_si256(reinterpret_cast<__m256i*>(run), s01);
        _mm256_store_si256(reinterpret_cast<__m256i*>(run + 32), s23);
        std::memcpy(dst, run, 2 * count);
    }
}
#endif
#else
void LongRunBase(const float* x, const Phase& phase, const float* offsets, float* out) {
    for (int j = 0; j < TrimStage::kLongRun; ++j) {
        float a = 0, b = 0;
        for (int k = 0; k < TrimStage::kTaps; ++k) {
            a += phase.h[k] * x[k + j];
            b += phase.d1[k] * x[k + j];
        }
        out[j] = a + offsets[j] * b;
    }
}

void RunOfEightBase(const float* x, const Phase& phase, const float* offsets, float* out) {
    for (int j = 0; j < TrimStage::kRun; ++j) {
        float a = 0, b = 0, c = 0;
        for (int k = 0; k < TrimStage::kTaps; ++k) {
            a += phase.h[k] * x[k + j];
            b += phase.d1[k] * x[k + j];
            c += phase.d2[k] * x[k + j];
        }
        out[j] = a + offsets[j] * (b + offsets[j] * c);
    }
}
#endif

// kLongRun outputs of a 16-bit stream from its samples x[0, kLongRun + kTaps
// - 1) as LongRun makes them from floats, but summed by the integer taps
// (exactly, in 32 bits) before the step to each output's fraction (first +
// fstep * j for output j): half the work of the float sums where vectors
// multiply 16-bit pairs.
void LongRun16Base(const std::int16_t* x, const Phase& phase, float first, float fstep,
                   float* out) {
    const auto tap = static_cast<float>(1.0 / kTapScale);
    const auto slope = static_cast<float>(1.0 / kSlopeScale);
    for (int j = 0; j < TrimStage::kLongRun; ++j) {
        std::int32_t a = 0, b = 0;
        for (int k = 0; k < TrimStage::kTaps; ++k) {
            a += phase.h16[k] * x[j + k];
            b += phase.d16[k] * x[j + k];
        }
        const float offset = (first + fstep * static_cast<float>(j)) * slope;
        out[j] = static_cast<float>(a) * tap + offset * static_cast<float>(b);
    }
}

// count samples of a 16-bit stream as the stage keeps them (floats of whole
// value) back into integers: encoded as 16-bit samples, little-endian as
// the stage's input (see DecodeMono16), straight into out.
void ToInt16(const float* in, std::size_t count, std::int16_t* out) {
    EncodeFloatTo16(in, count, reinterpret_cast<unsigned char*>(out));
}

// Mono 16-bit, the usual mixing format: blocks samples into out (without
// AVX2; DecodeMono16Avx2 below with it).
void DecodeMono16(const unsigned char* src, std::size_t blocks, float* out) {
    // In chunks of a fixed size, so that the conversion loop vectorises.
    constexpr std::size_t kChunk = 256;
    std::int16_t chunk[kChunk] = {};
    float converted[kChunk];
    for (std::size_t at = 0; at < blocks; at += kChunk) {
        const std::size_t n = std::min(kChunk, blocks - at);
        std::memcpy(chunk, src + 2 * at, 2 * n);  // little-endian, as Signed16 reads
        for (std::size_t i = 0; i < kChunk; ++i) {
            converted[i] = static_cast<float>(chunk[i]);
        }
        std::memcpy(out + at, converted, n * sizeof(float));
    }
}

#if defined(CAROVEL_TRIM_AVX2)
// DecodeMono16 for AVX2: eight samples a step, straight from the input (the
// compiler's version goes through buffers, copied in and out).
CAROVEL_TRIM_AVX2
void DecodeMono16Avx2(const unsigned char* src, std::size_t blocks, float* out) {
    std::size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
        _mm256_storeu_ps(out + i, _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(v)));
    }
    for (; i < blocks; ++i) {
        std::int16_t v;
        std::memcpy(&v, src + 2 * i, 2);  // little-endian, as Signed16 reads
        out[i] = static_cast<float>(v);
    }
}
#endif

// One run of outputs as Make plans it: the first input its filter reads,
// the phase, the first output's offset from the phase, and how many.
struct RunPlan {
    std::size_t from;
    const Phase* phase;
    float first;
    std::size_t count;
};
// Runs Make plans before it makes them.
constexpr int kRunsAhead = 16;
// The inputs a long run reads, and those of kRunsAhead long runs: the next
// one reads from at most 35 inputs further on (32 outputs at a ratio within
// 0.1% of 1, and its middle a sample either side).
constexpr std::size_t kLongReach = TrimStage::kLongRun + TrimStage::kTaps - 1;
constexpr std::size_t kBatchReach = (kRunsAhead - 1) * 35 + kLongReach;

// The read position's fraction and the ratio in fixed point: 32 bits after
// the point. The position's steps are then integer additions, which do not
// hold up the planning as a chain of conversions would, and the position
// moves on exactly (the ratio to within 2^-33 of the trim asked for).
constexpr int kFracBits = 32;
constexpr std::uint64_t kOne = std::uint64_t{1} << kFracBits;
constexpr std::uint64_t kFracMask = kOne - 1;
// The fixed-point distance between two phases of the table.
constexpr int kPhaseBits = kFracBits - 6;
static_assert(kPhases == 1 << (kFracBits - kPhaseBits), "a phase is a power of two apart");

// Plans up to ahead runs of run outputs (the last one shorter when room
// ends first) from the read position (index, frac), moving it past them,
// while the filter's reach stays below reach. ratio is input per output,
// frac and ratio in fixed point. Returns the runs planned.
int PlanRuns(std::size_t& index, std::uint64_t& frac, std::uint64_t ratio, int run,
             std::size_t reach, std::size_t room, int ahead, const Phase* table, RunPlan* plans) {
    const auto step = static_cast<std::int64_t>(ratio - kOne);
    const std::int64_t halfRun = step * (run - 1) / 2;
    int planned = 0;
    for (std::size_t made = 0; planned < ahead && made < room; ++planned) {
        // The run's middle may lie a sample either side of index (at the
        // largest trims): the run reads from there, so that its phase is
        // within [0, 1]; up to index + 1 + kRun - 1 + kHalf.
        if (index + static_cast<std::size_t>(run) + TrimStage::kHalf + 1 > reach) {
            break;
        }
        const std::size_t count = std::min<std::size_t>(run, room - made);
        const std::int64_t middle = static_cast<std::int64_t>(frac) + halfRun;
        const int shift = middle < 0 ? -1 : (middle >= static_cast<std::int64_t>(kOne) ? 1 : 0);
        // The phase nearest the middle (within, the middle's fraction past
        // the sample the run reads from, is in [0, 1) at every trim the
        // stage takes; the bound on the phase is a guard), and the offset of
        // the run's first output from it.
        const auto within = static_cast<std::uint64_t>(middle - shift * std::int64_t{kOne});
        const int phase = std::min(
            static_cast<int>((within + (std::uint64_t{1} << (kPhaseBits - 1))) >> kPhaseBits),
            kPhases);
        const std::int64_t base =
            static_cast<std::int64_t>(phase) * (std::int64_t{1} << kPhaseBits) +
            shift * std::int64_t{kOne};
        plans[planned] = {
            index + static_cast<std::size_t>(shift) - (TrimStage::kHalf - 1), &table[phase],
            static_cast<float>(static_cast<double>(static_cast<std::int64_t>(frac) - base) *
                               0x1p-32),
            count};
        const std::uint64_t advanced = frac + ratio * count;
        index += static_cast<std::size_t>(advanced >> kFracBits);
        frac = advanced & kFracMask;
        made += count;
    }
    return planned;
}

using RunKernel = void (*)(const float*, const Phase&, const float*, float*);
// A long run of a 16-bit stream, from its samples as integers.
using Long16Kernel = void (*)(const std::int16_t*, const Phase&, float, float, float*);
// A whole long run of a mono 16-bit stream: taps, offsets, encoding.
using Mono16Kernel = void (*)(const std::int16_t*, const Phase&, float, float, std::size_t,
                              unsigned char*);
using Mono16Decoder = void (*)(const unsigned char*, std::size_t, float*);

// The kernels for this CPU, chosen once. mono16 is null where there is none:
// the stage then takes the run kernel and the encoder.
struct Kernels {
    RunKernel longRun = LongRunBase;
    RunKernel runOfEight = RunOfEightBase;
    Long16Kernel long16 = LongRun16Base;
    Mono16Kernel mono16 = nullptr;
    Mono16Decoder decodeMono16 = DecodeMono16;
    Kernels() {
#if defined(CAROVEL_TRIM_AVX2)
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
            longRun = LongRunAvx2;
            runOfEight = RunOfEightAvx2;
            long16 = LongRun16Avx2;
            mono16 = LongRunMono16Avx2;
            decodeMono16 = DecodeMono16Avx2;
        }
#endif
    }
};

const Kernels& TheKernels() {
    static const Kernels kernels;
    return kernels;
}

// Mono 16-bit: count (at most kLongRun) outputs
// rounded and clamped.
CAROVEL_VECTOR_CLONES
void EncodeMono16(const float* in, std::size_t count, unsigned char* dst) {
    std::int16_t s[TrimStage::kLongRun];
    for (int i = 0; i < TrimStage::kLongRun; ++i) {
        const float v = std::min(std::max(in[i], -32768.0f), 32767.0f);
        s[i] = static_cast<std::int16_t>(static_cast<std::int32_t>(v + (v < 0.0f ? -0.5f : 0.5f)));
    }
    std::memcpy(dst, s, count * 2);
}

template <class Codec>
void DecodePlanes(const unsigned char* src, std::size_t blocks, unsigned channels,
                  float* const* planes, std::size_t at) {
    const std::size_t blockAlign = std::size_t{channels} * Codec::kWidth;
    for (unsigned c = 0; c < channels; ++c) {
        float* out = planes[c] + at;
        const unsigned char* p = src + c * Codec::kWidth;
        for (std::size_t i = 0; i < blocks; ++i) {
            out[i] = static_cast<float>(Codec::Read(p + i * blockAlign));
        }
    }
}

// Writes count outputs of every channel (runs of kLongRun floats, channel
// by channel) as interleaved blocks, rounded and clamped.
template <class Codec>
void EncodeRuns(const float* runs, std::size_t count, unsigned channels, unsigned char* dst) {
    const std::size_t blockAlign = std::size_t{channels} * Codec::kWidth;
    if constexpr (std::is_same_v<Codec, Float32>) {
        // A float mixing format: written as they are, unclamped.
        for (unsigned c = 0; c < channels; ++c) {
            const float* in = runs + std::size_t{c} * TrimStage::kLongRun;
            unsigned char* p = dst + c * Codec::kWidth;
            for (std::size_t i = 0; i < count; ++i) {
                Codec::Write(p + i * blockAlign, in[i]);
            }
        }
    } else if constexpr (Codec::kWidth <= 2) {
        // Floats hold every value of these widths exactly.
        constexpr auto flo = static_cast<float>(Codec::kMin);
        constexpr auto fhi = static_cast<float>(Codec::kMax);
        for (unsigned c = 0; c < channels; ++c) {
            const float* in = runs + std::size_t{c} * TrimStage::kLongRun;
            unsigned char* p = dst + c * Codec::kWidth;
            for (std::size_t i = 0; i < count; ++i) {
                const float v = std::min(std::max(in[i], flo), fhi);
                Codec::Write(p + i * blockAlign,
                             static_cast<std::int32_t>(v + (v < 0.0f ? -0.5f : 0.5f)));
            }
        }
    } else {
        constexpr auto lo = static_cast<double>(Codec::kMin);
        constexpr auto hi = static_cast<double>(Codec::kMax);
        for (unsigned c = 0; c < channels; ++c) {
            const float* in = runs + std::size_t{c} * TrimStage::kLongRun;
            unsigned char* p = dst + c * Codec::kWidth;
            for (std::size_t i = 0; i < count; ++i) {
                const double v = std::clamp(static_cast<double>(in[i]), lo, hi);
                Codec::Write(p + i * blockAlign,
                             static_cast<std::int64_t>(v + (v < 0.0 ? -0.5 : 0.5)));
            }
        }
    }
}

using RunEncoder = TrimStage::RunEncoder;

// The encoder of a stream's outputs, chosen once for its format.
RunEncoder EncoderFor(unsigned channels, unsigned width) {
    if (channels == 1 && width == 2) {
        // Little-endian, as Signed16 writes.
        return [](const float* runs, std::size_t count, unsigned, unsigned char* dst) {
            EncodeMono16(runs, count, dst);
        };
    }
    switch (width) {
        case 0:
            return EncodeRuns<Float32>;
        case 1:
            return EncodeRuns<Unsigned8>;
        case 2:
            return EncodeRuns<Signed16>;
        case 3:
            return EncodeRuns<Signed24>;
        default:
            return EncodeRuns<Signed32>;
    }
}

// The runs Make planned, and what making their outputs reads and writes.
struct RunJob {
    const RunPlan* plans;
    int planned;
    float fstep;           // each output's step past the one before
    float* const* planes;  // the input, one plane per channel
    unsigned channels;
    std::size_t blockAlign;
    float* out;  // a run's outputs, kLongRun floats a channel
    RunEncoder encode;
    // A mono 16-bit stream's input as integers (from the planes' start),
    // or null.
    const std::int16_t* samples;
    const Kernels* kernels;
    RunKernel kernel;  // for runs summed in floats
    int run;           // outputs a run
};

// Makes the planned runs' outputs into dst; returns how many it made.
using RunMaker = std::size_t (*)(const RunJob&, unsigned char*);

// Long runs of a mono 16-bit stream from integers, each run in one step:
// the samples of all the runs converted at once (unless they came so).
std::size_t MakeMono16Runs(const RunJob& job, unsigned char* dst) {
    alignas(32) std::int16_t converted[kBatchReach];
    const std::int16_t* x = job.samples;
    std::size_t from = 0;
    if (x == nullptr) {
        from = job.plans[0].from;
        ToInt16(job.planes[0] + from, job.plans[job.planned - 1].from + kLongReach - from,
                converted);
        x = converted;
    }
    const Mono16Kernel kernel = job.kernels->mono16;
    std::size_t made = 0;
    for (int r = 0; r < job.planned; ++r) {
        const RunPlan& plan = job.plans[r];
        kernel(x + (plan.from - from), *plan.phase, plan.first, job.fstep, plan.count,
               dst + made * job.blockAlign);
        made += plan.count;
    }
    return made;
}

// Long runs of a 16-bit stream, summed in integers channel by channel.
std::size_t MakeInt16Runs(const RunJob& job, unsigned char* dst) {
    alignas(32) std::int16_t samples[kLongReach];
    const Long16Kernel kernel = job.kernels->long16;
    std::size_t made = 0;
    for (int r = 0; r < job.planned; ++r) {
        const RunPlan& plan = job.plans[r];
        for (unsigned c = 0; c < job.channels; ++c) {
            ToInt16(job.planes[c] + plan.from, kLongReach, samples);
            kernel(samples, *plan.phase, plan.first, job.fstep,
                   job.out + std::size_t{c} * TrimStage::kLongRun);
        }
        job.encode(job.out, plan.count, job.channels, dst + made * job.blockAlign);
        made += plan.count;
    }
    return made;
}

// Runs summed in floats, channel by channel.
std::size_t MakeFloatRuns(const RunJob& job, unsigned char* dst) {
    float offsets[TrimStage::kLongRun];
    std::size_t made = 0;
    for (int r = 0; r < job.planned; ++r) {
        const RunPlan& plan = job.plans[r];
        for (int j = 0; j < job.run; ++j) {
            offsets[j] = plan.first + job.fstep * static_cast<float>(j);
        }
        for (unsigned c = 0; c < job.channels; ++c) {
            job.kernel(job.planes[c] + plan.from, *plan.phase, offsets,
                       job.out + std::size_t{c} * TrimStage::kLongRun);
        }
        job.encode(job.out, plan.count, job.channels, dst + made * job.blockAlign);
        made += plan.count;
    }
    return made;
}

}  // namespace

TrimStage::TrimStage(const PcmFormat& format)
    : format_(format),
      channels_(format.channels),
      width_(format.isFloat ? 0 : format.BytesPerSample()),
      scale_(format.isFloat
                 ? 1.0f
                 : static_cast<float>(std::ldexp(1.0, static_cast<int>(format.bitsPerSample) - 1))),
      planes_(format.channels, std::vector<float>(PlaneStart(format.channels), 0.0f)),
      reserved_(PlaneStart(format.channels)),
      quietBlocks_(std::max<std::size_t>(
          1, static_cast<std::size_t>(kQuietMs * format.samplesPerSec / 1000.0))),
      quietLimit_(static_cast<float>(kQuietLevel) * scale_),
      out_(std::size_t{kLongRun} * format.channels),
      work_(format.channels),
      encode_(EncoderFor(channels_, width_)) {
    WorkOnKept();
    Table();
    TheKernels();
}

std::size_t TrimStage::PlaneStart(unsigned channels) {
    return std::max<std::size_t>(kHalf, kInlineSamples / channels);
}

void TrimStage::WorkOnKept() {
    for (unsigned c = 0; c < channels_; ++c) {
        work_[c] = KeptPlane(c);
    }
}

void TrimStage::Spill() {
    if (!inline_) {
        return;
    }
    // The planes were made large enough for it (PlaneStart).
    for (unsigned c = 0; c < channels_; ++c) {
        const float* const kept = inlineKept_ + c * InlineStride();
        std::copy(kept, kept + used_, planes_[c].data());
    }
    inline_ = false;
    WorkOnKept();
}

void TrimStage::SetTrim(std::int32_t ppm) {
    trimPpm_ = std::clamp(ppm, -kMaxTrimPpm, kMaxTrimPpm);
    ratioFixed_ = static_cast<std::uint64_t>(std::llround((1.0 + trimPpm_ * 1e-6) * 0x1p32));
    ratio_ = static_cast<double>(ratioFixed_) * 0x1p-32;
}

void TrimStage::Prime(const unsigned char* history, std::size_t blocks) {
    const std::size_t used = std::min<std::size_t>(blocks, kHalf);
    if (used == 0 || used_ != kHalf || index_ != kHalf) {
        return;
    }
    const std::size_t blockAlign = format_.BlockAlign();
    Decode(history + (blocks - used) * blockAlign, used, kHalf - used);
}

void TrimStage::Decode(const unsigned char* data, std::size_t blocks, std::size_t at) {
    if (channels_ == 1 && width_ == 2) {
        TheKernels().decodeMono16(data, blocks, work_[0] + at);
        return;
    }
    switch (width_) {
        case 0:
            DecodePlanes<Float32>(data, blocks, channels_, work_.data(), at);
            break;
        case 1:
            DecodePlanes<Unsigned8>(data, blocks, channels_, work_.data(), at);
            break;
        case 2:
            DecodePlanes<Signed16>(data, blocks, channels_, work_.data(), at);
            break;
        case 3:
            DecodePlanes<Signed24>(data, blocks, channels_, work_.data(), at);
            break;
        default:
            DecodePlanes<Signed32>(data, blocks, channels_, work_.data(), at);
            break;
    }
}

bool TrimStage::Push(const unsigned char* data, std::size_t blocks) {
    if (blocks == 0) {
        return true;
    }
    Spill();
    Compact();
    const std::size_t at = used_;
    if (!Reserve(at + blocks)) {
        return false;
    }
    used_ = at + blocks;
    Decode(data, blocks, at);
    return true;
}

bool TrimStage::PushPull(const unsigned char* data, std::size_t blocks, unsigned char* dst,
                         std::size_t maxBlocks, std::size_t* made) {
    *made = 0;
    // What the next output still reads, and the input after it.
    const std::size_t drop = index_ - kHalf;
    const std::size_t kept = used_ - drop;
    const std::size_t total = kept + blocks;
    const std::size_t stride = kStackSamples / channels_;
    if (blocks == 0 || total > stride) {
        if (!Push(data, blocks)) {
            return false;
        }
        *made = Pull(dst, maxBlocks);
        return true;
    }
    // The planes can take back all of it, so that what is left over goes
    // back without allocating.
    if (!Reserve(total)) {
        return false;
    }
    if (shedBudget_ == 0 && Mono16Runs()) {
        *made = PushPullMono16(data, blocks, dst, maxBlocks);
        return true;
    }
    alignas(64) float stack[kStackSamples];
    for (unsigned c = 0; c < channels_; ++c) {
        const float* from = work_[c] + drop;
        std::copy(from, from + kept, stack + std::size_t{c} * stride);
        work_[c] = stack + std::size_t{c} * stride;
    }
    Forget(drop);
    Decode(data, blocks, kept);
    used_ = total;
    *made = Make(dst, maxBlocks, false);
    // What the next output reads goes back into the stage: inside it when
    // it fits (the usual few dozen samples, beside the fields the stage reads
    // anyway, so that a stream in steady flow touches no heap block of its
    // own), else into the planes.
    const std::size_t passed = index_ - kHalf;
    inline_ = used_ - passed <= InlineStride();
    for (unsigned c = 0; c < channels_; ++c) {
        std::copy(work_[c] + passed, work_[c] + used_, KeptPlane(c));
    }
    Forget(passed);
    WorkOnKept();
    return true;
}

bool TrimStage::Mono16Runs() const {
    return channels_ == 1 && width_ == 2 && std::abs(trimPpm_) <= kLongRunPpm &&
           TheKernels().mono16 != nullptr;
}

std::size_t TrimStage::PushPullMono16(const unsigned char* data, std::size_t blocks,
                                      unsigned char* dst, std::size_t maxBlocks) {
    // The samples the next output reads as integers, then the block as it
    // came, filtered from there; the rest back as floats.
    const std::size_t drop = index_ - kHalf;
    const std::size_t kept = used_ - drop;
    alignas(32) std::int16_t samples[kStackSamples];
    ToInt16(work_[0] + drop, kept, samples);
    std::memcpy(samples + kept, data, blocks * 2);  // little-endian, as Signed16 reads
    Forget(drop);
    used_ = kept + blocks;
    const std::size_t made = Make(dst, maxBlocks, false, samples);
    const std::size_t passed = index_ - kHalf;
    inline_ = used_ - passed <= InlineStride();
    float* const keptPlane = KeptPlane(0);
    for (std::size_t i = passed; i < used_; ++i) {
        keptPlane[i - passed] = samples[i];
    }
    Forget(passed);
    WorkOnKept();
    return made;
}

void TrimStage::Forget(std::size_t drop) {
    used_ -= drop;
    index_ -= drop;
    quietAfter_ = quietAfter_ > drop ? quietAfter_ - drop : 0;
}

bool TrimStage::Reserve(std::size_t samples) {
    if (samples <= reserved_) {
        return true;
    }
    // Every plane: a failure part way leaves the first ones grown.
    try {
        for (auto& plane : planes_) {
            if (plane.size() < samples) {
                plane.resize(std::max(samples, 2 * plane.size()));
            }
        }
    } catch (const std::bad_alloc&) {
        WorkOnKept();
        return false;  // the planes may have grown, but nothing else changed
    }
    reserved_ = std::min_element(planes_.begin(), planes_.end(),
                                 [](const std::vector<float>& a, const std::vector<float>& b) {
                                     return a.size() < b.size();
                                 })
                    ->size();
    WorkOnKept();
    return true;
}

void TrimStage::Compact() {
    // Keep the filter's reach behind the read position; drop the rest once
    // it is worth the move (what is left is usually a few samples).
    if (index_ < kHalf + 256) {
        return;
    }
    const std::size_t drop = index_ - kHalf;
    for (auto& plane : planes_) {
        std::copy(plane.begin() + static_cast<std::ptrdiff_t>(drop),
                  plane.begin() + static_cast<std::ptrdiff_t>(used_), plane.begin());
    }
    Forget(drop);
}

bool TrimStage::Loud(std::size_t i) const {
    for (const float* plane : work_) {
        if (std::fabs(plane[i]) > quietLimit_) {
            return true;
        }
    }
    return false;
}

void TrimStage::ShedQuiet() {
    if (index_ < quietAfter_) {
        return;  // a loud sample lies within the reach of the next output
    }
    const std::size_t size = used_;
    const std::size_t first = index_ - kHalf;
    // The next output's reach and quietBlocks_ past it must be quiet.
    const std::size_t last = index_ + kHalf + 1 + quietBlocks_;
    if (last >= size) {
        return;  // not yet known
    }
    for (std::size_t i = last + 1; i-- > first;) {
        if (Loud(i)) {
            quietAfter_ = i + kHalf + 1;
            return;
        }
    }
    // Quiet: skip as much of it as the budget allows, keeping the reach of
    // the output after the skip inside it.
    std::size_t end = last + 1;
    const std::size_t limit = std::min(size, index_ + kHalf + 2 + shedBudget_);
    while (end < limit && !Loud(end)) {
        ++end;
    }
    const std::size_t skip = std::min(end - (index_ + kHalf + 2), shedBudget_);
    index_ += skip;
    shedBudget_ -= skip;
    shed_ += skip;
}

std::size_t TrimStage::Pull(unsigned char* dst, std::size_t maxBlocks) {
    return Make(dst, maxBlocks, false);
}

std::size_t TrimStage::Drain(unsigned char* dst, std::size_t maxBlocks) {
    Spill();
    const std::size_t end = used_;
    // Silence past the end, for the filter's reach of the last run.
    if (!Reserve(end + kLongRun + kTaps)) {
        return 0;
    }
    for (auto& plane : planes_) {
        std::fill(plane.begin() + static_cast<std::ptrdiff_t>(end),
                  plane.begin() + static_cast<std::ptrdiff_t>(end + kLongRun + kTaps), 0.0f);
    }
    // Outputs whose position lies before the end.
    std::size_t made = 0;
    while (made < maxBlocks && index_ < end) {
        const double left = static_cast<double>(end) - static_cast<double>(index_) - Fraction();
        const auto due = static_cast<std::size_t>(std::ceil(left / ratio_));
        const std::size_t want = std::min({maxBlocks - made, due, std::size_t{kLongRun}});
        if (want == 0) {
            break;
        }
        made += Make(dst + made * format_.BlockAlign(), want, true);
    }
    if (made < maxBlocks) {
        // All written: afresh, with a silent past.
        for (auto& plane : planes_) {
            std::fill(plane.begin(), plane.begin() + kHalf, 0.0f);
        }
        used_ = kHalf;
        index_ = kHalf;
        frac_ = 0;
        quietAfter_ = 0;
    }
    return made;
}

std::size_t TrimStage::HeldBackBlocks() const {
    const double left = static_cast<double>(used_) - static_cast<double>(index_) - Fraction();
    return left > 0 ? static_cast<std::size_t>(std::ceil(left / ratio_)) : 0;
}

std::size_t TrimStage::Make(unsigned char* dst, std::size_t maxBlocks, bool draining,
                            const std::int16_t* samplesIn) {
    const Phase* const table = Table().phases.data();
    const Kernels& kernels = TheKernels();
    // Drain reads the silence Drain put past the input.
    const std::size_t reach = draining ? used_ + kLongRun + kTaps : used_;
    // Small trims (within +-kLongRunPpm) make kLongRun outputs per phase
    // with a first-order step, larger ones kRun with a second. A 16-bit
    // stream's long runs are summed in integers.
    const bool longRun = std::abs(trimPpm_) <= kLongRunPpm;
    const RunMaker makeRuns = Mono16Runs()             ? MakeMono16Runs
                              : longRun && width_ == 2 ? MakeInt16Runs
                                                       : MakeFloatRuns;
    RunPlan plans[kRunsAhead];
    RunJob job{plans,
               0,
               static_cast<float>(ratio_ - 1.0),
               work_.data(),
               channels_,
               format_.BlockAlign(),
               out_.data(),
               encode_,
               samplesIn,
               &kernels,
               longRun ? kernels.longRun : kernels.runOfEight,
               longRun ? kLongRun : kRun};
    std::size_t made = 0;
    while (made < maxBlocks) {
        // Shedding may move the read position before any run: then the runs
        // are planned one at a time.
        const bool shedding = shedBudget_ > 0 && !draining;
        if (shedding) {
            ShedQuiet();
        }
        // The runs are planned first, so that the position's steps (a chain
        // of dependent operations) do not wait for the filter.
        std::size_t index = index_;
        std::uint64_t frac = frac_;
        job.planned = PlanRuns(index, frac, ratioFixed_, job.run, reach, maxBlocks - made,
                               shedding ? 1 : kRunsAhead, table, plans);
        if (job.planned == 0) {
            break;
        }
        index_ = index;
        frac_ = frac;
        made += makeRuns(job, dst + made * job.blockAlign);
    }
    return made;
}

}  // namespace _Carovel
