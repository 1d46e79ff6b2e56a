#include "engine/limiter.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "pcm/sample_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace _Carovel {
namespace {

// The release covers this share of the way back to 1 in the configured
// release time: 1 - exp(-3).
constexpr double kReleaseTimeConstants = 3.0;

// The gains of blocks j = 0 .. count - 1 of a step's straight line:
// g + (end - g) * (j + 1) / len, each rounded as written.
void LineGains(double g, double end, std::size_t len, std::size_t count, double* out) {
    const double rise = end - g;
    const auto length = static_cast<double>(len);
    std::size_t j = 0;
#if defined(__SSE2__)
    // Two at a time: the same operations on each lane, so the same values.
    const __m128d vg = _mm_set1_pd(g);
    const __m128d vrise = _mm_set1_pd(rise);
    const __m128d vlen = _mm_set1_pd(length);
    for (; j + 2 <= count; j += 2) {
        const __m128d index = _mm_set_pd(static_cast<double>(j + 2), static_cast<double>(j + 1));
        _mm_storeu_pd(out + j, _mm_add_pd(vg, _mm_div_pd(_mm_mul_pd(vrise, index), vlen)));
    }
#endif
    for (; j < count; ++j) {
        out[j] = g + rise * static_cast<double>(j + 1) / length;
    }
}

// Writes 16-bit samples of 32-bit sums times their gains, rounded once
// (halves away from zero) and clamped: the limiter's commonest output.
void ScaleTo16(const std::int32_t* v, const double* scale, std::size_t count, unsigned char* out) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d low = _mm_set1_pd(-32768.0);
    const __m128d high = _mm_set1_pd(32767.0);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d sign = _mm_set1_pd(-0.0);
    const auto round = [&](__m128i two, const double* gains) {
        __m128d y = _mm_mul_pd(_mm_cvtepi32_pd(two), _mm_loadu_pd(gains));
        y = _mm_min_pd(_mm_max_pd(y, low), high);
        return _mm_cvttpd_epi32(_mm_add_pd(y, _mm_or_pd(_mm_and_pd(y, sign), half)));
    };
    for (; i + 4 <= count; i += 4) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        const __m128i a = round(four, scale + i);
        const __m128i b = round(_mm_srli_si128(four, 8), scale + i + 2);
        const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi64(a, b), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * i), packed);
    }
#endif
    for (; i < count; ++i) {
        double y = static_cast<double>(v[i]) * scale[i];
        y = std::min(std::max(y, -32768.0), 32767.0);
        Signed16::Write(out + 2 * i, static_cast<std::int32_t>(y < 0 ? y - 0.5 : y + 0.5));
    }
}

// Magnitudes of wide values: 64 bits for sums of up to 64 bits, else 128;
// double for float sums.
template <typename Acc>
using MagnitudeOf = std::conditional_t<std::is_floating_point_v<Acc>, double,
                                       std::conditional_t<(sizeof(Acc) > 8), Acc, std::int64_t>>;

template <typename Codec, typename Acc, bool Scaled>
void Limit(const LimiterShape& shape, WideKind kind, const Acc* v, std::size_t total,
           unsigned char* out, double& gainState, std::vector<double>& gains) {
    using Magnitude = MagnitudeOf<Acc>;
    const double unit = Scaled ? 65536.0 : 1.0;
    const std::size_t channels = shape.channels;
    const std::size_t stepSamples = std::size_t{shape.blocksPerStep} * channels;
    const std::size_t steps = (total + stepSamples - 1) / stepSamples;
    const auto ceilingWide = static_cast<Magnitude>(shape.ceiling) * (Scaled ? 65536 : 1);

    // ceiling / peak of every step (1 where the peak stays at or below the
    // ceiling); gains holds them for now.
    gains.resize(steps + (total + channels - 1) / channels + std::min(stepSamples, total));
    double* const envelope = gains.data();
    bool over = false;
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t from = k * stepSamples;
        const std::size_t to = std::min(total, from + stepSamples);
        // The extremes first (a loop that vectorises), the magnitude after.
        Acc low = 0;
        Acc high = 0;
        for (std::size_t i = from; i < to; ++i) {
            low = std::min(low, v[i]);
            high = std::max(high, v[i]);
        }
        const Magnitude peak = std::max(-static_cast<Magnitude>(low), static_cast<Magnitude>(high));
        const bool stepOver = peak > ceilingWide;
        over = over || stepOver;
        envelope[k] = stepOver ? shape.ceiling / (static_cast<double>(peak) / unit) : 1.0;
    }
    if (!over && gainState == 1.0) {
        StoreWideMinus(v, kind, total, Codec::kWidth, nullptr, kUnityGain,
                       reinterpret_cast<char*>(out));
        return;
    }

    // The gain of every block: a straight line through each step.
    double* const blockGain = envelope + steps;
    const std::size_t blocks = (total + channels - 1) / channels;
    double g = std::min(gainState, envelope[0]);
    for (std::size_t k = 0; k < steps; ++k) {
        double released = 1.0 - (1.0 - g) * shape.stepRelease;
        if (1.0 - released < kLimiterSnap) {
            released = 1.0;
        }
        double end = std::min(released, envelope[k]);
        if (k + 1 < steps) {
            end = std::min(end, envelope[k + 1]);
        }
        const std::size_t first = k * shape.blocksPerStep;
        const std::size_t len = std::min<std::size_t>(shape.blocksPerStep, blocks - first);
        LineGains(g, end, len, len - 1, blockGain + first);
        blockGain[first + len - 1] = end;

        const std::size_t from = first * channels;
        const std::size_t to = std::min(total, (first + len) * channels);
        if (g == 1.0 && end == 1.0) {
            // The whole step at gain 1: exactly the plain sums.
            StoreWideMinus(v + from, kind, to - from, Codec::kWidth, nullptr, kUnityGain,
                           reinterpret_cast<char*>(out + from * Codec::kWidth));
        } else {
            // Each sample times its block's gain, rounded once. A block at
            // gain 1 comes out exactly as the plain sum here too: its sums
            // are at most the ceiling, so every step below is exact.
            // Scaling by 1 / unit (a power of 2) is exact, so the product
            // is rounded once as in sum / unit * gain.
            const double* scale = blockGain + first;
            if (channels > 1) {
                double* const expanded = blockGain + blocks;
                for (std::size_t b = first, i = 0; i < to - from; ++b) {
                    for (std::size_t c = 0; c < channels && i < to - from; ++c, ++i) {
                        expanded[i] = blockGain[b];
                    }
                }
                scale = expanded;
            }
            if constexpr (std::is_same_v<Codec, Signed16> && std::is_same_v<Acc, std::int32_t> &&
                          !Scaled) {
                // Unscaled sums need no division by the unit (it is 1).
                ScaleTo16(v + from, scale, to - from, out + from * Codec::kWidth);
                g = end;
                continue;
            }
            if constexpr (std::is_floating_point_v<Acc>) {
                // A float mix: each sum times its gain, written as float.
                for (std::size_t i = from; i < to; ++i) {
                    Codec::Write(out + i * Codec::kWidth,
                                 static_cast<float>(static_cast<double>(v[i]) * scale[i - from]));
                }
            } else {
                constexpr double kLow = static_cast<double>(Codec::kMin);
                constexpr double kHigh = static_cast<double>(Codec::kMax);
                const double inverseUnit = 1.0 / unit;
                for (std::size_t i = from; i < to; ++i) {
                    double y = static_cast<double>(v[i]) * scale[i - from] * inverseUnit;
                    y = std::min(std::max(y, kLow), kHigh);
                    const auto sample = static_cast<std::int32_t>(y < 0 ? y - 0.5 : y + 0.5);
                    Codec::Write(out + i * Codec::kWidth, sample);
                }
            }
        }
        g = end;
    }
    gainState = g;
}

