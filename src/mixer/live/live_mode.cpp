#include "mixer/live/live_mode.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "mixer/output/output_thread.h"

namespace _Carovel {
namespace {

double DurationMs(const PcmFormat& format, std::size_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(format.BytesPerSecond()) * 1000.0;
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

Status PrepareLiveBlock(SourceIntake& source, const FrameSink& sink, const LiveShared& live,
                        std::uint64_t nowUs, std::size_t len, const PcmFormat& format, void* tag,
                        bool& changed) {
    changed = false;
    if (len == 0) {
        return Status::kOk;
    }
    // A format that cannot be converted changes nothing, not even the
    // source's start.
    if (!format.IsSupported()) {
        return Status::kUnsupportedFormat;
    }
    source.KeepHistory(true);
    source.SetTrim(source.Board().trimPpm.load());
    source.SetShed(source.Board().shedRequest.load());
    // The source starts (again) when it is new, when its queue was dropped
    // as idle, or when a pass found its queue empty after the pushes counted
    // at its last start. A pass that finds the queue empty between this
    // check and the start's first frame records the same push count, so it
    // does not ask for a second start.
    QueueState state;
    const bool queued = source.QueueStateIn(sink, state);
    const bool restart = source.Starts() == 0 || (!queued && source.QueuedSinceStart()) ||
                         (queued && state.counters.ranDryAtPush > source.StartedAtPush());
    if (!restart) {
        return Status::kOk;
    }
    source.CountStart(queued ? state.counters.framesPushed : 0);
    changed = true;
    // After the next pass the backlog is what is queued and staged, the
    // silence and the block, less the frame taken, plus the time until that
    // pass less half the block (the backlog that live mode measures, see
    // LivePasses). What is queued is at most a frame that FlushSource queued
    // since the source ran dry.
    const double blockMs = DurationMs(format, len);
    const std::uint64_t due = live.nextPassUs.load();
    const double untilPassMs = due > nowUs ? static_cast<double>(due - nowUs) / 1000.0 : 0.0;
    const double silenceMs =
        live.settings.targetMs + live.frameMs - blockMs / 2 - untilPassMs -
        DurationMs(live.mixFormat, source.StagedBytes() + state.queuedFrames * live.frameBytes);
    const auto blocks = static_cast<std::size_t>(
        std::lround(std::max(silenceMs, 0.0) * live.mixFormat.samplesPerSec / 1000.0));
    return source.Restart(blocks * live.mixFormat.BlockAlign(), tag, sink);
}

}  // namespace _Carovel
