// The library's clock: a monotonic clock, read in microseconds for pacing
// passes and live mode, and in whole seconds for expiring idle sources.
#ifndef CAROVEL_PLATFORM_CLOCK_H
#define CAROVEL_PLATFORM_CLOCK_H

#include <cstdint>
#include <ctime>

namespace _Carovel {

// Microseconds of a monotonic clock since an arbitrary start; stepping the
// wall clock does not move it.
std::uint64_t MonotonicUs();

// Whole seconds of the same clock, as a 32-bit count. Idle expiry uses it.
// Take differences as unsigned 32-bit values.
std::uint32_t MonotonicSeconds();

// The seconds MonotonicSeconds gives, read from the system's coarse clock
// where there is one, which costs far less than the exact clock: near the
// turn of a second, where the coarse clock may still show the last one, the
// exact clock is read instead. Never ahead of MonotonicSeconds read at the
// same time or later.
std::uint32_t CoarseMonotonicSeconds();

// One reading of the clock in both units, for a call that needs both (the
// seconds come from the replaced source in tests that replace it).
struct ClockReading {
    std::uint64_t us = 0;
    std::uint32_t seconds = 0;
};
ClockReading ReadClock();

// Replaces the source of the seconds, for tests that must not wait for real
// seconds; a null pointer restores the system source. Not thread-safe
// against concurrent reads; set it before starting work.
using SecondsSource = std::time_t (*)();
void SetMonotonicSourceForTesting(SecondsSource source);

}  // namespace _Carovel

#endif  // CAROVEL_PLATFORM_CLOCK_H
