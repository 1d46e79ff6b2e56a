// What a CMixer holds besides its frame mixer.
#ifndef CAROVEL_MIXER_MIXER_IMPL_H
#define CAROVEL_MIXER_MIXER_IMPL_H

#include <atomic>
#include <cstddef>
#include <memory>

#include "carovel/mixer.h"
#include "engine/engine.h"
#include "mixer/call_check.h"
#include "mixer/intake/source_table.h"
#include "mixer/live/live_mode.h"
#include "mixer/output/output_thread.h"
#include "pcm/pcm_format.h"
#include "platform/event.h"
#include "platform/mutex.h"

namespace _Carovel {

struct CMixer::Impl {
    // The sources' queues and the passes.
    Engine engine;
    // True from a successful Open or OpenManual until Close.
    std::atomic<bool> open{false};
    // Set by Open; read by AddFrame, which the host serialises with Open.
    PcmFormat mixFormat;
    std::size_t frameBytes = 0;
    // Written only by the host's serialised calls (and by Close from the
    // callback, which never touches them while a host call may).
    SourceTable sources;
    // Open exactly while its session runs.
    OutputThread output;
    // Wakes the output thread early. Shared with the thread's session, which
    // may outlive the mixer.
    std::shared_ptr<AutoResetEvent> event = std::make_shared<AutoResetEvent>();
    std::atomic<Status> lastStatus{Status::kOk};
    // Exceptions that escaped the callback, counted by the output thread.
    std::shared_ptr<std::atomic<unsigned long>> callbackExceptions =
        std::make_shared<std::atomic<unsigned long>>(0);
    SerialCallCheck callCheck;

    // Conference settings, set by the serialised calls and used by the next
    // Open or OpenManual (the limiter also at once).
    MixMinusCallback minusCallback = nullptr;
    bool minusIncludeIdle = false;
    bool limiterOn = false;
    // The resampler of the converted sources of the next session.
    Resampler resampler = Resampler::kLowLatency;
    float limiterThresholdDbfs = -1.0f;
    float limiterReleaseMs = 100.0f;

    // The session of a mixer opened by OpenManual, while it is open. Held
    // by MixPending for its passes, so a Close from inside a callback does
    // not pull it away.
    std::shared_ptr<OutputSession> ManualSession() const CAROVEL_EXCLUDES(manualMutex) {
        MutexLock lock(manualMutex);
        return manual;
    }
    void SetManualSession(std::shared_ptr<OutputSession> session) CAROVEL_EXCLUDES(manualMutex) {
        MutexLock lock(manualMutex);
        manual = std::move(session);
    }
    // True while open in either mode.
    bool IsOpen() const { return open.load(std::memory_order_acquire); }

    // Live mode: the settings for the next Open (written by SetLiveMode,
    // serialised with Open), and what the session opened with them shares
    // (null when it is off). Statistics read both from any thread.
    std::shared_ptr<LiveShared> Live() CAROVEL_EXCLUDES(liveMutex) {
        MutexLock lock(liveMutex);
        return live;
    }
    Mutex liveMutex;
    // The mixing format's bytes per millisecond and a frame's duration, set
    // by Open for statistics read from any thread.
    std::atomic<double> statsBytesPerMs{0.0};
    std::atomic<double> statsFrameMs{0.0};
    LiveSettings liveSettings CAROVEL_GUARDED_BY(liveMutex);
    std::shared_ptr<LiveShared> live CAROVEL_GUARDED_BY(liveMutex);
    // The same session's live state for the intake, set by Open (serialised
    // with the host's calls that feed), so that feeding takes no lock for it.
    LiveShared* intakeLive = nullptr;

  private:
    mutable Mutex manualMutex;
    std::shared_ptr<OutputSession> manual CAROVEL_GUARDED_BY(manualMutex);
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_MIXER_IMPL_H
