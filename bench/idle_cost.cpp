// Idle cost: an open mixer that gets no input at all. Its output thread still
// wakes once per period; this measures the CPU time and the wake-ups of the
// whole process over the run (the main thread only sleeps).
//
//   carovel_idle_cost [--seconds 10]
#include <chrono>
#include <cstdio>
#include <thread>

#include "carovel/mixer.h"
#include "measure.h"

namespace {

using _Carovel::CMixer;

void NoOutput(char*, unsigned, char*, unsigned, void*, void*) {}

void Measure(const char* name, unsigned short channels, unsigned short rate,
             unsigned short frameBytes, int seconds) {
    CMixer mixer;
    if (!mixer.Open(channels, rate, 16, frameBytes, &NoOutput, nullptr)) {
        std::fprintf(stderr, "Open failed\n");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the thread settle
    const double cpu0 = carovel_bench::ProcessCpuSeconds();
    const long switches0 = carovel_bench::ProcessContextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = carovel_bench::ProcessCpuSeconds() - cpu0;
    const long switches = carovel_bench::ProcessContextSwitches() - switches0;
    mixer.Close();
    std::printf("%-28s %8.2f ms CPU in %d s = %.4f%% of a core, %.1f wake-ups/s\n", name, cpu * 1e3,
                seconds, 100.0 * cpu / seconds, static_cast<double>(switches) / seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = static_cast<int>(carovel_bench::Option(argc, argv, "--seconds", 10));
    Measure("20 ms, 8000 Hz mono", 1, 8000, 320, seconds);
    Measure("10 ms, 48000 Hz stereo", 2, 48000, 1920, seconds);
    return 0;
}
