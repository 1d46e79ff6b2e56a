// The cost of the C interface per call against the C++ calls it wraps, in
// the same run: the same operations through CMixer and through
// carovel_c.h, both from the shared library as a host links it.
//
//   build/bench/carovel_binding_overhead [--calls N] [--rounds R] [--only NAME]
//
// Cases (each a noinline function doing one iteration, so that callgrind can
// count instructions per iteration; see bench/binding-overhead.sh):
//   empty_add  feeding a block of 0 bytes: the call itself, its checks and
//              the format's (nothing is queued);
//   cycle      one 10 ms frame of 48000 Hz stereo 16-bit from each of two
//              sources, then one host-driven pass (MixPending(1)) whose
//              callback receives the mix;
//   stats      one source's statistics.
// Prints nanoseconds per iteration, the best of R rounds of N iterations,
// C++ and C rounds interleaved so that the machine's load hits both alike.
#include <carovel/carovel_c.h>
#include <carovel/mixer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned short kRate = 48000;
constexpr unsigned short kChannels = 2;
constexpr unsigned short kFrameBytes = 1920;  // 10 ms

std::vector<char> g_frame0(kFrameBytes);
std::vector<char> g_frame1(kFrameBytes);
volatile unsigned long g_sink = 0;

void CppMix(char*, unsigned int, char* mix, unsigned int mixLen, void*, void*) {
    g_sink = g_sink + static_cast<unsigned char>(mix[mixLen - 1]);
}

void CMix(const void*, size_t, const void* mix, size_t mixLen, void*, void*) {
    g_sink = g_sink + static_cast<const unsigned char*>(mix)[mixLen - 1];
}

const carovel_format kFormat = {kRate, kChannels, CAROVEL_S16};

}  // namespace

extern "C" {

__attribute__((noinline)) void bench_cpp_empty_add(_Carovel::CMixer* m) {
    m->AddFrame(1, g_frame1.data(), 0, kChannels, kRate, 16, nullptr);
}

__attribute__((noinline)) void bench_c_empty_add(carovel_mixer* m) {
    carovel_mixer_add(m, 1, g_frame1.data(), 0, &kFormat, nullptr);
}

__attribute__((noinline)) void bench_cpp_cycle(_Carovel::CMixer* m) {
    m->AddFrame(1, g_frame1.data(), kFrameBytes, kChannels, kRate, 16, nullptr);
    m->AddFrame(0, g_frame0.data(), kFrameBytes, kChannels, kRate, 16, nullptr);
    m->MixPending(1);
}

__attribute__((noinline)) void bench_c_cycle(carovel_mixer* m) {
    carovel_mixer_add(m, 1, g_frame1.data(), kFrameBytes, &kFormat, nullptr);
    carovel_mixer_add(m, 0, g_frame0.data(), kFrameBytes, &kFormat, nullptr);
    carovel_mixer_mix_pending(m, 1);
}

__attribute__((noinline)) void bench_cpp_stats(_Carovel::CMixer* m) {
    _Carovel::SourceStats stats;
    m->GetSourceStats(0, stats);
    g_sink = g_sink + stats.framesMixed;
}

__attribute__((noinline)) void bench_c_stats(carovel_mixer* m) {
    carovel_source_stats stats;
    carovel_mixer_get_source_stats(m, 0, &stats);
    g_sink = g_sink + stats.frames_mixed;
}

}  // extern "C"

namespace {

template <typename Object, typename Step>
double NsPerCall(Object* object, Step step, long calls) {
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        step(object);
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    return took.count() / static_cast<double>(calls);
}

struct Case {
    const char* name;
    void (*cpp)(_Carovel::CMixer*);
    void (*c)(carovel_mixer*);
};

}  // namespace

int main(int argc, char** argv) {
    long calls = 200000;
    int rounds = 7;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--calls") == 0) {
            calls = std::atol(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        }
    }
    for (std::size_t i = 0; i < kFrameBytes; ++i) {
        g_frame0[i] = static_cast<char>(i * 7);
        g_frame1[i] = static_cast<char>(i * 13);
    }
    _Carovel::CMixer cpp;
    carovel_mixer* c = carovel_mixer_create();
    if (c == nullptr || !cpp.OpenManual(kChannels, kRate, 16, kFrameBytes, CppMix, nullptr) ||
        carovel_mixer_open_manual(c, &kFormat, kFrameBytes, CMix, nullptr) != CAROVEL_OK) {
        std::puts("could not open the mixers");
        return 1;
    }
    // Both mixers know both sources before the first round.
    bench_cpp_cycle(&cpp);
    bench_c_cycle(c);

    const Case cases[] = {{"empty_add", bench_cpp_empty_add, bench_c_empty_add},
                          {"cycle", bench_cpp_cycle, bench_c_cycle},
                          {"stats", bench_cpp_stats, bench_c_stats}};
    std::printf("%-10s %12s %12s %8s\n", "case", "C++ ns", "C ns", "C/C++");
    for (const Case& k : cases) {
        if (!only.empty() && only != k.name) {
            continue;
        }
        double bestCpp = 1e300;
        double bestC = 1e300;
        for (int r = 0; r < rounds; ++r) {
            bestCpp = std::min(bestCpp, NsPerCall(&cpp, k.cpp, calls));
            bestC = std::min(bestC, NsPerCall(c, k.c, calls));
        }
        std::printf("%-10s %12.1f %12.1f %8.3f\n", k.name, bestCpp, bestC, bestC / bestCpp);
    }
    cpp.Close();
    carovel_mixer_destroy(c);
    return 0;
}
