// CMixer: opening and closing, feeding sources, and the hand-over to the
// output thread.
#include "carovel/mixer.h"

#include <chrono>
#include <new>

#include "mixer/live/live_passes.h"
#include "mixer/mixer_impl.h"
#include "mixer/output/pass_driver.h"
#include "pcm/sample_codec.h"
#include "platform/clock.h"

namespace _Carovel {
namespace {

// How long Close waits for the output thread to end.
constexpr std::chrono::milliseconds kCloseWait{200};

// The longest frame Open takes: frames are queued with an int length.
constexpr unsigned long kMaxFrameBytes = 1ul << 30;

}  // namespace

CMixer::CMixer() : m_impl(std::make_unique<Impl>()) {}

CMixer::~CMixer() {
    Close();
    m_impl->output.WaitForExit();
}

bool CMixer::Fail(Status status) {
    m_impl->lastStatus = status;
    return false;
}

Status CMixer::LastStatus() const {
    return m_impl->lastStatus;
}

bool CMixer::Open(unsigned short channels, unsigned short samplesPerSec,
                  unsigned short bitsPerSample, unsigned short frameSize, MixOutCallback pfn,
                  void* userData) {
    return OpenSession("Open", PcmFormat{channels, samplesPerSec, bitsPerSample}, frameSize, pfn,
                       userData, false);
}

bool CMixer::Open(const AudioFormat& mix, unsigned long frameBytes, MixOutCallback pfn,
                  void* userData) {
    return OpenSession("Open", PcmFormat::From(mix), frameBytes, pfn, userData, false);
}

bool CMixer::OpenManual(unsigned short channels, unsigned short samplesPerSec,
                        unsigned short bitsPerSample, unsigned short frameSize, MixOutCallback pfn,
                        void* userData) {
    return OpenSession("OpenManual", PcmFormat{channels, samplesPerSec, bitsPerSample}, frameSize,
                       pfn, userData, true);
}

bool CMixer::OpenManual(const AudioFormat& mix, unsigned long frameBytes, MixOutCallback pfn,
                        void* userData) {
    return OpenSession("OpenManual", PcmFormat::From(mix), frameBytes, pfn, userData, true);
}

bool CMixer::OpenSession(const char* call, const PcmFormat& format, unsigned long frameBytes,
                         MixOutCallback pfn, void* userData, bool manual) {
    const HostCall host(m_impl->callCheck, this, call);
    if (host.InMixPending()) {
        return Fail(Status::kInsideCallback);
    }
    Impl& impl = *m_impl;
    if (impl.output.IsCurrentThread()) {
        return Fail(Status::kInsideCallback);  // the thread being stopped cannot restart itself
    }
    if (impl.IsOpen()) {
        return Fail(Status::kAlreadyOpen);
    }
    if (pfn == nullptr || format.channels == 0 || format.samplesPerSec == 0) {
        return Fail(Status::kBadArgument);
    }
    if (!format.IsSupported()) {
        return Fail(Status::kUnsupportedFormat);
    }
    if (frameBytes == 0 || frameBytes > kMaxFrameBytes || frameBytes % format.BlockAlign() != 0) {
        return Fail(Status::kBadArgument);
    }
    const auto frameSize = static_cast<std::size_t>(frameBytes);
    std::shared_ptr<LiveShared> live;
    {
        MutexLock lock(impl.liveMutex);
        // Live mode paces its passes on the output thread's timer: host-driven
        // passes cannot keep time.
        if ((manual && impl.liveSettings.On()) ||
            !LiveSettingsFitFormat(impl.liveSettings, format, frameSize)) {
            return Fail(Status::kBadArgument);
        }
        try {
            if (impl.liveSettings.On()) {
                live = std::make_shared<LiveShared>(impl.liveSettings, format, frameSize);
            }
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory);
        }
    }
    impl.output.WaitForExit();  // one that an earlier Close left finishing its callback

