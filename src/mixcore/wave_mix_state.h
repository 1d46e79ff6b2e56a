// What a CWaveMix holds: its sample width, its closing flag, the outcome of
// its last call, its queues, and the state of its passes (the limiter's
// settings and gains, room reused by the passes).
#ifndef CAROVEL_MIXCORE_WAVE_MIX_STATE_H
#define CAROVEL_MIXCORE_WAVE_MIX_STATE_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "carovel/wave_mix.h"
#include "mixcore/limiter.h"
#include "mixcore/queue_table.h"
#include "platform/mutex.h"

namespace _Carovel {

struct CWaveMix::State {
    // Read by passes without the queues' lock; Init is not called during one.
    std::atomic<unsigned short> bytesPerSample{2};
    std::atomic<bool> closing{false};
    std::atomic<Status> lastStatus{Status::kOk};
    QueueTable queues;

    // Held for a whole pass, so that passes run one at a time, and by
    // ClearBuffs and SetLimiter. Taken before the queues' lock.
    Mutex passMutex;
    bool limiterOn CAROVEL_GUARDED_BY(passMutex) = false;
    LimiterSettings limiterSettings CAROVEL_GUARDED_BY(passMutex);
    // The settings turned into a shape for the width it was made for (0:
    // none yet), kept from pass to pass.
    LimiterShape limiterShape CAROVEL_GUARDED_BY(passMutex);
    unsigned limiterShapeWidth CAROVEL_GUARDED_BY(passMutex) = 0;
    LimiterGain mixLimiter CAROVEL_GUARDED_BY(passMutex);
    // Each source's mix-minus limiter, by the slot of its queue.
    std::vector<LimiterGain> sourceLimiters CAROVEL_GUARDED_BY(passMutex);

    // Room reused by the passes.
    std::vector<std::uint64_t> wide CAROVEL_GUARDED_BY(passMutex);
    std::vector<std::uint64_t> wideOutput CAROVEL_GUARDED_BY(passMutex);
    std::vector<double> blockGains CAROVEL_GUARDED_BY(passMutex);
    std::vector<IdleSource> idle CAROVEL_GUARDED_BY(passMutex);
    std::vector<std::uint32_t> freedSlots CAROVEL_GUARDED_BY(passMutex);

    // Every limiter gain back to 1.
    void ResetLimiters() CAROVEL_REQUIRES(passMutex) {
        mixLimiter.Reset();
        sourceLimiters.clear();
    }
};

// What a CMixMinusFrames holds: one output per source, each with room for
// the pass's mix capacity.
struct CMixMinusFrames::Impl {
    bool includeIdle = false;
    Status lastStatus = Status::kOk;
    int capacity = 0;
    std::vector<long> ids;
    std::vector<int> lengths;
    std::vector<char> hadFrame;
    std::vector<char> bytes;  // capacity bytes per output

    void Clear() {
        ids.clear();
        lengths.clear();
        hadFrame.clear();
    }
    // Room for n outputs of capacity bytes each. Throws std::bad_alloc.
    void Prepare(std::size_t n, int outputCapacity) {
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
    char* Next(long id, bool took, int length) {
        char* const out = bytes.data() + ids.size() * static_cast<std::size_t>(capacity);
        ids.push_back(id);
        lengths.push_back(length);
        hadFrame.push_back(took ? 1 : 0);
        return out;
    }
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_WAVE_MIX_STATE_H
