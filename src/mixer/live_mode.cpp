#include "mixer/live_mode.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "mixcore/queue_table.h"
#include "mixcore/wave_mix_internals.h"
#include "mixer/output_thread.h"

namespace _Carovel {
namespace {

double DurationMs(const PcmFormat& format, std::size_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(format.BytesPerSecond()) * 1000.0;
}

void Report(SourceIntake& source, CWaveMix& mix, std::uint64_t nowUs) {
    IntakeReport report;
    report.stagedBytes = source.StagedBytes();
    report.lastFeedUs = nowUs;
    report.fedMs = source.FedMs();
    report.lastBlockMs = source.LastBlockMs();
    WaveMixInternals::Queues(mix).Report(source.SourceId(), report);
}

}  // namespace

bool LiveSettingsValid(const LiveSettings& s) {
    if (!s.On()) {
        return s.maxMs == 0 && s.masterTimeoutMs == 0;
    }
    return s.targetMs < s.maxMs && s.maxMs <= kMaxLiveMs &&
           s.masterTimeoutMs <= kMaxMasterTimeoutMs;
}

bool LiveSettingsFitFormat(const LiveSettings& s, const PcmFormat& format, std::size_t frameBytes) {
    if (!s.On()) {
        return true;
    }
    const double frameMs = DurationMs(format, frameBytes);
    return frameMs >= kMinPeriodMs && s.maxMs >= s.targetMs + 2.0 * frameMs;
}

LiveShared::LiveShared(const LiveSettings& settings, const PcmFormat& mixFormat,
                       std::size_t frameBytes)
    : settings(settings),
      mixFormat(mixFormat),
      frameBytes(frameBytes),
      frameMs(DurationMs(mixFormat, frameBytes)),
      bytesPerMs(static_cast<double>(mixFormat.BytesPerSecond()) / 1000.0) {}

std::size_t LiveShared::MaxFrames() const {
    return std::max<std::size_t>(1, static_cast<std::size_t>(settings.maxMs / frameMs));
}

std::uint64_t LiveClockUs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

Status FeedSource(SourceIntake& source, CWaveMix& mix, LiveShared* live, std::uint64_t nowUs,
                  const char* data, std::size_t len, const PcmFormat& format, void* tag) {
    if (live != nullptr && len > 0) {
        // A format that cannot be converted changes nothing, not even the
        // source's start.
        if (!format.IsSupported()) {
            return Status::kUnsupportedFormat;
        }
        QueueTable::FeedPlan plan;
        if (!WaveMixInternals::Queues(mix).PlanFeed(source.SourceId(), plan)) {
            return Status::kOutOfMemory;
        }
        source.KeepHistory(true);
        source.SetTrim(plan.trimPpm);
        if (plan.restart) {
            // After the next pass the backlog is what is queued and staged,
            // the silence and the block, less the frame taken, plus the time
            // until that pass less half the block (the backlog that live
            // mode measures, see LivePasses). What is queued is at most a
            // frame that FlushSource queued since the source ran dry.
            const double blockMs = DurationMs(format, len);
            const std::uint64_t due = live->nextPassUs.load();
            const double untilPassMs =
                due > nowUs ? static_cast<double>(due - nowUs) / 1000.0 : 0.0;
            const double silenceMs =
                live->settings.targetMs + live->frameMs - blockMs / 2 - untilPassMs -
                DurationMs(live->mixFormat,
                           source.StagedBytes() + plan.queuedFrames * live->frameBytes);
            const auto blocks = static_cast<std::size_t>(
                std::lround(std::max(silenceMs, 0.0) * live->mixFormat.samplesPerSec / 1000.0));
            const Status status = source.Restart(blocks * live->mixFormat.BlockAlign(), tag, mix);
            if (status != Status::kOk) {
                Report(source, mix, nowUs);
                return status;
            }
        }
    }
    const Status status = source.Feed(data, len, format, tag, mix);
    Report(source, mix, nowUs);
    return status;
}

Status FlushSourceIntake(SourceIntake& source, CWaveMix& mix, std::uint64_t nowUs, void* tag) {
    const Status status = source.Flush(tag, mix);
    Report(source, mix, nowUs);
    return status;
}

}  // namespace _Carovel
