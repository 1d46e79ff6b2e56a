#include "mixcore/limiter.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "pcm/sample_codec.h"

namespace _Carovel {
namespace {

// The release covers this share of the way back to 1 in the configured
// release time: 1 - exp(-3).
constexpr double kReleaseTimeConstants = 3.0;

// Magnitudes of wide values: 64 bits for sums of up to 64 bits, else 128.
template <typename Acc>
using MagnitudeOf = std::conditional_t<(sizeof(Acc) > 8), Acc, std::int64_t>;

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
        for (std::size_t j = 0; j + 1 < len; ++j) {
            blockGain[first + j] =
                g + (end - g) * static_cast<double>(j + 1) / static_cast<double>(len);
        }
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
    }
}

}  // namespace

bool LimiterSettingsValid(const LimiterSettings& s) {
    return s.channels > 0 && s.samplesPerSec > 0 && s.thresholdDbfs >= -60.0f &&
           s.thresholdDbfs <= 0.0f && s.releaseMs >= 1.0f && s.releaseMs <= 10000.0f;
}

LimiterShape MakeLimiterShape(const LimiterSettings& s, unsigned bytesPerSample) {
    LimiterShape shape;
    shape.channels = s.channels;
    shape.blocksPerStep = std::max(1u, s.samplesPerSec / 1000);
    const double tau = static_cast<double>(s.releaseMs) / 1000.0 / kReleaseTimeConstants;
    shape.stepRelease = std::exp(-static_cast<double>(shape.blocksPerStep) /
                                 (tau * static_cast<double>(s.samplesPerSec)));
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
