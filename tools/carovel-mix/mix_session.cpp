#include "mix_session.h"

#include <algorithm>
#include <climits>
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

void MixSession::OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                       void* self, void* /*tag*/) {
    static_cast<MixSession*>(self)->Receive(master, masterLen, mix, mixLen);
}

void MixSession::OnMinus(long source, char* frame, unsigned int len, void* self) {
    static_cast<MixSession*>(self)->ReceiveMinus(source, frame, len);
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

void MixSession::Step(std::uint64_t ms) {
    const unsigned rate = m_sink.Format().samplesPerSec;
    const std::uint64_t at = FrameAt(ms, rate);
    const std::uint64_t leadFrames =
        std::max<std::uint64_t>(kLeadFrames, CeilDiv(FrameAt(kLeadMs, rate), m_frameSamples));
    const std::uint64_t lead = at + leadFrames * m_frameSamples;
    for (std::size_t i = 1; i < m_sources.size(); ++i) {
        m_sources[i].FeedUntil(*m_mixer, lead);
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
        m_mixer.reset();
        FinishLastPass();
        Flush(true);
        return;
    }
    // Every expected frame is surely coming (each source was flushed at its
    // end): wait for them patiently.
    const std::uint64_t expected = ExpectedMasterFrames();
    for (std::uint64_t seen = PassesReceived(); seen < expected; seen = PassesReceived()) {
        if (!WaitBeyond(seen, kPatientWait)) {
            break;  // the mixer has no further master frame
        }
        Flush(false);
    }
    // Closed and destroyed: the output thread has delivered its last pass
    // whole (mix and mix-minus outputs) and ended.
    m_mixer.reset();
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
