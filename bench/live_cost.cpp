// Live mode's CPU cost against the queued mode's, in real time: N sources of
// 48000 Hz mono 16-bit in 20 ms blocks fed through CMixer::AddFrame by one
// thread on a steady clock (waking each millisecond to feed what is due),
// each source on its own clock (source 0, the
// master, on the steady clock; the others spread evenly over -500..+500 ppm),
// into a mixer of the same format with 20 ms frames and its output thread.
// Rounds alternate the queued mode and live mode (target 40 ms, ceiling 400
// ms), each opening the mixer afresh; the CPU time of the whole process
// (feeder and output thread) from 1 s into a round to its end, per source
// and second of audio, is the cost. Each round prints its figures with the
// mixer's statistics (dropouts, the largest |trim - drift|, live mode's own
// time per pass); the last line gives the medians of each mode's rounds:
//
//   live_cost: sources=N queued_us_per_source_s=... live_us_per_source_s=...
//              ratio=...
//
//   carovel_live_cost N [--seconds 6] [--rounds 3]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/stats.h"
#include "measure.h"

namespace {

using _Carovel::CMixer;
using Clock = std::chrono::steady_clock;

constexpr unsigned short kRate = 48000;
constexpr unsigned kBlockSamples = 960;  // 20 ms
constexpr double kSpreadPpm = 500.0;

void Callback(char*, unsigned, char*, unsigned, void*, void*) {}

struct Round {
    double usPerSourceSecond = 0;
    std::uint64_t dropouts = 0;
    long worstTrimError = 0;
    double controlUs = 0;
    double trimUs = 0;
};

double DriftOf(int i, int sources) {
    if (i == 0 || sources < 3) {
        return 0.0;
    }
    return -kSpreadPpm + 2 * kSpreadPpm * (i - 1) / (sources - 2);
}

Round RunRound(int sources, bool live, double seconds, const std::vector<char>& tone) {
    CMixer mixer;
    if (!mixer.SetLiveMode(live ? 40 : 0, live ? 400 : 0) ||
        !mixer.Open(1, kRate, 16, kBlockSamples * 2, &Callback, nullptr)) {
        std::fprintf(stderr, "Open failed\n");
        std::exit(1);
    }
    const std::size_t blockBytes = kBlockSamples * 2;
    const std::size_t toneBlocks = tone.size() / blockBytes;
    struct Source {
        double dueUs;
        double periodUs;
        std::size_t block;
    };
    std::vector<Source> all;
    for (int i = 0; i < sources; ++i) {
        // Spread over the period, so that the blocks do not all come at once.
        all.push_back({20000.0 * i / sources, 20000.0 / (1.0 + DriftOf(i, sources) * 1e-6),
                       static_cast<std::size_t>(i) % toneBlocks});
    }
    const Clock::time_point start = Clock::now();
    const auto us = [&start](Clock::time_point t) {
        return std::chrono::duration<double, std::micro>(t - start).count();
    };
    const double endUs = seconds * 1e6;
    const double measureFromUs = 1e6;
    double cpu0 = -1;
    for (;;) {
        const double now = us(Clock::now());
        if (cpu0 < 0 && now >= measureFromUs) {
            cpu0 = carovel_bench::ProcessCpuSeconds();
        }
        if (now >= endUs) {
            break;
        }
        double next = endUs;
        for (int i = 0; i < sources; ++i) {
            Source& s = all[static_cast<std::size_t>(i)];
            while (s.dueUs <= now) {
                mixer.AddFrame(i, tone.data() + s.block * blockBytes, static_cast<int>(blockBytes),
                               1, kRate, 16, nullptr);
                s.block = (s.block + 1) % toneBlocks;
                s.dueUs += s.periodUs;
            }
            next = std::min(next, s.dueUs);
        }
        // Wakes on a millisecond tick, feeding every block due by then.
        std::this_thread::sleep_until(
            start + std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(next / 1000.0))));
    }
    const double cpu = carovel_bench::ProcessCpuSeconds() - cpu0;
    Round r;
    r.usPerSourceSecond = cpu / (sources * (endUs - measureFromUs) / 1e6) * 1e6;
    std::vector<_Carovel::SourceStats> stats(static_cast<std::size_t>(sources) + 8);
    _Carovel::MixerStats m;
    const unsigned n =
        mixer.GetAllSourceStats(stats.data(), static_cast<unsigned>(stats.size()), &m);
    for (unsigned k = 0; k < std::min<unsigned>(n, static_cast<unsigned>(stats.size())); ++k) {
        r.dropouts += stats[k].dropouts;
        if (live) {
            const double drift = DriftOf(static_cast<int>(stats[k].sourceId), sources);
            r.worstTrimError =
                std::max(r.worstTrimError, std::lround(std::fabs(stats[k].trimPpm - drift)));
        }
    }
    r.controlUs = m.liveControlUsPerPass;
    r.trimUs = m.liveTrimUsPerPass;
    mixer.Close();
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int sources = argc > 1 ? std::atoi(argv[1]) : 0;
    const double seconds = carovel_bench::Option(argc, argv, "--seconds", 6);
    const int rounds = static_cast<int>(carovel_bench::Option(argc, argv, "--rounds", 3));
    if (sources < 1 || sources > 100000 || seconds < 2 || rounds < 1) {
        std::fprintf(stderr, "usage: carovel_live_cost N [--seconds S>=2] [--rounds R]\n");
        return 2;
    }
    // A second of a sine per source start, at -20 dBFS.
    const std::vector<char> tone = carovel_bench::Sine16(kRate, 1, 440.0 / kRate, 3277);
    std::vector<double> queued, live;
    for (int round = 0; round < rounds; ++round) {
        for (const bool isLive : {false, true}) {
            const Round r = RunRound(sources, isLive, seconds, tone);
            (isLive ? live : queued).push_back(r.usPerSourceSecond);
            std::printf(
                "round=%d mode=%s us_per_source_s=%.2f dropouts=%llu "
                "max_abs_trim_minus_drift_ppm=%ld "
                "live_control_us_per_pass=%.1f trim_us_per_pass=%.1f\n",
                round, isLive ? "live" : "queued", r.usPerSourceSecond,
                static_cast<unsigned long long>(r.dropouts), r.worstTrimError, r.controlUs,
                r.trimUs);
            std::fflush(stdout);
        }
    }
    const double q = Median(queued);
    const double l = Median(live);
    std::printf(
        "live_cost: sources=%d queued_us_per_source_s=%.2f live_us_per_source_s=%.2f ratio=%.2f\n",
        sources, q, l, q > 0 ? l / q : 0.0);
    return 0;
}
