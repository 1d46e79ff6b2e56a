// Output pacing: a feeder thread feeds source 0 one frame per frame period
// on an absolute schedule (as a live capture would), with other sources
// alongside, while the mixer's output thread paces itself. Every callback
// time is recorded; the report gives the interval between callbacks (median,
// 99th percentile, largest deviation from the period) and the drift of the
// callback count against the fed frame count.
//
//   carovel_pacing [--period 20|10] [--seconds 60] [--others 3]
//     --period 20: 8000 Hz mono 16-bit, 320-byte frames
//     --period 10: 48000 Hz stereo 16-bit, 1920-byte frames
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "measure.h"

namespace {

using _Carovel::CMixer;
using Clock = std::chrono::steady_clock;

struct Setup {
    unsigned short channels;
    unsigned short rate;
    unsigned short frameBytes;
    unsigned periodMs;
    // Other sources that need conversion use this format.
    unsigned short otherChannels;
    unsigned short otherRate;
};

Setup SetupFor(int periodMs) {
    if (periodMs == 10) {
        return {2, 48000, 1920, 10, 1, 16000};
    }
    return {1, 8000, 320, 20, 2, 44100};
}

class CallbackLog {
  public:
    explicit CallbackLog(std::size_t capacity) : m_times(capacity) {}

    static void Callback(char*, unsigned, char*, unsigned, void* user, void*) {
        auto* self = static_cast<CallbackLog*>(user);
        const std::size_t i = self->m_count.load(std::memory_order_relaxed);
        if (i < self->m_times.size()) {
            self->m_times[i] = Clock::now();
        }
        self->m_count.store(i + 1, std::memory_order_release);
    }

    std::size_t Count() const { return m_count.load(std::memory_order_acquire); }
    const std::vector<Clock::time_point>& Times() const { return m_times; }

  private:
    std::vector<Clock::time_point> m_times;
    std::atomic<std::size_t> m_count{0};
};

struct FeedResult {
    long fed = 0;
    std::vector<long> backlogPerSecond;  // fed minus called back, once a second
};

// Feeds source 0 (and the others) on the absolute schedule start + k * period.
FeedResult Feed(CMixer& mixer, const Setup& s, const CallbackLog& log, int seconds, int others) {
    const std::vector<char> master =
        carovel_bench::Sine16(s.frameBytes / (2u * s.channels), s.channels, 440.0 / s.rate, 8000);
    const std::size_t otherFrames = s.otherRate * s.periodMs / 1000u;
    const std::vector<char> converted =
        carovel_bench::Sine16(otherFrames, s.otherChannels, 300.0 / s.otherRate, 4000);
    const auto period = std::chrono::milliseconds(s.periodMs);
    const long frames = static_cast<long>(seconds) * 1000 / static_cast<long>(s.periodMs);
    const long perSecond = 1000 / static_cast<long>(s.periodMs);
    FeedResult r;
    const Clock::time_point start = Clock::now();
    for (long k = 0; k < frames; ++k) {
        std::this_thread::sleep_until(start + k * period);
        for (int o = 1; o <= others; ++o) {
            if (o % 3 == 0) {
                mixer.AddFrame(o, converted.data(), static_cast<int>(converted.size()),
                               s.otherChannels, s.otherRate, 16, nullptr);
            } else {
                mixer.AddFrame(o, master.data(), s.frameBytes, s.channels, s.rate, 16, nullptr);
            }
        }
        mixer.AddFrame(0, master.data(), s.frameBytes, s.channels, s.rate, 16, nullptr);
        ++r.fed;
        if (r.fed % perSecond == 0) {
            r.backlogPerSecond.push_back(r.fed - static_cast<long>(log.Count()));
        }
    }
    return r;
}

void Report(const Setup& s, const CallbackLog& log, const FeedResult& feed, int seconds) {
    const std::size_t n = std::min(log.Count(), log.Times().size());
    std::vector<double> intervals;
    double worst = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const double ms =
            std::chrono::duration<double, std::milli>(log.Times()[i] - log.Times()[i - 1]).count();
        intervals.push_back(ms);
        worst = std::max(worst, std::abs(ms - s.periodMs));
    }
    const long called = static_cast<long>(log.Count());
    const long backlogEnd = feed.fed - called;
    const long backlogFirst = feed.backlogPerSecond.empty() ? 0 : feed.backlogPerSecond.front();
    const long backlogMax =
        feed.backlogPerSecond.empty()
            ? 0
            : *std::max_element(feed.backlogPerSecond.begin(), feed.backlogPerSecond.end());
    const double minutes = seconds / 60.0;
    std::printf("period %u ms (%u Hz, %u ch, 16-bit, %u-byte frames), %d s\n", s.periodMs, s.rate,
                s.channels, s.frameBytes, seconds);
    std::printf("  callback interval: median %.3f ms, p99 %.3f ms, max |deviation| %.3f ms\n",
                carovel_bench::Quantile(intervals, 0.5), carovel_bench::Quantile(intervals, 0.99),
                worst);
    std::printf("  frames fed %ld, callbacks %ld, queued at the end %ld (max %ld)\n", feed.fed,
                called, backlogEnd, backlogMax);
    std::printf("  drift: %+.1f frames/min = %+.1f ms of delay per minute (%.3f%% slow)\n",
                (backlogEnd - backlogFirst) / minutes,
                (backlogEnd - backlogFirst) * static_cast<double>(s.periodMs) / minutes,
                100.0 * (backlogEnd - backlogFirst) / static_cast<double>(feed.fed));
}

}  // namespace

int main(int argc, char** argv) {
    const Setup s = SetupFor(static_cast<int>(carovel_bench::Option(argc, argv, "--period", 20)));
    const int seconds = static_cast<int>(carovel_bench::Option(argc, argv, "--seconds", 60));
    const int others = static_cast<int>(carovel_bench::Option(argc, argv, "--others", 3));
    CallbackLog log(static_cast<std::size_t>(seconds) * 1000 / s.periodMs + 1000);
    CMixer mixer;
    if (!mixer.Open(s.channels, s.rate, 16, s.frameBytes, &CallbackLog::Callback, &log)) {
        std::fprintf(stderr, "Open failed\n");
        return 1;
    }
    const FeedResult feed = Feed(mixer, s, log, seconds, others);
    mixer.Close();
    Report(s, log, feed, seconds);
    return 0;
}
