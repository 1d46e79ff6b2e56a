// Bare libsoxr with many streams at once, nothing of carovel around it: N
// streams of 16 kHz mono into 48 kHz at medium quality (16-bit samples in
// and out), fed 20 ms blocks one stream after another, as a mixer with N
// converted sources feeds them. Prints the CPU time per stream and second of
// audio over four seconds (after one of warm-up) and the largest resident
// set. Optional: libsoxr's runtime settings for its DFT sizes,
// log2_min_dft_size and log2_large_dft_size (0: its defaults).
//
//   carovel_soxr_streams N [MIN_DFT LARGE_DFT]
#include <soxr.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const unsigned minDft = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
    const unsigned largeDft = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
    if (n < 1) {
        std::fprintf(stderr, "usage: carovel_soxr_streams N [MIN_DFT LARGE_DFT]\n");
        return 2;
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    if (minDft != 0) {
        runtime.log2_min_dft_size = minDft;
    }
    if (largeDft != 0) {
        runtime.log2_large_dft_size = largeDft;
    }
    std::vector<soxr_t> streams;
    for (int i = 0; i < n; ++i) {
        soxr_error_t error = nullptr;
        soxr_t s = soxr_create(16000, 48000, 1, &error, &io, &quality, &runtime);
        if (s == nullptr) {
            std::fprintf(stderr, "soxr_create: %s\n", error);
            return 1;
        }
        streams.push_back(s);
    }
    std::vector<short> in(320);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<short>(1000 * (static_cast<int>(i * 37 % 17) - 8));
    }
    std::vector<short> out(2000);
    const int seconds = 5;
    std::clock_t start = 0;
    for (int block = 0; block < 50 * seconds; ++block) {
        if (block == 50) {
            start = std::clock();
        }
        for (soxr_t s : streams) {
            std::size_t used = 0;
            std::size_t made = 0;
            soxr_process(s, in.data(), in.size(), &used, out.data(), out.size(), &made);
        }
    }
    const double cpu = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "soxr_streams: streams=%d min_dft=%u large_dft=%u us_per_stream_s=%.1f maxrss_mb=%ld\n", n,
        minDft, largeDft, cpu / (seconds - 1) / n * 1e6, usage.ru_maxrss / 1024);
    for (soxr_t s : streams) {
        soxr_delete(s);
    }
    return 0;
}
