// The mixing engine under CWaveMix and CMixer: it owns the sources' queues,
// the state kept from pass to pass (the limiter's gains, room reused by the
// passes) and the pass itself.
//
// A pass is a fixed pipeline: take the oldest frame of every source, sum the
// frames once, then finish each output (the mix, and every source's
// mix-minus output: the sum less its own term) with a clamp or the limiter.
// How it finishes is set up when it can change (SetLimiter), not found out
// in every pass.
#ifndef CAROVEL_ENGINE_ENGINE_H
#define CAROVEL_ENGINE_ENGINE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "carovel/status.h"
#include "carovel/wave_mix.h"
#include "engine/limiter.h"
#include "engine/queue_table.h"
#include "platform/mutex.h"

namespace _Carovel {

// The mix-minus outputs of a pass: one per source, each with room for the
// pass's mix capacity.
struct MinusOutputs {
    bool includeIdle = false;
    Status lastStatus = Status::kOk;
    int capacity = 0;
    std::vector<long> ids;
    std::vector<int> lengths;
    std::vector<char> hadFrame;
    std::vector<char> bytes;  // capacity bytes per output

    int Count() const { return static_cast<int>(ids.size()); }
    char* Data(int index) {
        return bytes.data() + static_cast<std::size_t>(index) * static_cast<std::size_t>(capacity);
    }
    const char* Data(int index) const {
        return bytes.data() + static_cast<std::size_t>(index) * static_cast<std::size_t>(capacity);
    }
    void Clear() {
        ids.clear();
        lengths.clear();
        hadFrame.clear();
    }
    // Room for n outputs of capacity bytes each. Throws std::bad_alloc.
    void Prepare(std::size_t n, int outputCapacity);
    // The next output's room.
    char* Next(long id, bool took, int length);
};

// The buffers of one pass: capacities in, lengths out (as
// CWaveMix::GetMixedFrame takes them).
struct PassOutput {
    char* master = nullptr;
    int masterLen = 0;
    char* mix = nullptr;
    int mixLen = 0;
    // Source 0's tag, when the pass took its frame (null otherwise); left
    // alone when null.
    void** tag = nullptr;
    // The mix-minus outputs, when wanted.
    MinusOutputs* minus = nullptr;
};

class Engine {
  public:
    Engine() = default;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Drops every source, then sets the sample width in bytes (a width
    // outside 1..4 makes every pass empty), with floatSamples for the float
    // mixing format (width 4). The limiter's settings stay; its gains start
    // again at 1.
    void Init(unsigned short bytesPerSample, bool floatSamples = false)
        CAROVEL_EXCLUDES(passMutex_);
    // Drops every source with its frames, gains and limiter gains; waits for
    // a running pass.
    void Clear() CAROVEL_EXCLUDES(passMutex_);
    // The same, except that sources with a gain of their own keep it (see
    // QueueTable::ClearKeepingGains).
    void ClearKeepingGains() CAROVEL_EXCLUDES(passMutex_);
    // From now on every pass returns at once, producing nothing.
    void Close() { closing_ = true; }
    unsigned Width() const { return bytesPerSample_; }
    bool FloatSamples() const { return float_; }
    // The width for level measurements (MeasureFrameLevel): kFloatLevelWidth
    // for float samples.
    unsigned LevelWidth() const;

    // Queues a copy of a frame for a source, fed at nowSeconds (see
    // QueueTable::Push). kBadArgument for a negative length or null data.
    Status Push(long sourceId, const char* data, int len, void* tag, std::uint32_t nowSeconds,
                const std::shared_ptr<void>* attachment = nullptr, std::uint32_t* slot = nullptr) {
        if (len < 0 || (data == nullptr && len > 0)) {
            return Status::kBadArgument;
        }
        return queues_.Push(sourceId, data, len, tag, nowSeconds, attachment, slot);
    }
    // A source's gain, 0 to 16 (kBadArgument outside); see
    // CWaveMix::SetTrackGain.
    Status SetGain(long sourceId, float gain, std::uint32_t nowSeconds);
    // Turns the limiter on (with settings, kBadArgument when out of range)
    // or off; every limiter gain starts again at 1.
    Status SetLimiter(bool enabled, const LimiterSettings& settings) CAROVEL_EXCLUDES(passMutex_);

    // One pass at nowSeconds. With requireMaster false it goes on without
    // source 0's frame (masterLen 0, tag null; mixLen 0 when no source had a
    // frame).
    void Pass(PassOutput& out, std::uint32_t nowSeconds, bool requireMaster = true)
        CAROVEL_EXCLUDES(passMutex_);

    QueueTable& Queues() { return queues_; }

  private:
    // How a pass finishes its outputs, set up by SetLimiter and Init.
    struct Plan {
        bool limiter = false;
        LimiterSettings settings;
        // The settings turned into a shape for the width (when on).
        LimiterShape shape;
    };

    // Room for the whole frame's sums (and the limiter's scratch) before any
    // frame is taken; false when memory runs out.
    bool PrepareRoom(std::size_t capSamples, bool minus) CAROVEL_REQUIRES(passMutex_);
    // Room for a pass's mix-minus outputs (capacity bytes each) and their
    // limiters, made under the queues' lock before a frame is taken; does
    // nothing when minus is null. Used during a pass, with passMutex_ held.
    class MinusRoom final : public PassRoom {
      public:
        MinusRoom(Engine& engine, MinusOutputs* minus, int capacity)
            : engine_(engine), minus_(minus), capacity_(capacity) {}
        bool Make(std::size_t queues, std::size_t slots) override
            CAROVEL_REQUIRES(engine_.passMutex_);

      private:
        Engine& engine_;
        MinusOutputs* minus_;
        int capacity_;
    };
    void WriteMinusOutputs(const PassFrames& taken, const void* sums, WideKind kind,
                           std::size_t total, MinusOutputs& minus) CAROVEL_REQUIRES(passMutex_);
    void ResetLimiters() CAROVEL_REQUIRES(passMutex_) {
        mixLimiter_.Reset();
        sourceLimiters_.clear();
    }

    // Read by passes without a lock; Init is not called during one.
    std::atomic<unsigned short> bytesPerSample_{2};
    std::atomic<bool> float_{false};
    std::atomic<bool> closing_{false};
    QueueTable queues_;

    // Held for a whole pass, so that passes run one at a time, and by Clear
    // and SetLimiter. Taken before the queues' lock.
    Mutex passMutex_;
    Plan plan_ CAROVEL_GUARDED_BY(passMutex_);
    LimiterGain mixLimiter_ CAROVEL_GUARDED_BY(passMutex_);
    // Each source's mix-minus limiter, by the slot of its queue.
    std::vector<LimiterGain> sourceLimiters_ CAROVEL_GUARDED_BY(passMutex_);
    // Room reused by the passes.
    std::vector<std::uint64_t> wide_ CAROVEL_GUARDED_BY(passMutex_);
    std::vector<std::uint64_t> wideOutput_ CAROVEL_GUARDED_BY(passMutex_);
    std::vector<double> blockGains_ CAROVEL_GUARDED_BY(passMutex_);
    std::vector<IdleSource> idle_ CAROVEL_GUARDED_BY(passMutex_);
    std::vector<std::uint32_t> freedSlots_ CAROVEL_GUARDED_BY(passMutex_);
};

}  // namespace _Carovel

#endif  // CAROVEL_ENGINE_ENGINE_H