    std::shared_ptr<OutputSession> session;
    try {
        session = std::make_shared<OutputSession>(pfn, userData, frameSize,
                                                  MixPeriodMs(format, frameSize), impl.event,
                                                  impl.callbackExceptions);
    } catch (const std::bad_alloc&) {
        return Fail(Status::kOutOfMemory);
    }
    session->SetMixMinus(impl.minusCallback, impl.minusIncludeIdle);
    const auto setUp = [&] {
        impl.sources.Clear();  // left by a Close from inside the callback
        impl.sources.SetResampler(impl.resampler);
        impl.mixFormat = format;
        impl.frameBytes = frameSize;
        impl.engine.Init(static_cast<unsigned short>(format.BytesPerSample()), format.isFloat);
        ApplyLimiter();
        const double bytesPerMs = static_cast<double>(format.BytesPerSecond()) / 1000.0;
        impl.statsBytesPerMs = bytesPerMs;
        impl.statsFrameMs = frameSize / bytesPerMs;
        // The ceiling holds from the session's first frame.
        impl.engine.Queues().SetMaxFrames(live ? live->MaxFrames() : 0);
        impl.intakeLive = live.get();
        MutexLock lock(impl.liveMutex);
        impl.live = std::move(live);
    };
    if (manual) {
        setUp();
        impl.SetManualSession(std::move(session));
        impl.open = true;
        impl.lastStatus = Status::kOk;
        return true;
    }
    Status status = Status::kOk;
    try {
        status = impl.output.Start(
            std::move(session), [this] { MixOutLoop(); },
            [&] {
                setUp();
                impl.open = true;
            });
    } catch (const std::bad_alloc&) {
        status = Status::kOutOfMemory;  // wrapping the thread's body; nothing changed
    }
    impl.lastStatus = status;
    return status == Status::kOk;
}

void CMixer::ApplyLimiter() {
    Impl& impl = *m_impl;
    LimiterSettings settings;
    settings.channels = static_cast<unsigned short>(impl.mixFormat.channels);
    settings.samplesPerSec = impl.mixFormat.samplesPerSec;
    settings.thresholdDbfs = impl.limiterThresholdDbfs;
    settings.releaseMs = impl.limiterReleaseMs;
    // The settings were checked by SetLimiter and the format by Open.
    m_impl->engine.SetLimiter(impl.limiterOn, settings);
}

int CMixer::MixPending(int maxPasses) {
    Impl& impl = *m_impl;
    const bool onOutputThread = impl.output.IsCurrentThread();
    const HostCall call(impl.callCheck, this, "MixPending", onOutputThread);
    if (call.InMixPending() || onOutputThread) {
        Fail(Status::kInsideCallback);
        return 0;
    }
    const std::shared_ptr<OutputSession> session = impl.ManualSession();
    if (session == nullptr || !session->Running()) {
        Fail(impl.output.IsRunning() ? Status::kNotHostDriven : Status::kNotOpen);
        return 0;
    }
    impl.lastStatus = Status::kOk;
    PassScope scope;
    scope.mixer = this;
    scope.session = session.get();
    const PassScope::Enter passing(scope);
    // The same loop as the output thread's, on a clock that never waits,
    // until a pass finds no master frame.
    HostClock clock;
    QueuedPasses passes(impl.engine);
    PassLimits limits;
    limits.maxPasses = maxPasses;
    limits.endWhenEmpty = true;
    return RunPasses(*session, passes, clock, session->periodMs, limits);
}

bool CMixer::SetMixMinusCallback(MixMinusCallback fn, bool includeIdle) {
    const HostCall call(m_impl->callCheck, this, "SetMixMinusCallback");
    if (call.InMixPending()) {
        return Fail(Status::kInsideCallback);
    }
    Impl& impl = *m_impl;
    if (impl.IsOpen()) {
        return Fail(Status::kAlreadyOpen);
    }
    impl.minusCallback = fn;
    impl.minusIncludeIdle = includeIdle;
    impl.lastStatus = Status::kOk;
    return true;
}

