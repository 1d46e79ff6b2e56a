#include "platform/clock.h"

#include <atomic>
#include <chrono>

#include "platform/windows_api.h"

#if !defined(_WIN32)
#include <time.h>
#endif

namespace _Carovel {
namespace {

std::time_t SystemSeconds() {
    return std::time(nullptr);
}

#if defined(_WIN32)
// The fallback must not depend on time() having worked, so it asks Windows for
// the local time directly.
CalendarTime SystemCalendar() {
    SYSTEMTIME local;
    GetLocalTime(&local);
    CalendarTime out;
    out.year = local.wYear;
    out.month = local.wMonth;
    out.day = local.wDay;
    out.hour = local.wHour;
    out.minute = local.wMinute;
    return out;
}
#else
CalendarTime SystemCalendar() {
    CalendarTime out;
    const std::time_t now = SystemSeconds();
    std::tm local{};
    if (now != static_cast<std::time_t>(-1) && localtime_r(&now, &local) != nullptr) {
        out.year = static_cast<unsigned>(local.tm_year + 1900);
        out.month = static_cast<unsigned>(local.tm_mon + 1);
        out.day = static_cast<unsigned>(local.tm_mday);
        out.hour = static_cast<unsigned>(local.tm_hour);
        out.minute = static_cast<unsigned>(local.tm_min);
    }
    return out;
}
#endif

#if defined(_WIN32)
std::time_t SteadySeconds() {
    using namespace std::chrono;
    return static_cast<std::time_t>(
        duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
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

std::atomic<SecondsSource> g_secondsSource{&SystemSeconds};
std::atomic<SecondsSource> g_monotonicSource{&SteadySeconds};
std::atomic<CalendarSource> g_calendarSource{&SystemCalendar};

}  // namespace

std::uint32_t TickMs() {
#if defined(_WIN32)
    // The performance counter ticks at a fixed rate for the life of the system
    // and, unlike GetTickCount, resolves single milliseconds.
    static const std::uint64_t perSecond = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const auto count = static_cast<std::uint64_t>(c.QuadPart);
    // Whole seconds and the remainder apart, so count * 1000 cannot overflow.
    const std::uint64_t ms = count / perSecond * 1000u + count % perSecond * 1000u / perSecond;
    return static_cast<std::uint32_t>(ms);
#else
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
#endif
}

std::uint32_t CalendarSeconds(const CalendarTime& t) {
    std::uint32_t v = 366u * t.year + 30u * t.month + t.day;
    v = v * 24u + t.hour;
    v = v * 60u + t.minute;
    return v * 60u;
}

std::uint32_t NowSeconds() {
    const std::time_t now = g_secondsSource.load(std::memory_order_relaxed)();
    if (now != static_cast<std::time_t>(-1)) {
        return static_cast<std::uint32_t>(now);
    }
    return CalendarSeconds(g_calendarSource.load(std::memory_order_relaxed)());
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

std::uint64_t MonotonicUs() {
#if defined(_WIN32)
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
#else
    return Microseconds(Monotonic());
#endif
}

ClockReading ReadClock() {
    ClockReading now;
    const SecondsSource source = g_monotonicSource.load(std::memory_order_relaxed);
#if defined(_WIN32)
    now.us = MonotonicUs();
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

void SetSecondsSourceForTesting(SecondsSource source) {
    g_secondsSource.store(source != nullptr ? source : &SystemSeconds);
}

void SetCalendarSourceForTesting(CalendarSource source) {
    g_calendarSource.store(source != nullptr ? source : &SystemCalendar);
}

}  // namespace _Carovel
