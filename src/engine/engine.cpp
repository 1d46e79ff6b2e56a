#include "engine/engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "engine/mix_kernel.h"
#include "pcm/frame_level.h"
#include "pcm/sample_codec.h"

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

// Room for n values of the widest kind, as 64-bit words.
void EnsureWideRoom(std::vector<std::uint64_t>& room, std::size_t n) {
    const std::size_t words = n * (kMaxWideBytes / sizeof(std::uint64_t));
    if (room.size() < words) {
        room.resize(words);
    }
}

}  // namespace

void MinusOutputs::Prepare(std::size_t n, int outputCapacity) {
    Clear();
    capacity = outputCapacity;
    ids.reserve(n);
    lengths.reserve(n);
    hadFrame.reserve(n);
    const std::size_t need = n * static_cast<std::size_t>(outputCapacity);
    if (bytes.size() < need) {
        bytes.resize(need);
    }
}

char* MinusOutputs::Next(long id, bool took, int length) {
    char* const out = Data(Count());
    ids.push_back(id);
    lengths.push_back(length);
    hadFrame.push_back(took ? 1 : 0);
    return out;
}

void Engine::Init(unsigned short bytesPerSample, bool floatSamples) {
    MutexLock pass(passMutex_);
    queues_.Clear();
    ResetLimiters();
    bytesPerSample_ = bytesPerSample;
    float_ = floatSamples && bytesPerSample == 4;
    if (plan_.limiter && IsSupportedWidth(bytesPerSample)) {
        plan_.shape = MakeLimiterShape(plan_.settings, bytesPerSample, float_);
    }
}

unsigned Engine::LevelWidth() const {
    return float_ ? kFloatLevelWidth : bytesPerSample_.load();
}

void Engine::Clear() {
    MutexLock pass(passMutex_);
    queues_.Clear();
    ResetLimiters();
}

void Engine::ClearKeepingGains() {
    MutexLock pass(passMutex_);
    queues_.ClearKeepingGains();
    ResetLimiters();
}

Status Engine::SetGain(long sourceId, float gain, std::uint32_t nowSeconds) {
    if (!(gain >= 0.0f && gain <= 16.0f)) {
        return Status::kBadArgument;
    }
    const auto scaled = static_cast<std::int32_t>(std::lround(double{gain} * kUnityGain));
    return queues_.SetGain(sourceId, scaled, nowSeconds);
}

Status Engine::SetLimiter(bool enabled, const LimiterSettings& settings) {
    if (enabled && !LimiterSettingsValid(settings)) {
        return Status::kBadArgument;
    }
    MutexLock pass(passMutex_);
    plan_.limiter = enabled;
    if (enabled) {
        plan_.settings = settings;
        const unsigned width = bytesPerSample_;
        if (IsSupportedWidth(width)) {
            plan_.shape = MakeLimiterShape(settings, width, float_);
        }
    }
    ResetLimiters();
    return Status::kOk;
}