bool CMixer::SetLiveMode(unsigned targetMs, unsigned maxMs, unsigned masterTimeoutMs) {
    const HostCall call(m_impl->callCheck, this, "SetLiveMode");
    if (call.InMixPending()) {
        return Fail(Status::kInsideCallback);
    }
    Impl& impl = *m_impl;
    if (impl.output.IsCurrentThread()) {
        return Fail(Status::kInsideCallback);
    }
    if (impl.IsOpen()) {
        return Fail(Status::kAlreadyOpen);
    }
    const LiveSettings settings{targetMs, maxMs, masterTimeoutMs};
    if (!LiveSettingsValid(settings)) {
        return Fail(Status::kBadArgument);
    }
    {
        MutexLock lock(impl.liveMutex);
        impl.liveSettings = settings;
    }
    impl.lastStatus = Status::kOk;
    return true;
}

bool CMixer::SetResampler(Resampler resampler) {
    const HostCall call(m_impl->callCheck, this, "SetResampler");
    if (call.InMixPending()) {
        return Fail(Status::kInsideCallback);
    }
    Impl& impl = *m_impl;
    if (impl.output.IsCurrentThread()) {
        return Fail(Status::kInsideCallback);
    }
    if (impl.IsOpen()) {
        return Fail(Status::kAlreadyOpen);
    }
    if (resampler != Resampler::kLowLatency && resampler != Resampler::kFast) {
        return Fail(Status::kBadArgument);
    }
    impl.resampler = resampler;
    impl.lastStatus = Status::kOk;
    return true;
}

bool CMixer::SetLimiter(bool enabled, float thresholdDbfs, float releaseMs) {
    const HostCall call(m_impl->callCheck, this, "SetLimiter");
    if (call.InMixPending()) {
        return Fail(Status::kInsideCallback);
    }
    Impl& impl = *m_impl;
    if (!(thresholdDbfs >= -60.0f && thresholdDbfs <= 0.0f && releaseMs >= 1.0f &&
          releaseMs <= 10000.0f)) {
        return Fail(Status::kBadArgument);
    }
    impl.limiterOn = enabled;
    impl.limiterThresholdDbfs = thresholdDbfs;
    impl.limiterReleaseMs = releaseMs;
    if (impl.IsOpen()) {
        ApplyLimiter();
    }
    impl.lastStatus = Status::kOk;
    return true;
}

bool CMixer::SetSourceGain(long traceID, float gain) {
    Impl& impl = *m_impl;
    if (!impl.IsOpen()) {
        return Fail(Status::kNotOpen);
    }
    if (const Status status = impl.engine.SetGain(traceID, gain, MonotonicSeconds());
        status != Status::kOk) {
        return Fail(status);
    }
    impl.lastStatus = Status::kOk;
    return true;
}

bool CMixer::Close() {
    Impl& impl = *m_impl;
    // From inside the callback Close may overlap a host call: the host's
    // calls then fail, and the records stay for the host's next call.
    const bool outputThread = impl.output.IsCurrentThread();
    const HostCall call(impl.callCheck, this, "Close", outputThread);
    const bool onOutputThread = outputThread || call.InMixPending();
    impl.open = false;
    if (const std::shared_ptr<OutputSession> manual = impl.ManualSession()) {
        manual->Stop(true);  // MixPending, when inside it, stops after this callback
        impl.SetManualSession(nullptr);
    } else if (!impl.output.Stop(kCloseWait)) {
        impl.event->Set();  // no thread: the next Open's first wait ends at once
    }
    if (!onOutputThread) {
        impl.sources.Clear();
    }
    return true;
}

bool CMixer::IsRun() const {
    return m_impl->IsOpen();
}

void CMixer::NotifyToMixe() {
    m_impl->event->Set();
}

void CMixer::MixOutLoop() {
    OutputSession* const session = m_impl->output.SessionOfCurrentThread();
    if (session == nullptr) {
        return;  // not called by this mixer's output thread
    }
    ThreadClock clock(session->Event());
    if (const std::shared_ptr<LiveShared> live = m_impl->Live()) {
        LivePasses passes(*live, m_impl->engine, clock.NowUs());
        RunPasses(*session, passes, clock, live->frameMs);
        return;
    }
    QueuedPasses passes(m_impl->engine);
    RunPasses(*session, passes, clock, session->periodMs);
}

