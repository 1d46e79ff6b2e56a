// CWaveMix and CMixMinusFrames: the frame mixer's public face over the
// engine.
#include "carovel/wave_mix.h"

#include "engine/wave_mix_impl.h"
#include "platform/clock.h"

namespace _Carovel {

CMixMinusFrames::CMixMinusFrames() : m_impl(std::make_unique<MinusOutputs>()) {}
CMixMinusFrames::~CMixMinusFrames() = default;

void CMixMinusFrames::SetIncludeIdle(bool include) {
    m_impl->includeIdle = include;
}

bool CMixMinusFrames::IncludeIdle() const {
    return m_impl->includeIdle;
}

int CMixMinusFrames::Count() const {
    return static_cast<int>(m_impl->ids.size());
}

long CMixMinusFrames::TrackID(int index) const {
    return index >= 0 && index < Count() ? m_impl->ids[static_cast<std::size_t>(index)] : 0;
}

const char* CMixMinusFrames::Data(int index) const {
    return index >= 0 && index < Count() ? m_impl->Data(index) : nullptr;
}

int CMixMinusFrames::Length(int index) const {
    return index >= 0 && index < Count() ? m_impl->lengths[static_cast<std::size_t>(index)] : 0;
}

bool CMixMinusFrames::HadFrame(int index) const {
    return index >= 0 && index < Count() && m_impl->hadFrame[static_cast<std::size_t>(index)] != 0;
}

Status CMixMinusFrames::LastStatus() const {
    return m_impl->lastStatus;
}

CWaveMix::CWaveMix() : m_impl(std::make_unique<Impl>()) {}

CWaveMix::~CWaveMix() {
    // Owners stop their mixing threads before destroying the frame mixer; a
    // pass that starts after this point returns at once.
    m_impl->engine.Close();
    ClearBuffs();
}

void CWaveMix::Init(unsigned short bytesPerSample) {
    m_impl->engine.Init(bytesPerSample);
}

void CWaveMix::Init(SampleType type) {
    m_impl->engine.Init(static_cast<unsigned short>(BytesPerSample(type)),
                        type == SampleType::kF32);
}

void CWaveMix::ClearBuffs() {
    m_impl->engine.Clear();
}

bool CWaveMix::AddFrame(long trackID, const char* data, int len, void* tag) {
    return m_impl->Result(m_impl->engine.Push(trackID, data, len, tag, MonotonicSeconds()));
}

bool CWaveMix::SetTrackGain(long trackID, float gain) {
    return m_impl->Result(m_impl->engine.SetGain(trackID, gain, MonotonicSeconds()));
}

bool CWaveMix::SetLimiter(bool enabled, const LimiterSettings& settings) {
    return m_impl->Result(m_impl->engine.SetLimiter(enabled, settings));
}

Status CWaveMix::LastStatus() const {
    return m_impl->lastStatus;
}

void CWaveMix::GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen,
                             void** pTag) {
    Pass(masterBuf, masterLen, mixBuf, mixLen, pTag, nullptr);
}

void CWaveMix::GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen,
                             void** pTag, CMixMinusFrames& minus) {
    Pass(masterBuf, masterLen, mixBuf, mixLen, pTag, minus.m_impl.get());
}

void CWaveMix::Pass(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen, void** pTag,
                    MinusOutputs* minus) {
    PassOutput out{masterBuf, masterLen, mixBuf, mixLen, pTag, minus};
    m_impl->engine.Pass(out, MonotonicSeconds());
    masterLen = out.masterLen;
    mixLen = out.mixLen;
}

}  // namespace _Carovel