bool Engine::MinusRoom::Make(std::size_t queues, std::size_t slots) {
    if (minus_ == nullptr) {
        return true;
    }
    try {
        minus_->Prepare(queues, capacity_);
        if (engine_.plan_.limiter && engine_.sourceLimiters_.size() < slots) {
            engine_.sourceLimiters_.resize(slots);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool Engine::PrepareRoom(std::size_t capSamples, bool minus) {
    if (!plan_.limiter && !minus) {
        return true;  // the mix is summed a block at a time on the stack
    }
    try {
        EnsureWideRoom(wide_, capSamples);
        if (plan_.limiter) {
            blockGains_.reserve(3 * capSamples + 1);
            if (minus) {
                EnsureWideRoom(wideOutput_, capSamples);
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void Engine::Pass(PassOutput& out, std::uint32_t nowSeconds, bool requireMaster) {
    const int masterCapacity = out.master != nullptr ? std::max(out.masterLen, 0) : 0;
    const int mixCapacity = out.mix != nullptr ? std::max(out.mixLen, 0) : 0;
    out.masterLen = 0;
    out.mixLen = 0;
    MinusOutputs* const minus = out.minus;
    if (minus != nullptr) {
        minus->Clear();
        minus->lastStatus = Status::kOk;
    }
    const unsigned width = bytesPerSample_;
    if (closing_ || !IsSupportedWidth(width)) {
        return;
    }
    MutexLock pass(passMutex_);
    // Passes that keep the whole frame's sums get their room before any
    // frame is taken: without it they take nothing.
    if (!PrepareRoom(static_cast<std::size_t>(mixCapacity) / width, minus != nullptr)) {
        if (minus != nullptr) {
            minus->lastStatus = Status::kOutOfMemory;
        }
        return;
    }

    // 1. Take the frames. They stay in the queues' keeping until the next
    // pass, so the rest runs without the queues' lock. The mix-minus outputs
    // (and their limiters) get their room before: a pass that delivers its
    // mix delivers them all.
    PassFrames taken;
    std::vector<IdleSource>* const idle = minus != nullptr && minus->includeIdle ? &idle_ : nullptr;
    freedSlots_.clear();
    MinusRoom room(*this, minus != nullptr && mixCapacity > 0 ? minus : nullptr, mixCapacity);
    if (!queues_.TakeFrames(taken, nowSeconds, idle, freedSlots_, requireMaster, &room)) {
        if (minus != nullptr && room.outOfMemory) {
            minus->lastStatus = Status::kOutOfMemory;
        }
        return;
    }
    for (const std::uint32_t slot : freedSlots_) {
        if (slot < sourceLimiters_.size()) {
            sourceLimiters_[slot].Reset();
        }
    }
    const WaveFrame* const master = taken.Master();
    out.masterLen = master != nullptr ? CopyFrame(*master, out.master, masterCapacity) : 0;
    if (out.tag != nullptr) {
        *out.tag = master != nullptr ? master->pTag : nullptr;
    }
    if (taken.Count() == 0) {
        return;  // a pass without source 0 that found no frame at all
    }

    // 2. Sum once. A lone frame at gain 1 is its own mix, unless the limiter
    // is on.
    const bool unity = taken.AllUnity();
    const bool copyMix = taken.Count() == 1 && unity && !plan_.limiter;
    const std::size_t total = PassSamples(taken, width, mixCapacity);
    const bool floatMix = float_;
    const WideKind kind = floatMix ? WideKind::kFloat : ChooseWide(width, taken.Count(), !unity);
    const std::int32_t* const gains = unity ? nullptr : taken.Gains();
    const bool keepSums = plan_.limiter || minus != nullptr;

    // 3. Finish the mix: a copy, clamped, or limited.
    if (copyMix) {
        out.mixLen = CopyFrame(*taken.Data()[0], out.mix, mixCapacity);
    } else if (!keepSums && floatMix) {
        MixFramesFloat(taken.Data(), gains, taken.Count(), out.mix, total);
        out.mixLen = static_cast<int>(total * width);
    } else if (!keepSums) {
        MixFrames(taken.Data(), gains, taken.Count(), width, out.mix, total);
        out.mixLen = static_cast<int>(total * width);
    }
    if (!keepSums) {
        return;
    }
    void* const sums = wide_.data();
    SumWide(taken.Data(), gains, taken.Count(), width, kind, sums, 0, total);
    if (!copyMix) {
        if (plan_.limiter) {
            mixLimiter_.Process(plan_.shape, sums, kind, total, width, out.mix, blockGains_);
        } else {
            StoreWideMinus(sums, kind, total, width, nullptr, kUnityGain, out.mix);
        }
        out.mixLen = static_cast<int>(total * width);
    }

    // 4. Finish every mix-minus output from the same sums.
    if (minus != nullptr && mixCapacity > 0) {
        WriteMinusOutputs(taken, sums, kind, total, *minus);
    }
}

void Engine::WriteMinusOutputs(const PassFrames& taken, const void* sums, WideKind kind,
                               std::size_t total, MinusOutputs& minus) {
    const unsigned width = bytesPerSample_;
    const bool unity = taken.AllUnity();
    const bool limiter = plan_.limiter;
    std::vector<IdleSource>* const idle = minus.includeIdle ? &idle_ : nullptr;
    // Room for every output and its limiter was made before the frames were
    // taken (MinusRoom, sized for every queue and slot of the table).
    const int outLen = static_cast<int>(total * width);
    const LimiterShape& shape = plan_.shape;
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
                    std::int32_t gain) CAROVEL_REQUIRES(passMutex_) {
        char* const out = minus.Next(id, own != nullptr, outLen);
        const auto withinCeiling = [&] {
            double ownPeak = 0.0;
            if (own != nullptr && kind == WideKind::kFloat) {
                ownPeak = FloatFramePeak(own, total) * (static_cast<double>(gain) / kUnityGain);
            } else if (own != nullptr) {
                ownPeak = static_cast<double>(FramePeak(own, width, total)) *
                          (IsScaled(kind) ? static_cast<double>(gain) : 1.0);
            }
            return sumsPeak + ownPeak <= ceilingWide;
        };
        if (limiter && !(sourceLimiters_[slot].Gain() == 1.0 && withinCeiling())) {
            void* const wide = wideOutput_.data();
            WideMinus(sums, kind, total, width, own, gain, wide);
            sourceLimiters_[slot].Process(shape, wide, kind, total, width, out, blockGains_);
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
