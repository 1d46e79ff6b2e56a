// Drift trimming side by side: live mode's trim stage (a 16-tap windowed-sinc
// interpolator, 32 outputs per filter phase within 1000 ppm, fed by Push
// and Pull), speexdsp's resampler at
// quality 5 trimmed by speex_resampler_set_rate_frac (what live mode used
// before) and, when built with it, libsoxr's variable-rate mode (SOXR_VR,
// quality SOXR_HQ, ratio changed with soxr_set_io_ratio). Each trims a 1 kHz
// sine at -6 dBFS in 20 ms blocks of 16-bit mono, with the trim stepped
// every second through +-500 ppm (the spread of a conference's clocks), and
// reports the CPU time per second of audio (best of the repetitions, all
// three alternating in one run) and the tone's SNR against a sine of the
// trimmed pitch fitted to each second (see FitSnr), at 48 kHz and at 8 kHz.
// Under callgrind (see bench/README.md) the instructions of each compare
// more steadily than the shared machine's timings.
//
//   carovel_trim_compare [--seconds 20] [--repeats 5]
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef CAROVEL_HAVE_SOXR
#include <soxr.h>
#endif

#include "measure.h"
#include "mixer/live/trim_stage.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The trim of second s: a walk through -500..+500 ppm.
std::int32_t TrimAt(std::size_t second) {
    static const std::int32_t kTrims[] = {0, 500, -500, 250, -250, 499, -37, 120, -480, 333};
    return kTrims[second % (sizeof kTrims / sizeof kTrims[0])];
}

struct Outcome {
    double cpuSeconds = 0;
    double snrDb = 0;
};

// The tone's SNR: in the middle 0.6 s of every second (one trim each,
// whatever the trimmer's delay), y = a sin(w' i) + b cos(w' i) + c fitted by
// least squares at the trimmed pitch w' = w * ratio; the residual is the
// noise.
void FitSnr(const std::vector<std::int16_t>& out, std::size_t from, std::size_t to, double w,
            double& signal, double& noise) {
    double m[3][4] = {};
    double yy = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double x[3] = {std::sin(w * static_cast<double>(i - from)),
                             std::cos(w * static_cast<double>(i - from)), 1.0};
        const double y = out[i];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                m[r][c] += x[r] * x[c];
            }
            m[r][3] += x[r] * y;
        }
        yy += y * y;
    }
    double coef[3];
    for (int c = 0; c < 3; ++c) {  // Gauss-Jordan; the matrix is well conditioned
        for (int r = 0; r < 3; ++r) {
            if (r != c) {
                const double f = m[r][c] / m[c][c];
                for (int k = c; k < 4; ++k) {
                    m[r][k] -= f * m[c][k];
                }
            }
        }
    }
    double explained = 0;
    double rhs[3];
    for (int r = 0; r < 3; ++r) {
        coef[r] = m[r][3] / m[r][r];
    }
    // The explained energy: coef . (X^T y), from the sums before elimination.
    for (int r = 0; r < 3; ++r) {
        rhs[r] = 0;
    }
    for (std::size_t i = from; i < to; ++i) {
        const double x[3] = {std::sin(w * static_cast<double>(i - from)),
                             std::cos(w * static_cast<double>(i - from)), 1.0};
        for (int r = 0; r < 3; ++r) {
            rhs[r] += x[r] * out[i];
        }
    }
    for (int r = 0; r < 3; ++r) {
        explained += coef[r] * rhs[r];
    }
    signal += (coef[0] * coef[0] + coef[1] * coef[1]) / 2 * static_cast<double>(to - from);
    noise += std::max(yy - explained, 0.0);
}

// Runs one trimmer over seconds of the tone; trimmer(block, samples, ppm,
// out) appends its outputs.
using Trimmer =
    std::function<void(const std::int16_t*, std::size_t, std::int32_t, std::vector<std::int16_t>&)>;

Outcome Measure(unsigned rate, double seconds, const Trimmer& trimmer, bool checkQuality) {
    const double amplitude = 16384.0;
    const double w = 2 * kPi * 1000.0 / rate;
    const std::size_t blockSamples = rate / 50;
    const auto total = static_cast<std::size_t>(seconds * rate);
    std::vector<std::int16_t> tone(total);
    for (std::size_t n = 0; n < total; ++n) {
        tone[n] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(w * n)));
    }
    std::vector<std::int16_t> out;
    out.reserve(total + total / 10);
    const double cpu0 = carovel_bench::ThreadCpuSeconds();
    std::vector<std::size_t> outsAtBlock;
    for (std::size_t at = 0; at + blockSamples <= total; at += blockSamples) {
        outsAtBlock.push_back(out.size());
        trimmer(tone.data() + at, blockSamples, TrimAt(at / rate), out);
    }
    Outcome o;
    o.cpuSeconds = (carovel_bench::ThreadCpuSeconds() - cpu0) / seconds;
    if (checkQuality) {
        double signal = 0, noise = 0;
        const std::size_t perSecond = rate / blockSamples;
        for (std::size_t b = perSecond; b + perSecond <= outsAtBlock.size(); b += perSecond) {
            const double ratio = 1.0 + TrimAt(b / perSecond) * 1e-6;
            FitSnr(out, outsAtBlock[b + perSecond / 5], outsAtBlock[b + perSecond * 4 / 5],
                   w * ratio, signal, noise);
        }
        o.snrDb = 10 * std::log10(signal / std::max(noise, 1e-12));
    }
    return o;
}