template <typename Codec>
void LimitKind(const LimiterShape& shape, WideKind kind, const void* wide, std::size_t total,
               unsigned char* out, double& gainState, std::vector<double>& gains) {
    switch (kind) {
        case WideKind::k32:
            Limit<Codec, std::int32_t, false>(shape, kind, static_cast<const std::int32_t*>(wide),
                                              total, out, gainState, gains);
            break;
        case WideKind::k64:
            Limit<Codec, std::int64_t, false>(shape, kind, static_cast<const std::int64_t*>(wide),
                                              total, out, gainState, gains);
            break;
        case WideKind::k64Scaled:
            Limit<Codec, std::int64_t, true>(shape, kind, static_cast<const std::int64_t*>(wide),
                                             total, out, gainState, gains);
            break;
        case WideKind::k128Scaled:
            Limit<Codec, WideInt128, true>(shape, kind, static_cast<const WideInt128*>(wide), total,
                                           out, gainState, gains);
            break;
        case WideKind::kFloat:
            break;  // LimiterGain::Process takes float sums to Float32 itself
    }
}

}  // namespace

bool LimiterSettingsValid(const LimiterSettings& s) {
    return s.channels > 0 && s.samplesPerSec > 0 && s.thresholdDbfs >= -60.0f &&
           s.thresholdDbfs <= 0.0f && s.releaseMs >= 1.0f && s.releaseMs <= 10000.0f;
}

LimiterShape MakeLimiterShape(const LimiterSettings& s, unsigned bytesPerSample,
                              bool floatSamples) {
    LimiterShape shape;
    shape.channels = s.channels;
    shape.blocksPerStep = std::max(1u, s.samplesPerSec / 1000);
    const double tau = static_cast<double>(s.releaseMs) / 1000.0 / kReleaseTimeConstants;
    shape.stepRelease = std::exp(-static_cast<double>(shape.blocksPerStep) /
                                 (tau * static_cast<double>(s.samplesPerSec)));
    if (floatSamples) {
        shape.ceiling = std::pow(10.0, s.thresholdDbfs / 20.0);  // full scale 1.0
        return shape;
    }
    const unsigned width = IsSupportedWidth(bytesPerSample) ? bytesPerSample : 2;
    const double fullScale = std::ldexp(1.0, static_cast<int>(8 * width - 1)) - 1.0;
    shape.ceiling = std::floor(fullScale * std::pow(10.0, s.thresholdDbfs / 20.0));
    return shape;
}

void LimiterGain::Process(const LimiterShape& shape, const void* wide, WideKind kind,
                          std::size_t total, unsigned bytesPerSample, char* out,
                          std::vector<double>& blockGains) {
    if (total == 0) {
        return;
    }
    auto* dst = reinterpret_cast<unsigned char*>(out);
    if (kind == WideKind::kFloat) {
        Limit<Float32, float, false>(shape, kind, static_cast<const float*>(wide), total, dst,
                                     gain_, blockGains);
        return;
    }
    switch (bytesPerSample) {
        case 1:
            LimitKind<Unsigned8>(shape, kind, wide, total, dst, gain_, blockGains);
            break;
        case 2:
            LimitKind<Signed16>(shape, kind, wide, total, dst, gain_, blockGains);
            break;
        case 3:
            LimitKind<Signed24>(shape, kind, wide, total, dst, gain_, blockGains);
            break;
        default:
            LimitKind<Signed32>(shape, kind, wide, total, dst, gain_, blockGains);
            break;
    }
}

}  // namespace _Carovel
