// Small helpers of the measurement programs: CPU clocks, order statistics,
// test signals and command-line numbers.
#ifndef CAROVEL_BENCH_MEASURE_H
#define CAROVEL_BENCH_MEASURE_H

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace carovel_bench {

inline double Seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

// CPU time (user + system) of the whole process, all threads, in seconds.
inline double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return Seconds(ru.ru_utime) + Seconds(ru.ru_stime);
}

// CPU time of the calling thread, in seconds.
inline double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Context switches of the whole process (voluntary + involuntary): each
// wake-up of a sleeping thread is one.
inline long ProcessContextSwitches() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

// The q-quantile (0..1) of values, by the nearest-rank method.
inline double Quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

// A sine of `frames` frames of 16-bit little-endian PCM, every channel equal.
inline std::vector<char> Sine16(std::size_t frames, unsigned channels, double cyclesPerFrame,
                                double amplitude) {
    std::vector<char> out;
    out.reserve(frames * channels * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * M_PI * cyclesPerFrame * static_cast<double>(i);
        const auto v = static_cast<std::int16_t>(std::lround(amplitude * std::sin(phase)));
        for (unsigned c = 0; c < channels; ++c) {
            out.push_back(static_cast<char>(v & 0xff));
            out.push_back(static_cast<char>((v >> 8) & 0xff));
        }
    }
    return out;
}

// The value of "--name N" in argv, or fallback.
inline double Option(int argc, char** argv, const char* name, double fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::atof(argv[i + 1]);
        }
    }
    return fallback;
}

inline bool Flag(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace carovel_bench

#endif  // CAROVEL_BENCH_MEASURE_H
