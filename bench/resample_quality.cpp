// The converter's resampling quality on five conversions, with each of its
// resamplers: Resampler::kFast (libsoxr) beside the default kLowLatency
// (speexdsp at quality 5, or the upsampler where the rate rises by a whole
// factor): passband flatness up to 0.9 of the
// lower rate's Nyquist frequency, the rejection of aliases (rate lowered) or
// images (rate raised), and THD+N of a 1 kHz tone. 16-bit streams end to end,
// as the mixer converts them.
//
//   carovel_resample_quality
//
// Tones at 0.9 of full scale, one second each; the first and last 100 ms are
// left out of every fit. A level is the amplitude of a least-squares sine fit
// at the frequency looked for, so the 16-bit rounding noise spread over the
// band barely counts in the rejection figures (it does in THD+N).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "convert/convert_stream.h"

namespace {

using _Carovel::ConvertStream;
using _Carovel::PcmFormat;
using _Carovel::Resampler;

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 0.9 * 32767;

struct Conversion {
    const char* name;
    PcmFormat src;
    PcmFormat dst;
};

// Converts one second of a tone at hz (every source channel alike) and
// returns the first destination channel.
std::vector<double> Convert(const Conversion& c, Resampler kind, double hz) {
    const auto stream = ConvertStream::Create(c.src, c.dst, kind);
    std::vector<unsigned char> in;
    for (unsigned n = 0; n < c.src.samplesPerSec; ++n) {
        const auto v = static_cast<std::int16_t>(
            std::lround(kAmplitude * std::sin(2 * kPi * hz * n / c.src.samplesPerSec)));
        for (unsigned ch = 0; ch < c.src.channels; ++ch) {
            in.push_back(static_cast<unsigned char>(v & 0xFF));
            in.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
        }
    }
    std::vector<unsigned char> out(4u * c.dst.BlockAlign() * c.dst.samplesPerSec);
    std::size_t used = 0;
    std::size_t made = 0;
    while (used < in.size()) {
        const auto r =
            stream->Step(in.data() + used, in.size() - used, out.data() + made, out.size() - made);
        used += r.used;
        made += r.produced;
        if (r.used == 0 && r.produced == 0) {
            break;
        }
    }
    for (;;) {
        const auto r = stream->Drain(out.data() + made, out.size() - made);
        if (r.produced == 0) {
            break;
        }
        made += r.produced;
    }
    std::vector<double> y;
    for (std::size_t b = 0; b + c.dst.BlockAlign() <= made; b += c.dst.BlockAlign()) {
        y.push_back(static_cast<std::int16_t>(out[b] | (out[b + 1] << 8)));
    }
    return y;
}

struct Fit {
    double amplitude;
    double residualEnergy;
    double count;
};

// Least-squares fit of a sine (a sin + b cos) at each of hz, plus dc, over
// the steady middle; the amplitude is that of the first. Fitting the tone fed
// beside the one looked for matters: a lone fit at a frequency f2 over a
// window that holds no whole number of periods of a strong tone at f1 picks
// up about 1 / (2 pi |f2 - f1| T) of it (-77 dB for 1.4 kHz apart over
// 0.8 s), far above what a resampler leaves there.
Fit FitTones(const std::vector<double>& y, const std::vector<double>& hz, unsigned rate) {
    const std::size_t from = rate / 10;
    const std::size_t to = y.size() > rate / 10 ? y.size() - rate / 10 : 0;
    const std::size_t k = 2 * hz.size() + 1;
    std::vector<double> m(k * (k + 1), 0.0);
    const auto at = [&m, k](std::size_t r, std::size_t c) -> double& { return m[r * (k + 1) + c]; };
    std::vector<double> x(k);
    const auto basis = [&](std::size_t n) {
        for (std::size_t i = 0; i < hz.size(); ++i) {
            x[2 * i] = std::sin(2 * kPi * hz[i] * n / rate);
            x[2 * i + 1] = std::cos(2 * kPi * hz[i] * n / rate);
        }
        x[k - 1] = 1.0;
    };
    for (std::size_t n = from; n < to; ++n) {
        basis(n);
        for (std::size_t r = 0; r < k; ++r) {
            for (std::size_t c = 0; c < k; ++c) {
                at(r, c) += x[r] * x[c];
            }
            at(r, k) += x[r] * y[n];
        }
    }
    // Gauss-Jordan elimination; the normal equations are well conditioned
    // for frequencies more than a few hertz apart.
    for (std::size_t col = 0; col < k; ++col) {
        for (std::size_t r = 0; r < k; ++r) {
            if (r != col && at(col, col) != 0) {
                const double f = at(r, col) / at(col, col);
                for (std::size_t c = col; c <= k; ++c) {
                    at(r, c) -= f * at(col, c);
                }
            }
        }
    }
    std::vector<double> coef(k);
    for (std::size_t r = 0; r < k; ++r) {
        coef[r] = at(r, r) != 0 ? at(r, k) / at(r, r) : 0;
    }
    double residual = 0;
    for (std::size_t n = from; n < to; ++n) {
        basis(n);
        double model = 0;
        for (std::size_t r = 0; r < k; ++r) {
            model += coef[r] * x[r];
        }
        residual += (y[n] - model) * (y[n] - model);
    }
    return {std::hypot(coef[0], coef[1]), residual, static_cast<double>(to - from)};
}

Fit FitTone(const std::vector<double>& y, double hz, unsigned rate) {
    return FitTones(y, {hz}, rate);
}

// Where a tone at hz lands at the given rate (folded into [0, rate / 2]).
double Fold(double hz, double rate) {
    double f = std::fmod(hz, rate);
    return f > rate / 2 ? rate - f : f;
}

struct Row {
    double gainMin = 1e9, gainMax = -1e9;
    double rejection = 1e9;
    double worstAt = 0;
    double thdN = 0;
};

Row Measure(const Conversion& c, Resampler kind) {
    Row row;
    const double inRate = c.src.samplesPerSec;
    const double outRate = c.dst.samplesPerSec;
    const double lowNyquist = std::min(inRate, outRate) / 2;
    // Passband: 40 tones from 50 Hz to 0.9 of the lower Nyquist frequency.
    for (int i = 0; i <= 40; ++i) {
        const double hz = 50 + (0.9 * lowNyquist - 50) * i / 40.0 + (i == 40 ? 0 : 0.37);
        const Fit f = FitTone(Convert(c, kind, hz), hz, c.dst.samplesPerSec);
        const double db = 20 * std::log10(f.amplitude / kAmplitude);
        row.gainMin = std::min(row.gainMin, db);
        row.gainMax = std::max(row.gainMax, db);
    }
    // Rejection: tones whose aliases (rate lowered: tones above the output's
    // Nyquist frequency) or images (rate raised: reflections of the tones
    // about multiples of the input rate, below the output's Nyquist
    // frequency) fall inside the output's band, 20 Hz clear of its edges.
    for (int i = 0; i < 60; ++i) {
        std::vector<double> hz;
        std::vector<double> at;
        if (outRate < inRate) {
            const double f = outRate / 2 + 25 + (inRate / 2 - outRate / 2 - 50) * i / 59.0 + 0.37;
            hz.push_back(f);
            at.push_back(Fold(f, outRate));
        } else {
            const double f = 25 + (inRate / 2 - 50) * i / 59.0 + 0.37;
            for (double k = 1; k * inRate - f < outRate / 2; ++k) {
                hz.push_back(f);
                at.push_back(k * inRate - f);
                if (k * inRate + f < outRate / 2) {
                    hz.push_back(f);
                    at.push_back(k * inRate + f);
                }
            }
        }
        for (std::size_t j = 0; j < hz.size(); ++j) {
            if (at[j] < 20 || at[j] > outRate / 2 - 20) {
                continue;
            }
            // The image or alias, fitted beside the tone where the tone
            // itself lies in the output's band.
            std::vector<double> fitted{at[j]};
            if (hz[j] < outRate / 2 - 20 && std::fabs(hz[j] - at[j]) > 5) {
                fitted.push_back(hz[j]);
            }
            const Fit f = FitTones(Convert(c, kind, hz[j]), fitted, c.dst.samplesPerSec);
            const double db = 20 * std::log10(kAmplitude / std::max(f.amplitude, 1e-9));
            if (db < row.rejection) {
                row.rejection = db;
                row.worstAt = hz[j];
            }
        }
    }
    // THD+N of 1 kHz.
    const Fit f = FitTone(Convert(c, kind, 1000), 1000, c.dst.samplesPerSec);
    const double signal = f.amplitude * f.amplitude / 2 * f.count;
    row.thdN = 10 * std::log10(f.residualEnergy / signal);
    return row;
}

// The public choice and the resampler it takes between the two rates.
const char* Name(Resampler kind, const Conversion& c) {
    if (kind == Resampler::kFast) {
        return "kFast (libsoxr MQ)";
    }
    switch (ConvertStream::EngineFor(kind, c.src.samplesPerSec, c.dst.samplesPerSec)) {
        case ConvertStream::Engine::kUpsampler:
            return "kLowLatency (upsampler)";
        case ConvertStream::Engine::kSpeex:
            return "kLowLatency (speexdsp 5)";
        default:
            return "kLowLatency (libsoxr)";
    }
}

}  // namespace

