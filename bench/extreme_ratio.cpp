// What conversion between the extreme rates costs: a 65535 Hz source into a
// 1 Hz (and a 2 Hz) mix, ten seconds fed in one-second blocks through
// AddFrame and then FlushSource; and the way back, ten samples at 1 Hz into a
// 65535 Hz mix. Prints the median of five runs of each, in milliseconds.
//
//   carovel_extreme_ratio
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "carovel/mixer.h"

namespace {

using Clock = std::chrono::steady_clock;

void Discard(char*, unsigned int, char*, unsigned int, void*, void*) {}

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Times {
    double feedPerSecond;  // AddFrame, per second of audio fed
    double flush;          // FlushSource
};

Times Run(unsigned short srcRate, unsigned short mixRate, int seconds, unsigned short frameSize) {
    _Carovel::CMixer mixer;
    mixer.OpenManual(1, mixRate, 16, frameSize, &Discard, nullptr);
    const std::vector<char> block(2u * srcRate, 0x20);
    const auto start = Clock::now();
    for (int i = 0; i < seconds; ++i) {
        mixer.AddFrame(0, block.data(), static_cast<int>(block.size()), 1, srcRate, 16, nullptr);
    }
    const auto fed = Clock::now();
    mixer.FlushSource(0, nullptr);
    const auto flushed = Clock::now();
    mixer.MixPending(1 << 20);
    mixer.Close();
    return {Ms(start, fed) / seconds, Ms(fed, flushed)};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Report(const char* name, unsigned short srcRate, unsigned short mixRate, int seconds,
            unsigned short frameSize) {
    std::vector<double> feed, flush;
    for (int i = 0; i < 5; ++i) {
        const Times t = Run(srcRate, mixRate, seconds, frameSize);
        feed.push_back(t.feedPerSecond);
        flush.push_back(t.flush);
    }
    std::printf("| %s | %.2f | %.2f |\n", name, Median(feed), Median(flush));
}

}  // namespace

int main() {
    std::printf("| conversion | AddFrame per second of audio (ms) | FlushSource (ms) |\n");
    std::printf("| --- | --- | --- |\n");
    Report("65535 Hz into 1 Hz", 65535, 1, 10, 2);
    Report("65535 Hz into 2 Hz", 65535, 2, 10, 2);
    Report("1 Hz into 65535 Hz", 1, 65535, 10, 2570);
    return 0;
}
