// A source's board: what its intake tells the rest of the mixer after each
// block (read by statistics and by live mode's control on the output
// thread), and the trim live mode's control asks the intake to apply. The
// engine keeps it attached to the source's queue; nothing locks it. In
// queued mode statistics read only the staged bytes, and only they are
// kept up to date.
#ifndef CAROVEL_MIXER_SOURCE_BOARD_H
#define CAROVEL_MIXER_SOURCE_BOARD_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace _Carovel {

// What a source's intake reports after a block.
struct IntakeReport {
    // Bytes staged that do not make a whole frame yet.
    std::size_t stagedBytes = 0;
    // The block's arrival, in microseconds of the mixer's clock.
    std::uint64_t lastFeedUs = 0;
    // The duration of the source's audio fed since its stream (re)started, at
    // the source's nominal rate, in milliseconds; and the last block's share.
    double fedMs = 0.0;
    double lastBlockMs = 0.0;
    // Counts the reports, so that a reader sees when a new one came.
    std::uint64_t reports = 0;
    // Counts the stream's (re)starts at a fixed latency (live mode).
    std::uint64_t primes = 0;
};

class SourceBoard {
  public:
    // Written by the source's intake only (the host's serialised calls).
    // Readers on other threads see one report whole, never a mix of two.
    void Publish(const IntakeReport& report) {
        const std::uint32_t seq = seq_.load(std::memory_order_relaxed);
        // Every field is stored with release and loaded with acquire, so a
        // reader that sees any of this report's fields also sees the odd
        // count stored before them (no fences: they would not be checked
        // by the thread sanitizer).
        seq_.store(seq + 1, std::memory_order_relaxed);
        stagedBytes_.store(report.stagedBytes, std::memory_order_release);
        lastFeedUs_.store(report.lastFeedUs, std::memory_order_release);
        fedMs_.store(report.fedMs, std::memory_order_release);
        lastBlockMs_.store(report.lastBlockMs, std::memory_order_release);
        reports_.store(report.reports, std::memory_order_release);
        primes_.store(report.primes, std::memory_order_release);
        seq_.store(seq + 2, std::memory_order_release);
    }
    IntakeReport Read() const {
        IntakeReport r;
        for (;;) {
            const std::uint32_t before = seq_.load(std::memory_order_acquire);
            r.stagedBytes = stagedBytes_.load(std::memory_order_acquire);
            r.lastFeedUs = lastFeedUs_.load(std::memory_order_acquire);
            r.fedMs = fedMs_.load(std::memory_order_acquire);
            r.lastBlockMs = lastBlockMs_.load(std::memory_order_acquire);
            r.reports = reports_.load(std::memory_order_acquire);
            r.primes = primes_.load(std::memory_order_acquire);
            if ((before & 1u) == 0 && seq_.load(std::memory_order_relaxed) == before) {
                return r;
            }
        }
    }
    // The bytes staged toward the next frame, for statistics.
    std::size_t StagedBytes() const { return stagedBytes_.load(std::memory_order_relaxed); }
    // Stores the staged bytes alone, outside a report: for a board whose
    // reports nobody reads (a source of a mixer in queued mode).
    void PublishStagedBytes(std::size_t bytes) {
        stagedBytes_.store(bytes, std::memory_order_relaxed);
    }

    // Float samples of the source clamped into an integer mixing format
    // (beyond full scale), added by the intake.
    std::atomic<std::uint64_t> clippedSamples{0};

    // The resampling trim live mode asks for, in parts per million.
    std::atomic<std::int32_t> trimPpm{0};
    // Live mode's request to shed audio in quiet stretches: a count of
    // requests (upper 32 bits) and the sample blocks that may go (lower 32
    // bits); each new request replaces the last one's budget.
    std::atomic<std::uint64_t> shedRequest{0};

  private:
    std::atomic<std::uint32_t> seq_{0};
    std::atomic<std::size_t> stagedBytes_{0};
    std::atomic<std::uint64_t> lastFeedUs_{0};
    std::atomic<double> fedMs_{0.0};
    std::atomic<double> lastBlockMs_{0.0};
    std::atomic<std::uint64_t> reports_{0};
    std::atomic<std::uint64_t> primes_{0};
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_SOURCE_BOARD_H
