// THD+N of a mix that overloads: two in-phase sines at 0.8 of full scale
// each (a sum of 1.6), mixed by the frame mixer with the plain clamp and
// with the limiter, and the number of samples at full scale in each.
//
// THD+N is measured as the power of everything but the fundamental (found
// by a least-squares fit of a sine and cosine at the known frequency plus an
// offset) relative to the fundamental's power, over the signal after the
// first half second (so the limiter has settled).
//
// Usage: carovel_limiter_thd [--hz F] [--rate R] [--seconds S]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "carovel/wave_mix.h"

namespace {

using _Carovel::CWaveMix;
using _Carovel::LimiterSettings;

struct Options {
    double hz = 997.0;
    unsigned rate = 48000;
    double seconds = 3.0;
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--hz") == 0) {
            o.hz = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--rate") == 0) {
            o.rate = static_cast<unsigned>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            o.seconds = std::atof(argv[i + 1]);
        } else {
            std::fprintf(stderr, "usage: %s [--hz F] [--rate R] [--seconds S]\n", argv[0]);
            std::exit(2);
        }
    }
    return o;
}

// The mix of two copies of a 0.8 full-scale sine, 20 ms frames, 16-bit.
std::vector<std::int16_t> MixSines(const Options& o, bool limiter) {
    CWaveMix wm;
    wm.Init(2);
    LimiterSettings settings;
    settings.samplesPerSec = o.rate;
    if (limiter) {
        wm.SetLimiter(true, settings);
    }
    const std::size_t frame = o.rate / 50;
    const auto total = static_cast<std::size_t>(o.seconds * o.rate) / frame * frame;
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> samples(frame);
    std::vector<char> bytes(frame * 2);
    std::vector<char> master(frame * 2);
    std::vector<char> mix(frame * 2);
    for (std::size_t base = 0; base < total; base += frame) {
        for (std::size_t i = 0; i < frame; ++i) {
            const double t = static_cast<double>(base + i) / o.rate;
            samples[i] = static_cast<std::int16_t>(
                std::lround(0.8 * 32767.0 * std::sin(2 * M_PI * o.hz * t)));
        }
        std::memcpy(bytes.data(), samples.data(), bytes.size());  // little-endian host
        wm.AddFrame(0, bytes.data(), static_cast<int>(bytes.size()), nullptr);
        wm.AddFrame(1, bytes.data(), static_cast<int>(bytes.size()), nullptr);
        int masterLen = static_cast<int>(master.size());
        int mixLen = static_cast<int>(mix.size());
        wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(mixLen) / 2);
        std::memcpy(out.data() + at, mix.data(), static_cast<std::size_t>(mixLen));
    }
    return out;
}

struct Measure {
    double thdnDb;
    double fundamentalDbfs;
    std::size_t fullScale;
};

Measure Analyse(const Options& o, const std::vector<std::int16_t>& x) {
    Measure m{};
    for (const std::int16_t v : x) {
        m.fullScale += (v == 32767 || v == -32768) ? 1 : 0;
    }
    // Least squares for a*sin + b*cos + c over the analysed part.
    const std::size_t from = o.rate / 2;
    double s[3][3] = {};
    double r[3] = {};
    for (std::size_t i = from; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / o.rate;
        const double basis[3] = {std::sin(2 * M_PI * o.hz * t), std::cos(2 * M_PI * o.hz * t), 1.0};
        for (int a = 0; a < 3; ++a) {
            r[a] += basis[a] * x[i];
            for (int b = 0; b < 3; ++b) {
                s[a][b] += basis[a] * basis[b];
            }
        }
    }
    // Gaussian elimination on the 3x3 normal equations.
    for (int p = 0; p < 3; ++p) {
        for (int q = p + 1; q < 3; ++q) {
            const double f = s[q][p] / s[p][p];
            for (int k = p; k < 3; ++k) {
                s[q][k] -= f * s[p][k];
            }
            r[q] -= f * r[p];
        }
    }
    double coef[3];
    for (int p = 2; p >= 0; --p) {
        double v = r[p];
        for (int k = p + 1; k < 3; ++k) {
            v -= s[p][k] * coef[k];
        }
        coef[p] = v / s[p][p];
    }
    double fundamental = 0.0;
    double residual = 0.0;
    for (std::size_t i = from; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / o.rate;
        const double f =
            coef[0] * std::sin(2 * M_PI * o.hz * t) + coef[1] * std::cos(2 * M_PI * o.hz * t);
        fundamental += f * f;
        const double e = x[i] - f - coef[2];
        residual += e * e;
    }
    m.thdnDb = 10.0 * std::log10(residual / fundamental);
    const double amplitude = std::hypot(coef[0], coef[1]);
    m.fundamentalDbfs = 20.0 * std::log10(amplitude / 32767.0);
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    std::printf(
        "two in-phase %.0f Hz sines at 0.8 of full scale each, %u Hz 16-bit, %.1f s,\n"
        "20 ms frames; measured after the first 0.5 s\n\n",
        o.hz, o.rate, o.seconds);
    std::printf("%-10s %10s %16s %22s\n", "mix", "THD+N dB", "fundamental dBFS",
                "samples at full scale");
    const Measure clamp = Analyse(o, MixSines(o, false));
    const Measure limited = Analyse(o, MixSines(o, true));
    std::printf("%-10s %10.1f %16.2f %22zu\n", "clamp", clamp.thdnDb, clamp.fundamentalDbfs,
                clamp.fullScale);
    std::printf("%-10s %10.1f %16.2f %22zu\n", "limiter", limited.thdnDb, limited.fundamentalDbfs,
                limited.fullScale);
    std::printf("\nthe limiter's THD+N is %.1f dB below the clamp's\n",
                clamp.thdnDb - limited.thdnDb);
    return 0;
}
