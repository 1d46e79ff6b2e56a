#include "platform/clock.h"

#include <atomic>
#include <chrono>

namespace _Carovel {
namespace {

std::time_t SystemSeconds() {
    return std::time(nullptr);
}

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
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
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
