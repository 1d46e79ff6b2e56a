// Cost per source: N sources of 20 ms frames fed as fast as the mixer takes
// them, through CMixer::AddFrame and the output thread's mixing passes, with
// the mixing format 48000 Hz stereo 16-bit. Sources are either in the mixing
// format or 16000 Hz mono 16-bit, which is converted on the way in. The CPU
// time of the whole process (all threads) per second of audio gives the share
// of one core that the same load takes in real time. --fast converts with
// Resampler::kFast (CMixer::SetResampler) instead of the default.
//
//   carovel_scale [--audio-seconds 20] [--sources N] [--converting-only]
//                 [--same-only] [--fast]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "measure.h"

namespace {

using _Carovel::CMixer;

constexpr unsigned short kRate = 48000;
constexpr unsigned short kChannels = 2;
constexpr unsigned short kFrameBytes = 3840;  // 20 ms
constexpr unsigned short kSourceRate = 16000;
constexpr int kFramesPerSecond = 50;
// Passes the intake may run ahead of the output thread before it waits.
constexpr long kMaxAhead = 4;

struct Counter {
    std::atomic<long> calls{0};
    static void Callback(char*, unsigned, char*, unsigned, void* user, void*) {
        static_cast<Counter*>(user)->calls.fetch_add(1, std::memory_order_release);
    }
};

struct Result {
    double cpu = 0;        // process CPU seconds
    double intakeCpu = 0;  // of which the feeding thread
    double wall = 0;
};

// Each source gets its own tone so that the sums are not trivial.
std::vector<std::vector<char>> Blocks(int sources, bool converting) {
    std::vector<std::vector<char>> blocks;
    const unsigned rate = converting ? kSourceRate : kRate;
    const unsigned channels = converting ? 1 : kChannels;
    for (int i = 0; i < sources; ++i) {
        blocks.push_back(carovel_bench::Sine16(rate / kFramesPerSecond, channels,
                                               (200.0 + 10.0 * (i % 100)) / rate, 300));
    }
    return blocks;
}

void WaitForCalls(const Counter& counter, long calls) {
    while (counter.calls.load(std::memory_order_acquire) < calls) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

Result Run(int sources, bool converting, int audioSeconds, _Carovel::Resampler resampler) {
    const std::vector<std::vector<char>> blocks = Blocks(sources, converting);
    const unsigned short srcRate = converting ? kSourceRate : kRate;
    const unsigned short srcChannels = converting ? 1 : kChannels;
    Counter counter;
    CMixer mixer;
    if (!mixer.SetResampler(resampler) ||
        !mixer.Open(kChannels, kRate, 16, kFrameBytes, &Counter::Callback, &counter)) {
        std::fprintf(stderr, "Open failed\n");
        std::exit(1);
    }
    const long steps = static_cast<long>(audioSeconds) * kFramesPerSecond;
    const double cpu0 = carovel_bench::ProcessCpuSeconds();
    const double intake0 = carovel_bench::ThreadCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (long step = 0; step < steps; ++step) {
        // Source 0 last, so that the pass it allows finds every other frame.
        for (int i = sources - 1; i >= 0; --i) {
            const std::vector<char>& b = blocks[static_cast<std::size_t>(i)];
            mixer.AddFrame(i, b.data(), static_cast<int>(b.size()), srcChannels, srcRate, 16,
                           nullptr);
        }
        mixer.NotifyToMixe();
        WaitForCalls(counter, step + 1 - kMaxAhead);
    }
    // The resampler's delay keeps the last few milliseconds of converted
    // sources staged (the fast resampler's pacing latency, 38 ms at these
    // rates, two frames more); the master frames all arrive.
    const long heldFrames = !converting ? 0 : resampler == _Carovel::Resampler::kFast ? 3 : 1;
    WaitForCalls(counter, steps - heldFrames);
    Result r;
    r.intakeCpu = carovel_bench::ThreadCpuSeconds() - intake0;
    r.cpu = carovel_bench::ProcessCpuSeconds() - cpu0;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    mixer.Close();
    return r;
}

void Print(int sources, bool converting, int audioSeconds, const Result& r) {
    const double perSourceUs = r.cpu / (sources * static_cast<double>(audioSeconds)) * 1e6;
    std::printf("%-10s %6d %7d %9.3f %9.3f %12.2f %11.2f%%\n", converting ? "16k mono" : "same",
                sources, audioSeconds, r.cpu, r.intakeCpu, perSourceUs,
                100.0 * r.cpu / audioSeconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int audioSeconds =
        static_cast<int>(carovel_bench::Option(argc, argv, "--audio-seconds", 20));
    const int only = static_cast<int>(carovel_bench::Option(argc, argv, "--sources", 0));
    const _Carovel::Resampler resampler = carovel_bench::Flag(argc, argv, "--fast")
                                              ? _Carovel::Resampler::kFast
                                              : _Carovel::Resampler::kLowLatency;
    std::vector<int> counts = {1, 10, 100, 1000};
    if (only > 0) {
        counts = {only};
    }
    std::printf(
        "mixing format 48000 Hz stereo 16-bit, 20 ms frames, %d s of audio per run, resampler %s\n",
        audioSeconds, resampler == _Carovel::Resampler::kFast ? "kFast" : "kLowLatency");
    std::printf("%-10s %6s %7s %9s %9s %12s %12s\n", "sources", "count", "audio s", "cpu s",
                "intake s", "us/src/s", "core share");
    for (const bool converting : {false, true}) {
        if ((converting && carovel_bench::Flag(argc, argv, "--same-only")) ||
            (!converting && carovel_bench::Flag(argc, argv, "--converting-only"))) {
            continue;
        }
        for (const int n : counts) {
            Print(n, converting, audioSeconds, Run(n, converting, audioSeconds, resampler));
        }
    }
    return 0;
}
