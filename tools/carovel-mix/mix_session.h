// Drives a CMixer over a set of sources: feeds them in step, collects the
// output frames through the callback and hands them to the sink.
#ifndef CAROVEL_MIX_MIX_SESSION_H
#define CAROVEL_MIX_MIX_SESSION_H

#include <carovel/mixer.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "mix_sink.h"
#include "source_feeder.h"

namespace carovel_mix {

// Called now and then with the fraction of the master fed so far.
using ProgressFn = std::function<void(double)>;
// True when the user asked to stop.
using StopFn = std::function<bool()>;

// One mixing run. sources[0] is the master. The timeline advances in steps
// of kStepMs: at each step every other source is fed up to a point ahead of
// the master's, then the master up to the step. Offline, the mixer is opened
// for host-driven passes and every master frame then queued is mixed at once
// on the calling thread (MixPending); in real time the steps follow the wall
// clock and the mixer's output thread paces itself. After the last step the
// master's queue is drained.
class MixSession {
  public:
    // Steps (and the longest block fed at once) in real time, and offline.
    // Short blocks in real time exercise the mixer's reblocking; offline,
    // longer ones save calls. Either way each source is cut into the same
    // frames, so the mix is the same.
    static constexpr unsigned kStepMs = 7;
    static constexpr unsigned kOfflineStepMs = 1000;
    static unsigned StepMs(bool realtime);

    // hostDriven: the mixer runs no output thread and Run mixes offline.
    // Throws ToolError when the mixer cannot be opened.
    MixSession(std::vector<SourceFeeder>& sources, MixSink& sink, unsigned frameMs,
               bool hostDriven);
    ~MixSession();
    MixSession(const MixSession&) = delete;
    MixSession& operator=(const MixSession&) = delete;

    // Runs the mix to the end. Throws ToolError or Interrupted.
    void Run(bool realtime, const ProgressFn& progress, const StopFn& stop);
    std::uint64_t FramesMixed() const;

  private:
    static void OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                      void* self, void* tag);
    void Receive(const char* master, unsigned int masterLen, const char* mix, unsigned int mixLen);

    // Measures each source only over the part that goes into the mix.
    void LimitMeters();
    void Step(std::uint64_t ms);
    // Master frames the mixer will have queued once the master fed so far
    // has been converted and cut into frames.
    std::uint64_t ExpectedMasterFrames() const;
    void Drain(bool realtime);
    // Waits until more than `seen` callbacks arrived; false on timeout.
    bool WaitBeyond(std::uint64_t seen, std::chrono::milliseconds timeout);
    // Hands the frames received so far to the sink; unless forced, only once
    // they add up to a batch worth a write.
    void Flush(bool force);
    static constexpr std::size_t kWriteBatchBytes = 256 * 1024;

    std::vector<SourceFeeder>& m_sources;
    MixSink& m_sink;
    unsigned m_frameMs;
    unsigned m_frameBytes;
    static constexpr std::chrono::milliseconds kPatientWait{5000};

    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::uint64_t m_received = 0;
    std::vector<char> m_pendingMix;
    std::vector<char> m_pendingMaster;
    std::vector<char> m_outMix;
    std::vector<char> m_outMaster;

    // Last, so that it is closed and its thread gone before the rest goes.
    _Carovel::CMixer m_mixer;
};

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_MIX_SESSION_H
