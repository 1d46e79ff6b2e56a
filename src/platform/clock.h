// Clocks used by the library: a wrapping millisecond tick for pacing the
// output thread and a coarse seconds clock for expiring idle tracks.
#ifndef CAROVEL_PLATFORM_CLOCK_H
#define CAROVEL_PLATFORM_CLOCK_H

#include <cstdint>
#include <ctime>

namespace _Carovel {

// Milliseconds since an arbitrary start of a monotonic clock, as a 32-bit
// count that wraps about every 49.7 days. Take differences as unsigned 32-bit
// values.
std::uint32_t TickMs();

// Whole seconds of a monotonic clock since an arbitrary start, as a 32-bit
// count; stepping the wall clock does not move it. Idle expiry uses it. Take
// differences as unsigned 32-bit values.
std::uint32_t MonotonicSeconds();

// The seconds MonotonicSeconds gives, read from the system's coarse clock
// where there is one, which costs far less than the exact clock: near the
// turn of a second, where the coarse clock may still show the last one, the
// exact clock is read instead. Never ahead of MonotonicSeconds read at the
// same time or later.
std::uint32_t CoarseMonotonicSeconds();

// Microseconds of the same monotonic clock since an arbitrary start.
std::uint64_t MonotonicUs();

// One reading of the monotonic clock in both units, for a call that needs
// both (the seconds come from the replaced source in tests that replace it).
struct ClockReading {
    std::uint64_t us = 0;
    std::uint32_t seconds = 0;
};
ClockReading ReadClock();

// Local calendar time as far as NowSeconds's fallback uses it.
struct CalendarTime {
    unsigned year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
};

// The fallback seconds value built from a calendar time:
// ((((366 * year + 30 * month + day) * 24 + hour) * 60 + minute) * 60),
// computed modulo 2^32. Seconds are not used, so it advances in steps of 60.
std::uint32_t CalendarSeconds(const CalendarTime& t);

// Current time in whole seconds as a 32-bit value: time() when it works,
// otherwise CalendarSeconds() of the local time. Only differences between two
// values of this clock are meaningful.
std::uint32_t NowSeconds();

// Replaceable sources for NowSeconds, for tests that must not wait for real
// seconds. A null pointer restores the system source. Not thread-safe against
// concurrent NowSeconds calls; set them before starting work.
using SecondsSource = std::time_t (*)();
using CalendarSource = CalendarTime (*)();
void SetSecondsSourceForTesting(SecondsSource source);
// Replaces MonotonicSeconds' source the same way.
void SetMonotonicSourceForTesting(SecondsSource source);
void SetCalendarSourceForTesting(CalendarSource source);

}  // namespace _Carovel

#endif  // CAROVEL_PLATFORM_CLOCK_H
