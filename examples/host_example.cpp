// A minimal host: mixes two synthetic sources in different formats for one
// second and prints what the output callback received.
#include <carovel/carovel.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

struct Stats {
    unsigned callbacks = 0;
    unsigned mixedBytes = 0;
    int peak = 0;
};

// Runs on the mixer's output thread once per 20 ms frame.
void OnMix(char* /*master*/, unsigned int /*masterLen*/, char* mix, unsigned int mixLen,
           void* userData, void* /*tag*/) {
    auto* stats = static_cast<Stats*>(userData);
    ++stats->callbacks;
    stats->mixedBytes += mixLen;
    for (unsigned i = 0; i + 1 < mixLen; i += 2) {
        const auto sample = static_cast<std::int16_t>((mix[i] & 0xff) | (mix[i + 1] << 8));
        stats->peak = std::max(stats->peak, std::abs(static_cast<int>(sample)));
    }
}

// 20 ms of a sine as interleaved 16-bit samples.
std::vector<char> Sine(int rate, int channels, double hz, double amplitude, long& phase) {
    std::vector<char> out;
    const int frames = rate / 50;
    for (int i = 0; i < frames; ++i, ++phase) {
        const auto s =
            static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * hz * phase / rate));
        for (int c = 0; c < channels; ++c) {
            out.push_back(static_cast<char>(s & 0xff));
            out.push_back(static_cast<char>((s >> 8) & 0xff));
        }
    }
    return out;
}

}  // namespace

int main() {
    Stats stats;
    _Carovel::CMixer mixer;
    // Mix at 8000 Hz mono 16-bit in 20 ms frames (320 bytes).
    if (!mixer.Open(1, 8000, 16, 320, &OnMix, &stats)) {
        std::fprintf(stderr, "could not open the mixer\n");
        return 1;
    }
    long phase0 = 0, phase1 = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int block = 0; block < 50; ++block) {
        // Source 1: 16000 Hz stereo, converted by the mixer.
        const std::vector<char> voice = Sine(16000, 2, 1000.0, 8000.0, phase1);
        mixer.AddFrame(1, voice.data(), static_cast<int>(voice.size()), 2, 16000, 16, nullptr);
        // Source 0, the master: 8000 Hz mono, already in the mixing format.
        const std::vector<char> tone = Sine(8000, 1, 440.0, 8000.0, phase0);
        mixer.AddFrame(0, tone.data(), static_cast<int>(tone.size()), 1, 8000, 16, nullptr);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * (block + 1)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mixer.Close();

    std::printf("callbacks: %u\nmixed bytes: %u\npeak: %d of 32767\n", stats.callbacks,
                stats.mixedBytes, stats.peak);
    return stats.callbacks > 0 ? 0 : 1;
}
