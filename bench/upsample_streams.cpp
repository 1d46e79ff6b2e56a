// The converter's whole-factor upsampler with many streams at once, side by
// side with bare libsoxr (medium quality) in the same run: N streams of
// 16 kHz mono into 48 kHz, float samples in and out, fed 20 ms blocks one
// stream after another, as a mixer with N converted sources feeds them. Each
// kind runs four seconds after one of warm-up, twice, alternating: the
// upsampler on the processor's fastest kernel, on its portable kernel, and
// libsoxr. Prints the CPU time per stream and second of audio of each run
// and which kernel was the fastest.
//
//   carovel_upsample_streams N
#include <soxr.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "convert/upsample_kernel.h"
#include "convert/upsampler.h"

namespace {

constexpr int kSeconds = 5;
constexpr std::size_t kBlock = 320;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Feeds every stream one block per round through step; returns microseconds
// of CPU per stream and second of audio after the first second.
template <class Step>
double Run(int n, Step&& step) {
    double start = 0;
    for (int block = 0; block < 50 * kSeconds; ++block) {
        if (block == 50) {
            start = CpuSeconds();
        }
        for (int s = 0; s < n; ++s) {
            step(s);
        }
    }
    return (CpuSeconds() - start) / (kSeconds - 1) / n * 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (n < 1) {
        std::fprintf(stderr, "usage: carovel_upsample_streams N\n");
        return 2;
    }
    std::vector<float> in(kBlock);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<float>(10000 * std::sin(0.3 * static_cast<double>(i)));
    }
    std::vector<float> out(4 * kBlock);
    double sink = 0;

    // Every stream on the processor's fastest kernel, and the same on the
    // portable one.
    std::vector<std::unique_ptr<_Carovel::Upsampler>> ours;
    std::vector<std::unique_ptr<_Carovel::Upsampler>> portable;
    for (int i = 0; i < n; ++i) {
        ours.push_back(_Carovel::Upsampler::Create(1, 3));
        portable.push_back(_Carovel::Upsampler::Create(1, 3, _Carovel::PortableUpsampleKernel()));
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    std::vector<soxr_t> theirs;
    for (int i = 0; i < n; ++i) {
        soxr_error_t error = nullptr;
        soxr_t s = soxr_create(16000, 48000, 1, &error, &io, &quality, &runtime);
        if (s == nullptr) {
            std::fprintf(stderr, "soxr_create: %s\n", error);
            return 1;
        }
        theirs.push_back(s);
    }

    const auto upsampleOn = [&](std::vector<std::unique_ptr<_Carovel::Upsampler>>& streams) {
        return [&](int s) {
            std::size_t used = kBlock;
            std::size_t made = out.size();
            streams[static_cast<std::size_t>(s)]->Process(in.data(), &used, out.data(), &made);
            sink += out[made / 2];
        };
    };
    const auto soxr = [&](int s) {
        std::size_t used = 0;
        std::size_t made = 0;
        soxr_process(theirs[static_cast<std::size_t>(s)], in.data(), kBlock, &used, out.data(),
                     out.size(), &made);
        sink += out[made / 2];
    };
    double a[2];
    double p[2];
    double b[2];
    for (int round = 0; round < 2; ++round) {
        a[round] = Run(n, upsampleOn(ours));
        p[round] = Run(n, upsampleOn(portable));
        b[round] = Run(n, soxr);
    }
    const bool avx2 = _Carovel::Avx2UpsampleKernel() != nullptr;
    std::printf(
        "upsample_streams: streams=%d kernel=%s upsampler_us_per_stream_s=%.1f,%.1f "
        "portable_us_per_stream_s=%.1f,%.1f soxr_mq_us_per_stream_s=%.1f,%.1f "
        "upsampler_to_soxr=%.2f (sink %g)\n",
        n, avx2 ? "avx2" : "portable", a[0], a[1], p[0], p[1], b[0], b[1],
        (a[0] + a[1]) / (b[0] + b[1]), sink);
    for (soxr_t s : theirs) {
        soxr_delete(s);
    }
    return 0;
}