void CMixer::ClearTraceData() {
    const HostCall call(m_impl->callCheck, this, "ClearTraceData");
    if (call.InMixPending()) {
        return;  // not from inside a callback of MixPending
    }
    m_impl->sources.DiscardStaged();
    m_impl->engine.ClearKeepingGains();
}

bool CMixer::AddFrame(long traceID, const char* data, int len, unsigned short channels,
                      unsigned short samplesPerSec, unsigned short bitsPerSample, void* tag) {
    return FeedBlock(traceID, data, len, PcmFormat{channels, samplesPerSec, bitsPerSample}, tag);
}

bool CMixer::AddFrame(long traceID, const char* data, int len, const AudioFormat& format,
                      void* tag) {
    return FeedBlock(traceID, data, len, PcmFormat::From(format), tag);
}

bool CMixer::FeedBlock(long traceID, const char* data, int len, const PcmFormat& format,
                       void* tag) {
    const HostCall call(m_impl->callCheck, this, "AddFrame");
    if (call.InMixPending()) {
        return Fail(Status::kInsideCallback);
    }
    Impl& impl = *m_impl;
    if (!impl.IsOpen()) {
        return Fail(Status::kNotOpen);
    }
    if (len < 0 || (data == nullptr && len > 0)) {
        return Fail(Status::kBadArgument);
    }
    // Live mode paces on the blocks' arrival to the microsecond. Otherwise
    // only the second counts (for idle expiry), which the coarse clock reads
    // far more cheaply.
    LiveShared* const live = impl.intakeLive;
    ClockReading now;
    if (live != nullptr) {
        now = ReadClock();
    } else {
        now.seconds = CoarseMonotonicSeconds();
    }
    SourceIntake* const source =
        impl.sources.FeedSource(traceID, impl.mixFormat, impl.frameBytes, now.seconds);
    if (source == nullptr) {
        return Fail(Status::kOutOfMemory);
    }
    const auto bytes = static_cast<std::size_t>(len);
    const FrameSink sink(impl.engine, now.seconds, &source->BoardHandle());
    Status status = Status::kOk;
    if (live != nullptr) {
        bool changed = false;
        status = PrepareLiveBlock(*source, sink, *live, now.us, bytes, format, tag, changed);
        if (status != Status::kOk) {
            if (changed) {
                source->Publish(now.us);
            }
            return Fail(status);
        }
        status = source->Feed(data, bytes, format, tag, sink);
        source->Publish(now.us);
        if (const std::uint64_t ns = source->TakeTrimNs()) {
            live->trimNs.fetch_add(ns, std::memory_order_relaxed);
        }
    } else {
        // In queued mode only statistics read the board.
        status = source->Feed(data, bytes, format, tag, sink);
        source->PublishStaged();
    }
    impl.lastStatus.store(status, std::memory_order_release);
    return status == Status::kOk;
}

}  // namespace _Carovel

namespace _Carovel {

bool CMixer::FlushSource(long traceID, void* tag) {
    const HostCall call(m_impl->callCheck, this, "FlushSource");
    if (call.InMixPending()) {
        return Fail(Status::kInsideCallback);
    }
    Impl& impl = *m_impl;
    if (!impl.IsOpen()) {
        return Fail(Status::kNotOpen);
    }
    SourceIntake* const source = impl.sources.Find(traceID);
    Status status = Status::kOk;
    if (source != nullptr) {
        const ClockReading now = ReadClock();
        status = source->Flush(tag, FrameSink(impl.engine, now.seconds, &source->BoardHandle()));
        source->Publish(now.us);
    }
    impl.lastStatus = status;
    return status == Status::kOk;
}

unsigned long CMixer::CallbackExceptions() const {
    return m_impl->callbackExceptions->load();
}

}  // namespace _Carovel
