#include "mix_session.h"

#include <algorithm>
#include <climits>
#include <new>
#include <string>
#include <thread>

#include "stop_signal.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

// The tool mixes files, whose audio is at hand ahead of the mix, so its
// converted sources go through the fast resampler, whatever it holds back.
constexpr _Carovel::Resampler kResampler = _Carovel::Resampler::kFast;

// Other sources are fed this far ahead of the master (at least two frame
// lengths), so a source whose converter holds back some audio still has its
// frame queued when the master frame of the same instant is mixed: two
// frames cover the default resampler's few milliseconds, 250 ms the fast
// one's pacing latency (up to about 120 ms between the usual rates).
constexpr unsigned kLeadFrames = 2;
constexpr unsigned kLeadMs = kResampler == _Carovel::Resampler::kFast ? 250 : 0;
// Between a low rate and the mixing rate the resampler holds back far more:
// about a thousand samples of the lower rate (half a second of a 2000 Hz
// source into a 48 kHz mix). A converted source is fed this many samples of
// the lower rate ahead when that is longer.
constexpr std::uint64_t kLeadLowerRateSamples = 2048;

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

}  // namespace

MixSession::MixSession(std::vector<SourceFeeder>& sources, MixSink& sink, unsigned frameMs,
                       bool exactFrame, MixLength length, bool realtime)
    : m_sources(sources),
      m_sink(sink),
      m_frameBytes(FrameBytes(sink.Format(), frameMs, exactFrame)),
      m_frameSamples(m_frameBytes / sink.Format().BlockAlign()),
      m_length(length),
      m_realtime(realtime) {
    const PcmFormat& format = sink.Format();
    const _Carovel::AudioFormat mixFormat = ToAudioFormat(format);
    for (const auto& minus : sink.Minus()) {
        m_pendingMinus[minus.first];
        m_outMinus[minus.first];
        m_minusDelivered[minus.first] = false;
    }
    // Every source present in a pass gets its output, also one without a
    // frame in it (the full mix); FinishPass covers sources dropped as idle.
    if (!m_pendingMinus.empty() && !m_mixer->SetMixMinusCallback(&MixSession::OnMinus, true)) {
        throw ToolError(std::string("the mixer refused mix-minus outputs: ") +
                        _Carovel::StatusText(m_mixer->LastStatus()));
    }
    if (!m_mixer->SetResampler(kResampler)) {
        throw ToolError(std::string("the mixer refused its resampler: ") +
                        _Carovel::StatusText(m_mixer->LastStatus()));
    }
    const bool opened =
        realtime ? m_mixer->Open(mixFormat, m_frameBytes, &MixSession::OnMix, this)
                 : m_mixer->OpenManual(mixFormat, m_frameBytes, &MixSession::OnMix, this);
    if (!opened) {
        throw ToolError("the mixer cannot be opened for " + Describe(format) + " with frames of " +
                        std::to_string(m_frameBytes) +
                        " bytes: " + _Carovel::StatusText(m_mixer->LastStatus()));
    }
    for (const auto& source : m_sources) {
        const float gain = source.Setup().gain;
        if (gain != 1.0f && !m_mixer->SetSourceGain(source.MixerId(), gain)) {
            throw ToolError(FileMessage(source.File().DisplayName(),
                                        "the mixer refused its gain of " + std::to_string(gain) +
                                            ": " + _Carovel::StatusText(m_mixer->LastStatus())));
        }
    }
}

MixSession::~MixSession() = default;  // the mixer closes itself

void MixSession::EnableLimiter() {
    if (!m_mixer->SetLimiter(true)) {
        throw ToolError(std::string("the mixer refused its limiter: ") +
                        _Carovel::StatusText(m_mixer->LastStatus()));
    }
}

// The callbacks run on the mixer's output thread (or inside MixPending),
// which would swallow an exception: a pass that could not be kept is
// counted instead, and the run fails at its end.
void MixSession::OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                       void* self, void* /*tag*/) {
    auto* const session = static_cast<MixSession*>(self);
    try {
        session->Receive(master, masterLen, mix, mixLen);
    } catch (const std::bad_alloc&) {
        session->m_lostPasses.fetch_add(1);
    }
}

void MixSession::OnMinus(long source, char* frame, unsigned int len, void* self) {
    auto* const session = static_cast<MixSession*>(self);
    try {
        session->ReceiveMinus(source, frame, len);
    } catch (const std::bad_alloc&) {
        session->m_lostPasses.fetch_add(1);
    }
}

void MixSession::CloseMixer() {
    m_mixer.reset();  // waits for the output thread
    if (const unsigned long lost = m_lostPasses.load()) {
        throw ToolError("memory ran out while keeping the mix: " + std::to_string(lost) +
                        (lost == 1 ? " output" : " outputs") + " of its passes lost");
    }
}

void MixSession::Receive(const char* master, unsigned int masterLen, const char* mix,
                         unsigned int mixLen) {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_pendingMaster.insert(m_pendingMaster.end(), master, master + masterLen);
        m_pendingMix.insert(m_pendingMix.end(), mix, mix + mixLen);
        ++m_received;
        if (!m_pendingMinus.empty()) {
            FinishPass();
            m_passMix.assign(mix, mix + mixLen);
            m_passOpen = true;
        }
    }
    m_arrived.notify_one();
}

void MixSession::ReceiveMinus(long source, const char* frame, unsigned int len) {
    const std::lock_guard<std::mutex> guard(m_lock);
    const auto pending = m_pendingMinus.find(source);
    if (pending != m_pendingMinus.end()) {
        pending->second.insert(pending->second.end(), frame, frame + len);
        m_minusDelivered[source] = true;
    }
}