int main() {
    const Conversion conversions[] = {
        {"48 kHz stereo -> 8 kHz mono", {2, 48000, 16}, {1, 8000, 16}},
        {"44.1 kHz stereo -> 48 kHz stereo", {2, 44100, 16}, {2, 48000, 16}},
        {"16 kHz mono -> 48 kHz mono", {1, 16000, 16}, {1, 48000, 16}},
        {"8 kHz mono -> 16 kHz mono", {1, 8000, 16}, {1, 16000, 16}},
        {"8 kHz mono -> 48 kHz mono", {1, 8000, 16}, {1, 48000, 16}},
    };
    std::printf(
        "| conversion | resampler | passband to 0.9 Nyquist (dB) | alias/image rejection (dB) "
        "| THD+N of 1 kHz at -0.9 dBFS (dB) |\n| --- | --- | --- | --- | --- |\n");
    for (const Conversion& c : conversions) {
        for (const auto kind : {Resampler::kFast, Resampler::kLowLatency}) {
            const Row r = Measure(c, kind);
            std::printf("| %s | %s | %+.2f .. %+.2f | %.1f (tone at %.0f Hz) | %.1f |\n", c.name,
                        Name(kind, c), r.gainMin, r.gainMax, r.rejection, r.worstAt, r.thdN);
        }
    }
    return 0;
}
