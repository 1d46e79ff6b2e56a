#include "platform/clock.h"

#include <atomic>
#include <chrono>

#if !defined(_WIN32)
#include <time.h>
#endif

namespace _Carovel {
namespace {

#if defined(_WIN32)
std::uint64_t ExactUs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::time_t SteadySeconds() {
    return static_cast<std::time_t>(ExactUs() / 1000000u);
}
#else
// The monotonic clock, read directly (live mode reads it for every block).
timespec Monotonic() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

std::uint64_t Microseconds(const timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(t.tv_nsec) / 1000u;
}

std::time_t SteadySeconds() {
    return Monotonic().tv_sec;
}
#endif

#if defined(CLOCK_MONOTONIC_COARSE)
// How far from the turn of a second the coarse clock must be for its whole
// second to be the exact clock's: it lags the exact clock by less than a
// tick (its resolution), and as much again is left for jitter. 0 when the
// coarse clock is of no use.
long CoarseMarginNs() {
    timespec res{};
    if (clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0 || res.tv_sec != 0 || res.tv_nsec <= 0 ||
        res.tv_nsec > 50000000L) {
        return 0;
    }
    return 2 * res.tv_nsec;
}
#endif

std::atomic<SecondsSource> g_monotonicSource{&SteadySeconds};

}  // namespace

std::uint64_t MonotonicUs() {
#if defined(_WIN32)
    return ExactUs();
#else
    return Microseconds(Monotonic());
#endif
}

std::uint32_t MonotonicSeconds() {
    return static_cast<std::uint32_t>(g_monotonicSource.load(std::memory_order_relaxed)());
}

std::uint32_t CoarseMonotonicSeconds() {
    const SecondsSource source = g_monotonicSource.load(std::memory_order_relaxed);
    if (source != &SteadySeconds) {
        return static_cast<std::uint32_t>(source());
    }
#if defined(CLOCK_MONOTONIC_COARSE)
    static const long margin = CoarseMarginNs();
    timespec t{};
    if (margin > 0 && clock_gettime(CLOCK_MONOTONIC_COARSE, &t) == 0 &&
        t.tv_nsec < 1000000000L - margin) {
        return static_cast<std::uint32_t>(t.tv_sec);
    }
#endif
    return static_cast<std::uint32_t>(SteadySeconds());
}

ClockReading ReadClock() {
    ClockReading now;
    const SecondsSource source = g_monotonicSource.load(std::memory_order_relaxed);
#if defined(_WIN32)
    now.us = ExactUs();
    now.seconds = source == &SteadySeconds ? static_cast<std::uint32_t>(now.us / 1000000u)
                                           : static_cast<std::uint32_t>(source());
#else
    const timespec t = Monotonic();
    now.us = Microseconds(t);
    now.seconds = source == &SteadySeconds ? static_cast<std::uint32_t>(t.tv_sec)
                                           : static_cast<std::uint32_t>(source());
#endif
    return now;
}

void SetMonotonicSourceForTesting(SecondsSource source) {
    g_monotonicSource.store(source != nullptr ? source : &SteadySeconds);
}

}  // namespace _Carovel
