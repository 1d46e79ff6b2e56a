#include "platform/clock.h"

#include <atomic>
#include <chrono>

namespace _Carovel {
namespace {

std::time_t SteadySeconds() {
    return static_cast<std::time_t>(MonotonicUs() / 1000000u);
}

std::atomic<SecondsSource> g_monotonicSource{&SteadySeconds};

}  // namespace

std::uint64_t MonotonicUs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t MonotonicSeconds() {
    return static_cast<std::uint32_t>(g_monotonicSource.load(std::memory_order_relaxed)());
}

ClockReading ReadClock() {
    ClockReading now;
    now.us = MonotonicUs();
    const SecondsSource source = g_monotonicSource.load(std::memory_order_relaxed);
    now.seconds = source == &SteadySeconds ? static_cast<std::uint32_t>(now.us / 1000000u)
                                           : static_cast<std::uint32_t>(source());
    return now;
}

void SetMonotonicSourceForTesting(SecondsSource source) {
    g_monotonicSource.store(source != nullptr ? source : &SteadySeconds);
}

}  // namespace _Carovel
