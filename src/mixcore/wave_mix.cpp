#include "carovel/wave_mix.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "mixcore/limiter.h"
#include "mixcore/mix_kernel.h"
#include "mixcore/wave_mix_state.h"
#include "pcm/sample_codec.h"
#include "platform/clock.h"

namespace _Carovel {
namespace {

// Copies up to capacity bytes of frame into out; returns the bytes copied.
int CopyFrame(const WaveFrame& frame, char* out, int capacity) {
    const int len = std::min(frame.nLen, capacity);
    if (len > 0) {
        std::memcpy(out, frame.pData, static_cast<std::size_t>(len));
    }
    return std::max(len, 0);
}

// Sample positions of the pass's outputs: the longest taken frame in whole
// samples, cut to the capacity in whole samples.
std::size_t PassSamples(const PassFrames& taken, unsigned width, int capacity) {
    std::size_t longest = 0;
    for (std::size_t f = 0; f < taken.Count(); ++f) {
        longest = std::max(longest, static_cast<std::size_t>(taken.Data()[f]->nLen) / width);
    }
    return std::min(longest, static_cast<std::size_t>(capacity) / width);
}

// The mix of frames with gains and without limiter, a block of positions at
// a time on the stack, so that it needs no memory of its own.
void MixScaledInBlocks(const PassFrames& taken, unsigned width, std::size_t total, char* out) {
    constexpr std::size_t kBlock = 512;
    alignas(16) unsigned char sums[kBlock * kMaxWideBytes];
    const WideKind kind = ChooseWide(width, taken.Count(), true);
    for (std::size_t base = 0; base < total; base += kBlock) {
        const std::size_t n = std::min(kBlock, total - base);
        SumWide(taken.Data(), taken.Gains(), taken.Count(), width, kind, sums, base, base + n);
        StoreWideMinus(sums, kind, n, width, nullptr, kUnityGain, out + base * width);
    }
}

// Room for n values of the widest kind, as 64-bit words.
void EnsureWideRoom(std::vector<std::uint64_t>& room, std::size_t n) {
    const std::size_t words = n * (kMaxWideBytes / sizeof(std::uint64_t));
    if (room.size() < words) {
        room.resize(words);
    }
}

}  // namespace

CMixMinusFrames::CMixMinusFrames() : m_impl(std::make_unique<Impl>()) {}
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
    return index >= 0 && index < Count()
               ? m_impl->bytes.data() +
                     static_cast<std::size_t>(index) * static_cast<std::size_t>(m_impl->capacity)
               : nullptr;
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

CWaveMix::CWaveMix() : m_state(std::make_unique<State>()) {}

CWaveMix::~CWaveMix() {
    m_state->closing = true;
    // Lets a pass that began just before the flag was set finish first. It is
    // a courtesy, not a guarantee: owners stop their mixing threads before
    // destroying the frame mixer.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ClearBuffs();
}

void CWaveMix::Init(unsigned short bytesPerSample) {
    ClearBuffs();
    m_state->bytesPerSample = bytesPerSample;
}

void CWaveMix::ClearBuffs() {
    State& st = *m_state;
    MutexLock pass(st.passMutex);
    st.queues.Clear();
    st.ResetLimiters();
}

bool CWaveMix::AddFrame(long trackID, const char* data, int len, void* tag) {
    const Status status = len < 0 || (data == nullptr && len > 0)
                              ? Status::kBadArgument
                              : m_state->queues.Push(trackID, data, len, tag);
    m_state->lastStatus = status;
    return status == Status::kOk;
}

bool CWaveMix::SetTrackGain(long trackID, float gain) {
    Status status = Status::kBadArgument;
    if (gain >= 0.0f && gain <= 16.0f) {
        const auto scaled = static_cast<std::int32_t>(std::lround(double{gain} * kUnityGain));
        status = m_state->queues.SetGain(trackID, scaled);
    }
    m_state->lastStatus = status;
    return status == Status::kOk;
}

bool CWaveMix::SetLimiter(bool enabled, const LimiterSettings& settings) {
    State& st = *m_state;
    if (enabled && !LimiterSettingsValid(settings)) {
        st.lastStatus = Status::kBadArgument;
        return false;
    }
    {
        MutexLock pass(st.passMutex);
        st.limiterOn = enabled;
        if (enabled) {
            st.limiterSettings = settings;
            st.limiterShapeWidth = 0;
        }
        st.ResetLimiters();
    }
    st.lastStatus = Status::kOk;
    return true;
}

Status CWaveMix::LastStatus() const {
    return m_state->lastStatus;
}

void CWaveMix::GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen,
                             void** pTag) {
    RunPass(masterBuf, masterLen, mixBuf, mixLen, pTag, nullptr);
}

