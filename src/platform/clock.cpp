#include "platform/clock.h"

#include <atomic>
#include <chrono>

#include "platform/windows_api.h"

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

std::time_t SteadySeconds() {
    using namespace std::chrono;
    return static_cast<std::time_t>(
        duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
}

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

std::uint64_t MonotonicUs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
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

void SetSecondsSourceForTesting(SecondsSource source) {
    g_secondsSource.store(source != nullptr ? source : &SystemSeconds);
}

void SetCalendarSourceForTesting(CalendarSource source) {
    g_calendarSource.store(source != nullptr ? source : &SystemCalendar);
}

}  // namespace _Carovel