Trimmer OurStage(unsigned rate) {
    auto stage = std::make_shared<_Carovel::TrimStage>(_Carovel::PcmFormat{1, rate, 16});
    auto buf = std::make_shared<std::vector<unsigned char>>(rate);
    return [stage, buf](const std::int16_t* in, std::size_t n, std::int32_t ppm,
                        std::vector<std::int16_t>& out) {
        stage->SetTrim(ppm);
        stage->Push(reinterpret_cast<const unsigned char*>(in), n);
        for (;;) {
            const std::size_t got = stage->Pull(buf->data(), buf->size() / 2);
            if (got == 0) {
                break;
            }
            const auto* s = reinterpret_cast<const std::int16_t*>(buf->data());
            out.insert(out.end(), s, s + got);
        }
    };
}

Trimmer Speex(unsigned rate) {
    int err = 0;
    std::shared_ptr<SpeexResamplerState> st(speex_resampler_init(1, rate, rate, 5, &err),
                                            speex_resampler_destroy);
    auto buf = std::make_shared<std::vector<std::int16_t>>(rate);
    return [st, buf, rate](const std::int16_t* in, std::size_t n, std::int32_t ppm,
                           std::vector<std::int16_t>& out) {
        // As ConvertStream did: numerator over a denominator of 65521.
        const std::uint32_t den = 65521;
        const auto num = static_cast<std::uint32_t>(std::llround(den * (1.0 + ppm * 1e-6)));
        speex_resampler_set_rate_frac(st.get(), num, den, rate, rate);
        spx_uint32_t inLen = static_cast<spx_uint32_t>(n);
        spx_uint32_t outLen = static_cast<spx_uint32_t>(buf->size());
        speex_resampler_process_int(st.get(), 0, in, &inLen, buf->data(), &outLen);
        out.insert(out.end(), buf->begin(), buf->begin() + outLen);
    };
}

#ifdef CAROVEL_HAVE_SOXR
Trimmer Soxr(unsigned rate) {
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, SOXR_VR);
    std::shared_ptr<soxr> st(soxr_create(1.1, 1.0, 1, &err, &io, &q, nullptr), soxr_delete);
    soxr_set_io_ratio(st.get(), 1.0, 0);
    auto buf = std::make_shared<std::vector<std::int16_t>>(rate);
    return [st, buf](const std::int16_t* in, std::size_t n, std::int32_t ppm,
                     std::vector<std::int16_t>& out) {
        // The io ratio is input per output; slew over one block.
        soxr_set_io_ratio(st.get(), 1.0 + ppm * 1e-6, n);
        std::size_t used = 0, made = 0;
        soxr_process(st.get(), in, n, &used, buf->data(), buf->size(), &made);
        out.insert(out.end(), buf->begin(), buf->begin() + static_cast<std::ptrdiff_t>(made));
    };
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const double seconds = carovel_bench::Option(argc, argv, "--seconds", 20);
    const int repeats = static_cast<int>(carovel_bench::Option(argc, argv, "--repeats", 5));
    std::printf("%-22s %6s %16s %10s %8s\n", "trimmer", "rate", "us_per_audio_s", "vs_stage",
                "snr_db");
    for (const unsigned rate : {48000u, 8000u}) {
        struct Entry {
            std::string name;
            double best = 1e9;
            double snr = 0;
        };
        std::vector<Entry> entries = {{"trim_stage"}, {"speexdsp_q5_frac"}};
#ifdef CAROVEL_HAVE_SOXR
        entries.push_back({"soxr_vr_hq"});
#endif
        for (int r = 0; r < repeats; ++r) {
            for (std::size_t e = 0; e < entries.size(); ++e) {
                Outcome o;
                if (e == 0) {
                    o = Measure(rate, seconds, OurStage(rate), r == 0);
                } else if (e == 1) {
                    o = Measure(rate, seconds, Speex(rate), r == 0);
                } else {
#ifdef CAROVEL_HAVE_SOXR
                    o = Measure(rate, seconds, Soxr(rate), r == 0);
#endif
                }
                entries[e].best = std::min(entries[e].best, o.cpuSeconds * 1e6);
                if (r == 0) {
                    entries[e].snr = o.snrDb;
                }
            }
        }
        for (const Entry& e : entries) {
            std::printf("%-22s %6u %16.1f %10.2f %8.1f\n", e.name.c_str(), rate, e.best,
                        e.best / entries[0].best, e.snr);
        }
    }
    return 0;
}
