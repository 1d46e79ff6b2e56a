#include "mixcore/limiter.h"

#include <algorithm>
#include <cmath>

#include "pcm/sample_codec.h"

namespace _Carovel {
namespace {

// The release covers this share of the way back to 1 in the configured
// release time: 1 - exp(-3).
constexpr double kReleaseTimeConstants = 3.0;

template <typename Acc>
double Magnitude(Acc v) {
    return v < 0 ? -static_cast<double>(v) : static_cast<double>(v);
}

// Rounds to the nearest integer, halves away from zero.
std::int64_t RoundHalfAway(double v) {
    return static_cast<std::int64_t>(v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5));
}

template <typename Codec, typename Acc, bool Scaled>
void Limit(const LimiterShape& shape, WideKind kind, const Acc* v, std::size_t total,
           unsigned char* out, double& gainState, std::vector<double>& gains) {
    const double unit = Scaled ? 65536.0 : 1.0;
    const std::size_t channels = shape.channels;
    const std::size_t stepSamples = std::size_t{shape.blocksPerStep} * channels;
    const std::size_t steps = (total + stepSamples - 1) / stepSamples;

    // Peaks of every step, in whole-sample units; gains holds them for now.
    gains.resize(steps + (total + channels - 1) / channels);
    double* const envelope = gains.data();
    bool over = false;
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t from = k * stepSamples;
        const std::size_t to = std::min(total, from + stepSamples);
        double peak = 0.0;
        for (std::size_t i = from; i < to; ++i) {
            peak = std::max(peak, Magnitude(v[i]));
        }
        peak /= unit;
        over = over || peak > shape.ceiling;
        envelope[k] = peak > shape.ceiling ? shape.ceiling / peak : 1.0;
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
        g = end;
    }
    gainState = g;

    for (std::size_t i = 0; i < total; ++i) {
        const double bg = blockGain[i / channels];
        std::int64_t sample = 0;
        if (bg == 1.0) {
            // Exactly the plain sum, rounded once and clamped.
            Acc w = v[i];
            if constexpr (Scaled) {
                const Acc sign = w < 0 ? Acc{-1} : Acc{0};
                w = ((((w ^ sign) - sign) + Acc{0x8000}) >> 16 ^ sign) - sign;
            }
            sample = static_cast<std::int64_t>(
                std::clamp<Acc>(w, static_cast<Acc>(Codec::kMin), static_cast<Acc>(Codec::kMax)));
        } else {
            sample = std::clamp<std::int64_t>(RoundHalfAway(static_cast<double>(v[i]) / unit * bg),
                                              Codec::kMin, Codec::kMax);
        }
        Codec::Write(out + i * Codec::kWidth, sample);
    }
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