void CWaveMix::GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen,
                             void** pTag, CMixMinusFrames& minus) {
    RunPass(masterBuf, masterLen, mixBuf, mixLen, pTag, minus.m_impl.get());
}

void CWaveMix::RunPass(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen, void** pTag,
                       CMixMinusFrames::Impl* minus, bool requireMaster) {
    const int masterCapacity = masterBuf != nullptr ? std::max(masterLen, 0) : 0;
    const int mixCapacity = mixBuf != nullptr ? std::max(mixLen, 0) : 0;
    masterLen = 0;
    mixLen = 0;
    if (minus != nullptr) {
        minus->Clear();
        minus->lastStatus = Status::kOk;
    }
    const unsigned width = m_state->bytesPerSample;
    if (m_state->closing || !IsSupportedWidth(width)) {
        return;
    }
    State& st = *m_state;
    MutexLock pass(st.passMutex);
    const bool limiter = st.limiterOn;
    const std::size_t capSamples = static_cast<std::size_t>(mixCapacity) / width;

    // Passes that keep the whole frame's sums get their room before any
    // frame is taken: without it they take nothing.
    if (limiter || minus != nullptr) {
        try {
            EnsureWideRoom(st.wide, capSamples);
            if (limiter) {
                st.blockGains.reserve(3 * capSamples + 1);
                if (minus != nullptr) {
                    EnsureWideRoom(st.wideOutput, capSamples);
                }
            }
        } catch (const std::bad_alloc&) {
            if (minus != nullptr) {
                minus->lastStatus = Status::kOutOfMemory;
            }
            return;
        }
    }

    PassFrames taken;
    std::vector<IdleSource>* const idle =
        minus != nullptr && minus->includeIdle ? &st.idle : nullptr;
    st.freedSlots.clear();
    if (!st.queues.TakeFrames(taken, MonotonicSeconds(), idle, &st.freedSlots, requireMaster)) {
        return;
    }
    // The frames now belong to this pass: the rest runs without the queues'
    // lock.
    for (const std::uint32_t slot : st.freedSlots) {
        if (slot < st.sourceLimiters.size()) {
            st.sourceLimiters[slot].Reset();
        }
    }
    // Source 0's frame, unless the pass went on without it.
    const WaveFrame* const master = taken.Master();
    masterLen = master != nullptr ? CopyFrame(*master, masterBuf, masterCapacity) : 0;
    if (pTag != nullptr) {
        *pTag = master != nullptr ? master->pTag : nullptr;
    }
    if (taken.Count() == 0) {
        return;  // a pass without source 0 that found no frame at all
    }

    const bool unity = taken.AllUnity();
    // A lone frame at gain 1 is its own mix.
    const bool copyMix = taken.Count() == 1 && unity && !limiter;
    const WaveFrame& first = *taken.Data()[0];
    if (minus == nullptr && !limiter) {
        if (copyMix) {
            mixLen = CopyFrame(first, mixBuf, mixCapacity);
        } else if (unity) {
            mixLen = MixFrames(taken.Data(), taken.Count(), width, mixBuf, mixCapacity);
        } else {
            const std::size_t total = PassSamples(taken, width, mixCapacity);
            MixScaledInBlocks(taken, width, total, mixBuf);
            mixLen = static_cast<int>(total * width);
        }
        return;
    }

    // The whole frame's wide sums, then every output from them.
    const std::size_t total = PassSamples(taken, width, mixCapacity);
    const WideKind kind = ChooseWide(width, taken.Count(), !unity);
    const std::int32_t* const gains = unity ? nullptr : taken.Gains();
    void* const sums = st.wide.data();
    SumWide(taken.Data(), gains, taken.Count(), width, kind, sums, 0, total);
    if (limiter && st.limiterShapeWidth != width) {
        st.limiterShape = MakeLimiterShape(st.limiterSettings, width);
        st.limiterShapeWidth = width;
    }
    const LimiterShape shape = st.limiterShape;  // a few numbers: copied
    if (copyMix) {
        mixLen = CopyFrame(first, mixBuf, mixCapacity);
    } else {
        if (limiter) {
            st.mixLimiter.Process(shape, sums, kind, total, width, mixBuf, st.blockGains);
        } else {
            StoreWideMinus(sums, kind, total, width, nullptr, kUnityGain, mixBuf);
        }
        mixLen = static_cast<int>(total * width);
    }
    if (minus == nullptr || mixCapacity == 0) {
        return;
    }

    const std::size_t outputs = taken.Count() + (idle != nullptr ? idle->size() : 0);
    try {
        minus->Prepare(outputs, mixCapacity);
        if (limiter) {
            std::uint32_t highest = 0;
            for (std::size_t f = 0; f < taken.Count(); ++f) {
                highest = std::max(highest, taken.Slots()[f]);
            }
            for (std::size_t i = 0; idle != nullptr && i < idle->size(); ++i) {
                highest = std::max(highest, (*idle)[i].slot);
            }
            if (st.sourceLimiters.size() <= highest) {
                st.sourceLimiters.resize(std::size_t{highest} + 1);
            }
        }
    } catch (const std::bad_alloc&) {
        minus->Clear();
        minus->lastStatus = Status::kOutOfMemory;
        return;
    }
    const int outLen = static_cast<int>(total * width);
    // With the limiter on, an output whose gain is at 1 and whose sums cannot
    // pass the ceiling (the peak of all sums plus the peak of its own term
    // stays within it) is exactly the clamped difference: no need to find
    // its peaks one by one.
    const double unit = IsScaled(kind) ? 65536.0 : 1.0;
    const double sumsPeak = limiter ? WidePeak(sums, kind, total) : 0.0;
    const double ceilingWide = shape.ceiling * unit;
    // One output: the sums less own's term (own null for a source without a
    // frame), limited with the slot's gain or clamped.
    auto emit = [&](long id, std::uint32_t slot, const WaveFrame* own,
                    std::int32_t gain) CAROVEL_REQUIRES(st.passMutex) {
        char* const out = minus->Next(id, own != nullptr, outLen);
        // Only an output at gain 1 may skip its limiter; only then is its own
        // frame's peak needed.
        const auto withinCeiling = [&] {
            const double ownPeak = own != nullptr
                                       ? static_cast<double>(FramePeak(own, width, total)) *
                                             (IsScaled(kind) ? static_cast<double>(gain) : 1.0)
                                       : 0.0;
            return sumsPeak + ownPeak <= ceilingWide;
        };
        if (limiter && !(st.sourceLimiters[slot].Gain() == 1.0 && withinCeiling())) {
            void* const wide = st.wideOutput.data();
            WideMinus(sums, kind, total, width, own, gain, wide);
            st.sourceLimiters[slot].Process(shape, wide, kind, total, width, out, st.blockGains);
        } else {
            StoreWideMinus(sums, kind, total, width, own, gain, out);
        }
    };
    for (std::size_t f = 0; f < taken.Count(); ++f) {
        emit(taken.Ids()[f], taken.Slots()[f], taken.Data()[f],
             unity ? kUnityGain : taken.Gains()[f]);
    }
    for (std::size_t i = 0; idle != nullptr && i < idle->size(); ++i) {
        emit((*idle)[i].id, (*idle)[i].slot, nullptr, kUnityGain);
    }
}

}  // namespace _Carovel