void MixSession::FinishPass() {
    if (!m_passOpen) {
        return;
    }
    for (auto& [source, delivered] : m_minusDelivered) {
        if (!delivered) {
            auto& pending = m_pendingMinus[source];
            pending.insert(pending.end(), m_passMix.begin(), m_passMix.end());
        }
        delivered = false;
    }
    m_passOpen = false;
}

std::uint64_t MixSession::PassesReceived() const {
    const std::lock_guard<std::mutex> guard(m_lock);
    return m_received;
}

void MixSession::UpdateEnd() {
    std::uint64_t end = m_sources.front().EndFrame();
    for (const auto& source : m_sources) {
        if (m_length == MixLength::kLongest) {
            end = std::max(end, source.EndFrame());
        } else if (m_length == MixLength::kShortest) {
            end = std::min(end, source.EndFrame());
        }
    }
    end = std::min(end, m_endLimit);
    if (end == m_end) {
        return;
    }
    m_end = end;
    for (std::size_t i = 0; i < m_sources.size(); ++i) {
        m_sources[i].SetMixEnd(end, i == 0);
    }
    m_sink.SetLimit(end);
}

bool MixSession::AllDone() const {
    return std::all_of(m_sources.begin(), m_sources.end(),
                       [](const SourceFeeder& s) { return s.Done(); });
}

std::uint64_t MixSession::ExpectedMasterFrames() const {
    const SourceFeeder& master = m_sources.front();
    const std::uint64_t fed = master.MixFramesFed();
    // Flushed: the converter gave out all of it and the last frame was padded.
    return master.Done() ? CeilDiv(fed, m_frameSamples) : fed / m_frameSamples;
}

std::uint64_t MixSession::LeadOf(const SourceFeeder& source) const {
    const unsigned rate = m_sink.Format().samplesPerSec;
    std::uint64_t lead = FrameAt(kLeadMs, rate);
    const unsigned fileRate = source.File().Format().samplesPerSec;
    if (fileRate != rate && fileRate != 0) {
        const unsigned lower = std::min(fileRate, rate);
        lead = std::max(lead, CeilDiv(kLeadLowerRateSamples * rate, lower));
    }
    return std::max<std::uint64_t>(kLeadFrames, CeilDiv(lead, m_frameSamples)) * m_frameSamples;
}

void MixSession::Step(std::uint64_t ms) {
    const std::uint64_t at = FrameAt(ms, m_sink.Format().samplesPerSec);
    for (std::size_t i = 1; i < m_sources.size(); ++i) {
        m_sources[i].FeedUntil(*m_mixer, at + LeadOf(m_sources[i]));
    }
    m_sources.front().FeedUntil(*m_mixer, at);
    UpdateEnd();
}

bool MixSession::WaitBeyond(std::uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_arrived.wait_for(lock, timeout, [this, seen] { return m_received > seen; });
}

void MixSession::Drain() {
    if (!m_realtime) {
        m_mixer->MixPending(INT_MAX);
        CloseMixer();
        FinishLastPass();
        Flush(true);
        return;
    }
    // Every expected frame is surely coming (each source was flushed at its
    // end): wait for them patiently, at least two frame periods for each
    // (a pass comes once a period), and stop at a stop signal. The wait is
    // counted in slices waited, not on the clock, so that a process stopped
    // and resumed in between still waits for them.
    const std::uint64_t periodMs =
        m_frameSamples * 1000 / std::max(1u, m_sink.Format().samplesPerSec);
    const std::uint64_t slices = std::max<std::uint64_t>(
        kPatientWait / kDrainSlice, (2 * periodMs + 1000) / kDrainSlice.count());
    const std::uint64_t expected = ExpectedMasterFrames();
    for (std::uint64_t seen = PassesReceived(); seen < expected; seen = PassesReceived()) {
        std::uint64_t waited = 0;
        while (!WaitBeyond(seen, kDrainSlice) && ++waited < slices) {
            ThrowIfStopped();
        }
        ThrowIfStopped();
        if (waited == slices) {
            break;  // the mixer has no further master frame
        }
        Flush(false);
    }
    // Closed and destroyed: the output thread has delivered its last pass
    // whole (mix and mix-minus outputs) and ended.
    CloseMixer();
    FinishLastPass();
    Flush(true);
}

void MixSession::FinishLastPass() {
    const std::lock_guard<std::mutex> guard(m_lock);
    FinishPass();
}

void MixSession::Flush(bool force) {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        if (!force && m_pendingMix.size() < kWriteBatchBytes) {
            return;
        }
        m_outMix.swap(m_pendingMix);
        m_outMaster.swap(m_pendingMaster);
        for (auto& [source, pending] : m_pendingMinus) {
            m_outMinus[source].swap(pending);
        }
    }
    m_sink.AddPass(m_outMix.data(), m_outMix.size(), m_outMaster.data(), m_outMaster.size());
    m_outMix.clear();
    m_outMaster.clear();
    for (auto& [source, out] : m_outMinus) {
        m_sink.AddMinusBytes(source, out.data(), out.size());
        out.clear();
    }
}

unsigned MixSession::StepMs(bool realtime) {
    return realtime ? kStepMs : kOfflineStepMs;
}

void MixSession::Run(const ProgressFn& progress) {
    UpdateEnd();
    const unsigned rate = m_sink.Format().samplesPerSec;
    const unsigned stepMs = StepMs(m_realtime);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t ms = stepMs; !AllDone(); ms += stepMs) {
        ThrowIfStopped();
        if (m_realtime) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        }
        Step(ms);
        if (!m_realtime) {
            // Every master frame queued so far, mixed on this thread.
            m_mixer->MixPending(INT_MAX);
        }
        Flush(m_realtime);
        progress(std::min(FrameAt(ms, rate), m_end), m_end);
    }
    Drain();
}

}  // namespace carovel_mix
