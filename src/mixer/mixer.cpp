// CMixer: opening and closing, feeding sources, and the hand-over to the
// output thread.
#include "carovel/mixer.h"

#include <chrono>
#include <new>

#include "mixer/mixer_impl.h"
#include "pcm/sample_codec.h"
#include "platform/clock.h"

namespace _Carovel {
namespace {

// How long Close waits for the output thread to end.
constexpr std::chrono::milliseconds kCloseWait{200};

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
    SerialCallCheck::Scope scope(m_impl->callCheck, "Open");
    Impl& impl = *m_impl;
    if (impl.output.IsCurrentThread()) {
        return Fail(Status::kInsideCallback);  // the thread being stopped cannot restart itself
    }
    if (impl.output.IsRunning()) {
        return Fail(Status::kAlreadyOpen);
    }
    if (pfn == nullptr || channels == 0 || samplesPerSec == 0) {
        return Fail(Status::kBadArgument);
    }
    if (!IsSupportedBits(bitsPerSample)) {
        return Fail(Status::kUnsupportedFormat);
    }
    const PcmFormat format{channels, samplesPerSec, bitsPerSample};
    if (frameSize == 0 || frameSize % format.BlockAlign() != 0) {
        return Fail(Status::kBadArgument);
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
    Status status = Status::kOk;
    try {
        status = impl.output.Start(
            std::move(session), [this] { MixOutLoop(); },
            [&] {
                impl.sources.Clear();  // left by a Close from inside the callback
                impl.mixFormat = format;
                impl.frameBytes = frameSize;
                m_WaveMix.Init(static_cast<unsigned short>(format.BytesPerSample()));
            });
    } catch (const std::bad_alloc&) {
        status = Status::kOutOfMemory;  // wrapping the thread's body; nothing changed
    }
    impl.lastStatus = status;
    return status == Status::kOk;
}

bool CMixer::Close() {
    Impl& impl = *m_impl;
    // From inside the callback Close may overlap a host call: the host's
    // calls then fail, and the records stay for the host's next call.
    const bool onOutputThread = impl.output.IsCurrentThread();
    SerialCallCheck::Scope scope(impl.callCheck, "Close", !onOutputThread);
    if (!impl.output.Stop(kCloseWait)) {
        impl.event->Set();  // no thread: the next Open's first wait ends at once
    }
    if (!onOutputThread) {
        impl.sources.Clear();
    }
    return true;
}

bool CMixer::IsRun() const {
    return m_impl->output.IsRunning();
}

void CMixer::NotifyToMixe() {
    m_impl->event->Set();
}

void CMixer::MixOutLoop() {
    OutputSession* const session = m_impl->output.SessionOfCurrentThread();
    if (session == nullptr) {
        return;  // not called by this mixer's output thread
    }
    RunOutputPasses(*session, m_WaveMix);
}

void CMixer::ClearTraceData() {
    SerialCallCheck::Scope scope(m_impl->callCheck, "ClearTraceData");
    m_impl->sources.DiscardStaged();
    m_WaveMix.ClearBuffs();
}

bool CMixer::AddFrame(long traceID, const char* data, int len, unsigned short channels,
                      unsigned short samplesPerSec, unsigned short bitsPerSample, void* tag) {
    SerialCallCheck::Scope scope(m_impl->callCheck, "AddFrame");
    Impl& impl = *m_impl;
    if (!impl.output.IsRunning()) {
        return Fail(Status::kNotOpen);
    }
    if (len < 0 || (data == nullptr && len > 0)) {
        return Fail(Status::kBadArgument);
    }
    SourceIntake* const source =
        impl.sources.FeedSource(traceID, impl.mixFormat, impl.frameBytes, MonotonicSeconds());
    if (source == nullptr) {
        return Fail(Status::kOutOfMemory);
    }
    const PcmFormat format{channels, samplesPerSec, bitsPerSample};
    const Status status = source->Feed(data, static_cast<std::size_t>(len), format, tag, m_WaveMix);
    impl.lastStatus = status;
    return status == Status::kOk;
}

}  // namespace _Carovel

namespace _Carovel {

bool CMixer::FlushSource(long traceID, void* tag) {
    SerialCallCheck::Scope scope(m_impl->callCheck, "FlushSource");
    Impl& impl = *m_impl;
    if (!impl.output.IsRunning()) {
        return Fail(Status::kNotOpen);
    }
    SourceIntake* const source = impl.sources.Find(traceID);
    const Status status = source != nullptr ? source->Flush(tag, m_WaveMix) : Status::kOk;
    impl.lastStatus = status;
    return status == Status::kOk;
}

unsigned long CMixer::CallbackExceptions() const {
    return m_impl->callbackExceptions->load();
}

}  // namespace _Carovel
