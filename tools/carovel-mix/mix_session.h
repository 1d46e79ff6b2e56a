// Drives a CMixer over a set of sources: feeds them in step, collects the
// output frames through the callback and hands them to the sink.
#ifndef CAROVEL_MIX_MIX_SESSION_H
#define CAROVEL_MIX_MIX_SESSION_H

#include <carovel/mixer.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "mix_sink.h"
#include "options.h"
#include "source_feeder.h"

namespace carovel_mix {

// Called now and then with the frames of the mix done so far and the
// frames it will have.
using ProgressFn = std::function<void(std::uint64_t done, std::uint64_t total)>;

// One mixing run. sources[0] is the master. The timeline advances in steps:
// at each step every other source is fed up to a point ahead of the
// master's, then the master up to the step. Offline, the mixer is opened for
// host-driven passes and every master frame then queued is mixed at once on
// the calling thread (MixPending); in real time the steps follow the wall
// clock and the mixer's output thread paces itself. After the last step the
// master's queue is drained.
//
// The mix ends where `length` says, on the mix's timeline of frames: every
// source starts after its delay and is fed up to the end of the mix or its
// own end, whichever comes first, and is then flushed; the master is padded
// with silence up to the end of the mix, so that it paces every pass.
class MixSession {
  public:
    // Steps (and the longest block fed at once) in real time, and offline.
    // Short blocks in real time exercise the mixer's reblocking; offline,
    // longer ones save calls. Either way each source is cut into the same
    // frames, so the mix is the same.
    static constexpr unsigned kStepMs = 7;
    static constexpr unsigned kOfflineStepMs = 1000;
    static unsigned StepMs(bool realtime);

    // realtime: the mixer's output thread paces the mix; otherwise the
    // passes are host-driven. Throws ToolError when the mixer cannot be
    // opened.
    MixSession(std::vector<SourceFeeder>& sources, MixSink& sink, unsigned frameMs, bool exactFrame,
               MixLength length, bool realtime);
    ~MixSession();
    MixSession(const MixSession&) = delete;
    MixSession& operator=(const MixSession&) = delete;

    // Ends the mix at frame `end` at the latest, wherever its length would
    // end it (a submix for a mix that ends sooner). Set before Run.
    void LimitEnd(std::uint64_t end) { m_endLimit = end; }

    // Turns the mixer's limiter on (-1 dBFS, 100 ms release). Throws
    // ToolError when refused.
    void EnableLimiter();

    // Runs the mix to the end. Throws ToolError, or Interrupted when a stop
    // signal arrives.
    void Run(const ProgressFn& progress);
    std::uint64_t PassesReceived() const;

  private:
    static void OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                      void* self, void* tag);
    static void OnMinus(long source, char* frame, unsigned int len, void* self);
    void Receive(const char* master, unsigned int masterLen, const char* mix, unsigned int mixLen);
    void ReceiveMinus(long source, const char* frame, unsigned int len);
    // Gives the mix-minus outputs the last pass did not deliver (a source
    // that had ended and was dropped) that pass's mix: without the source,
    // the mix is what everyone else sent. Called with m_lock held.
    void FinishPass();
    // The same once the mixer is closed and no callback comes any more.
    void FinishLastPass();
    // Closes and destroys the mixer, once drained; throws ToolError when a
    // callback could not keep what it was given.
    void CloseMixer();

    // Works out where the mix ends from what is known of each source's length.
    void UpdateEnd();
    bool AllDone() const;
    void Step(std::uint64_t ms);
    // How far ahead of the master a source is fed, in frames of the mix: far
    // enough that what its converter holds back is still ahead of the master.
    std::uint64_t LeadOf(const SourceFeeder& source) const;
    // Master frames the mixer will have queued once the master fed so far
    // has been converted and cut into frames.
    std::uint64_t ExpectedMasterFrames() const;
    void Drain();
    // Waits until more than `seen` callbacks arrived; false on timeout.
    bool WaitBeyond(std::uint64_t seen, std::chrono::milliseconds timeout);
    // Hands the frames received so far to the sink; unless forced, only once
    // they add up to a batch worth a write.
    void Flush(bool force);
    static constexpr std::size_t kWriteBatchBytes = 256 * 1024;

    std::vector<SourceFeeder>& m_sources;
    MixSink& m_sink;
    unsigned m_frameBytes;
    std::uint64_t m_frameSamples;  // sample frames in one frame of the mix
    MixLength m_length;
    bool m_realtime;
    std::uint64_t m_end = UINT64_MAX;
    std::uint64_t m_endLimit = UINT64_MAX;
    static constexpr std::chrono::milliseconds kPatientWait{5000};
    static constexpr std::chrono::milliseconds kDrainSlice{100};

    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::uint64_t m_received = 0;
    std::atomic<unsigned long> m_lostPasses{0};
    std::vector<char> m_pendingMix;
    std::vector<char> m_pendingMaster;
    std::vector<char> m_outMix;
    std::vector<char> m_outMaster;
    // Mix-minus outputs asked for, by source: what arrived, and whether the
    // current pass delivered one.
    std::map<long, std::vector<char>> m_pendingMinus;
    std::map<long, std::vector<char>> m_outMinus;
    std::map<long, bool> m_minusDelivered;
    std::vector<char> m_passMix;  // the current pass's mix
    bool m_passOpen = false;

    // Last, so that it is closed and its thread gone before the rest goes.
    // Reset once drained: destroying the mixer waits for its output thread,
    // so that no callback comes after the last pass was finished.
    std::unique_ptr<_Carovel::CMixer> m_mixer = std::make_unique<_Carovel::CMixer>();
};

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_MIX_SESSION_H
