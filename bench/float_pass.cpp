// The cost of the float mixing format beside the 16-bit one: CWaveMix passes
// over 16 sources of 20 ms 48 kHz stereo frames (960 sample blocks: 3840
// bytes at 16 bits, 7680 bytes as float), the two formats alternating in one
// run, the ratio being the median of the per-repetition ratios (float time
// over 16-bit time).
//
//  plain   GetMixedFrame: the mix only.
//  minus   every source at a gain of 0.5, mix-minus outputs for all 16.
//
//   carovel_float_pass [--reps 200]
//
// bench/float-pass-instructions.sh counts the instructions of one pass of
// each under callgrind. Results and commands: bench/README.md.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "carovel/wave_mix.h"
#include "measure.h"

using _Carovel::CMixMinusFrames;
using _Carovel::CWaveMix;
using _Carovel::SampleType;

namespace {
constexpr int kSources = 16;
constexpr int kBlocks = 960 * 2;  // samples of a 20 ms 48 kHz stereo frame
constexpr int kBatch = 32;        // passes queued at a time
using Clock = std::chrono::steady_clock;
volatile unsigned char g_sink;

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}
}  // namespace

// One pass each, out of line so that callgrind counts them by name.
namespace float_pass {

[[gnu::noinline]] void Pass16(CWaveMix& wm, std::vector<char>& master, std::vector<char>& mix) {
    int masterLen = static_cast<int>(master.size());
    int mixLen = static_cast<int>(mix.size());
    wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
}

[[gnu::noinline]] void PassFloat(CWaveMix& wm, std::vector<char>& master, std::vector<char>& mix) {
    int masterLen = static_cast<int>(master.size());
    int mixLen = static_cast<int>(mix.size());
    wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
}

[[gnu::noinline]] void Minus16(CWaveMix& wm, std::vector<char>& master, std::vector<char>& mix,
                               CMixMinusFrames& minus) {
    int masterLen = static_cast<int>(master.size());
    int mixLen = static_cast<int>(mix.size());
    wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr, minus);
}

[[gnu::noinline]] void MinusFloat(CWaveMix& wm, std::vector<char>& master, std::vector<char>& mix,
                                  CMixMinusFrames& minus) {
    int masterLen = static_cast<int>(master.size());
    int mixLen = static_cast<int>(mix.size());
    wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr, minus);
}

}  // namespace float_pass

namespace {

// A frame of source t: a sine at a level that keeps 16 sources below full
// scale, as 16-bit samples or as floats.
std::vector<char> Frame(int t, bool asFloat) {
    std::vector<char> bytes(static_cast<std::size_t>(kBlocks) * (asFloat ? 4 : 2));
    for (int i = 0; i < kBlocks; ++i) {
        const double v = 0.05 * std::sin(0.01 * (t + 1) * (i / 2));
        if (asFloat) {
            const auto f = static_cast<float>(v);
            std::memcpy(&bytes[4 * static_cast<std::size_t>(i)], &f, 4);
        } else {
            const auto s = static_cast<std::int16_t>(std::lround(v * 32767));
            std::memcpy(&bytes[2 * static_cast<std::size_t>(i)], &s, 2);
        }
    }
    return bytes;
}

struct Side {
    bool asFloat;
    CWaveMix wm;
    std::vector<std::vector<char>> frames;
    std::vector<char> master, mix;
    CMixMinusFrames minus;

    explicit Side(bool f, bool gained) : asFloat(f) {
        if (asFloat) {
            wm.Init(SampleType::kF32);
        } else {
            wm.Init(SampleType::kS16);
        }
        for (int t = 0; t < kSources; ++t) {
            frames.push_back(Frame(t, asFloat));
            if (gained) {
                wm.SetTrackGain(t, 0.5f);
            }
        }
        master.resize(frames[0].size());
        mix.resize(frames[0].size());
    }

    // Seconds per pass over a batch.
    double Batch(bool withMinus) {
        for (int b = 0; b < kBatch; ++b) {
            for (int t = 0; t < kSources; ++t) {
                const auto& f = frames[static_cast<std::size_t>(t)];
                wm.AddFrame(t, f.data(), static_cast<int>(f.size()), nullptr);
            }
        }
        const auto t0 = Clock::now();
        for (int b = 0; b < kBatch; ++b) {
            if (withMinus) {
                (asFloat ? float_pass::MinusFloat : float_pass::Minus16)(wm, master, mix, minus);
            } else {
                (asFloat ? float_pass::PassFloat : float_pass::Pass16)(wm, master, mix);
            }
        }
        const double seconds = Since(t0) / kBatch;
        g_sink = g_sink + static_cast<unsigned char>(mix[7]);
        return seconds;
    }
};

void Run(const char* name, bool withMinus, int reps) {
    Side s16(false, withMinus);
    Side sf(true, withMinus);
    std::vector<double> t16, tf, ratio;
    for (int r = 0; r < reps; ++r) {
        const double a = s16.Batch(withMinus);
        const double b = sf.Batch(withMinus);
        t16.push_back(a);
        tf.push_back(b);
        ratio.push_back(b / a);
    }
    std::printf("%-40s %10.2f us %10.2f us %8.3f\n", name, carovel_bench::Quantile(t16, 0.5) * 1e6,
                carovel_bench::Quantile(tf, 0.5) * 1e6, carovel_bench::Quantile(ratio, 0.5));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = static_cast<int>(carovel_bench::Option(argc, argv, "--reps", 200));
    std::printf("%-40s %13s %13s %8s\n", "unit (median per pass)", "16-bit", "float", "ratio");
    Run("plain pass, 16 x 20 ms 48 kHz stereo", false, reps);
    Run("gains 0.5 + 16 mix-minus outputs", true, reps);
    return 0;
}
