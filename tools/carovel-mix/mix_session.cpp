#include "mix_session.h"

#include <algorithm>
#include <climits>
#include <thread>

#include "tool_error.h"

namespace carovel_mix {
namespace {

// Other sources are fed this many frame lengths ahead of the master, so a
// source whose converter holds back some audio still has its frame queued
// when the master frame of the same instant is mixed.
constexpr unsigned kLeadFrames = 2;

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

}  // namespace

MixSession::MixSession(std::vector<SourceFeeder>& sources, MixSink& sink, unsigned frameMs,
                       bool hostDriven)
    : m_sources(sources),
      m_sink(sink),
      m_frameMs(frameMs),
      m_frameBytes(FrameBytes(sink.Format(), frameMs)) {
    const PcmFormat& format = sink.Format();
    const auto channels = static_cast<unsigned short>(format.channels);
    const auto rate = static_cast<unsigned short>(format.rate);
    const auto bits = static_cast<unsigned short>(format.bits);
    const auto frameBytes = static_cast<unsigned short>(m_frameBytes);
    const bool opened =
        hostDriven ? m_mixer.OpenManual(channels, rate, bits, frameBytes, &MixSession::OnMix, this)
                   : m_mixer.Open(channels, rate, bits, frameBytes, &MixSession::OnMix, this);
    if (!opened) {
        throw ToolError("the mixer cannot be opened for " + Describe(format) + " with frames of " +
                        std::to_string(m_frameBytes) +
                        " bytes: " + _Carovel::StatusText(m_mixer.LastStatus()));
    }
}

MixSession::~MixSession() {
    m_mixer.Close();
}

void MixSession::OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                       void* self, void* /*tag*/) {
    static_cast<MixSession*>(self)->Receive(master, masterLen, mix, mixLen);
}

void MixSession::Receive(const char* master, unsigned int masterLen, const char* mix,
                         unsigned int mixLen) {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_pendingMaster.insert(m_pendingMaster.end(), master, master + masterLen);
        m_pendingMix.insert(m_pendingMix.end(), mix, mix + mixLen);
        ++m_received;
    }
    m_arrived.notify_one();
}

std::uint64_t MixSession::FramesMixed() const {
    const std::lock_guard<std::mutex> guard(m_lock);
    return m_received;
}

void MixSession::LimitMeters() {
    const SourceFeeder& master = m_sources.front();
    // Every source is flushed at its end (see SourceFeeder::FeedUntil), so
    // none needs padding to push its last samples through the mixer.
    for (auto& source : m_sources) {
        const PcmFormat& from = source.File().Format();
        source.SetMeterLimit(master.FileFrames() * from.rate / master.File().Format().rate);
    }
}

std::uint64_t MixSession::ExpectedMasterFrames() const {
    const SourceFeeder& master = m_sources.front();
    const std::uint64_t fed = master.FramesFed() * m_sink.Format().rate;
    const unsigned rate = master.File().Format().rate;
    if (!master.Done()) {
        return fed / rate * m_sink.Format().BlockAlign() / m_frameBytes;
    }
    // Flushed: the converter gave out all of it and the last frame was padded.
    return CeilDiv(CeilDiv(fed, rate) * m_sink.Format().BlockAlign(), m_frameBytes);
}

void MixSession::Step(std::uint64_t ms) {
    const std::uint64_t leadMs = ms + std::uint64_t{kLeadFrames} * m_frameMs;
    for (std::size_t i = 1; i < m_sources.size(); ++i) {
        m_sources[i].FeedUntil(m_mixer, FrameAt(leadMs, m_sources[i].File().Format().rate));
    }
    SourceFeeder& master = m_sources.front();
    master.FeedUntil(m_mixer, FrameAt(ms, master.File().Format().rate));
}

bool MixSession::WaitBeyond(std::uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_arrived.wait_for(lock, timeout, [this, seen] { return m_received > seen; });
}

void MixSession::Drain(bool realtime) {
    if (!realtime) {
        m_mixer.MixPending(INT_MAX);
        m_mixer.Close();
        Flush(true);
        return;
    }
    // Every expected frame is surely coming (each source was flushed at its
    // end): wait for them patiently.
    const std::uint64_t expected = ExpectedMasterFrames();
    for (std::uint64_t seen = FramesMixed(); seen < expected; seen = FramesMixed()) {
        if (!WaitBeyond(seen, kPatientWait)) {
            break;  // the mixer has no further master frame
        }
        Flush(false);
    }
    m_mixer.Close();
    Flush(true);
}

void MixSession::Flush(bool force) {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        if (!force && m_pendingMix.size() < kWriteBatchBytes) {
            return;
        }
        m_outMix.swap(m_pendingMix);
        m_outMaster.swap(m_pendingMaster);
    }
    m_sink.Add(m_outMix, m_outMaster);
    m_outMix.clear();
    m_outMaster.clear();
}

unsigned MixSession::StepMs(bool realtime) {
    return realtime ? kStepMs : kOfflineStepMs;
}

void MixSession::Run(bool realtime, const ProgressFn& progress, const StopFn& stop) {
    LimitMeters();
    SourceFeeder& master = m_sources.front();
    const PcmFormat& masterFormat = master.File().Format();
    m_sink.SetLimit(master.FileFrames() * m_sink.Format().rate / masterFormat.rate);
    const auto start = std::chrono::steady_clock::now();
    const unsigned stepMs = StepMs(realtime);
    for (std::uint64_t ms = stepMs; !master.Done(); ms += stepMs) {
        if (stop()) {
            throw Interrupted();
        }
        if (realtime) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        }
        Step(ms);
        if (!realtime) {
            // Every master frame queued so far, mixed on this thread.
            m_mixer.MixPending(INT_MAX);
        }
        Flush(realtime);
        progress(static_cast<double>(master.FramesFed()) /
                 static_cast<double>(std::max<std::uint64_t>(master.TotalFrames(), 1)));
    }
    // The limit may have shrunk when the master was shorter than announced.
    m_sink.SetLimit(master.FileFrames() * m_sink.Format().rate / masterFormat.rate);
    Drain(realtime);
}

}  // namespace carovel_mix
