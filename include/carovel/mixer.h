// CMixer: converts, reblocks and queues audio from any number of sources and
// mixes one frame of every source per frame period on an output thread.
#ifndef CAROVEL_MIXER_H
#define CAROVEL_MIXER_H

#include <memory>

#include "carovel/export.h"
#include "carovel/status.h"
#include "carovel/wave_mix.h"

// The channel CMixer::CopyChannel keeps. Values of 2 and above leave the
// buffer unchanged.
enum enChannel : int { CH_LEFT = 0, CH_RIGHT = 1 };

namespace _Carovel {

// Receives every mixing result on the mixer's output thread: the master
// frame (source 0's frame) and the mix of all sources, the context pointer
// given to Open and the tag that came with the master frame. Both buffers
// belong to the mixer and are valid only during the call.
typedef void (*MixOutCallback)(char* masterFrame, unsigned int masterLen, char* mixFrame,
                               unsigned int mixLen, void* userData, void* tag);

// Usage:
//   Open(channels, samplesPerSec, bitsPerSample, frameSize, callback, ctx);
//   AddFrame(sourceId, block, len, itsChannels, itsRate, itsBits, tag)...
//   Close();
//
// Blocks may have any length and any supported PCM format per call: 8-bit
// unsigned, 16-, 24- or 32-bit signed, 1 or more channels, 1..65535 samples
// per second. Blocks not in the mixing format are converted. Each source's
// bytes are cut into frames of frameSize bytes; a frame completed by bytes of
// several calls carries the tag of the call that completed it.
//
// Source 0 is the master: a mixing pass takes frames only when source 0 has a
// frame queued, so source 0 sets the rhythm. The output thread runs a pass
// every frame period (at once after NotifyToMixe) and calls the callback when
// the pass produced a mix. A pass takes at most one frame per source and
// passes are at least 5 ms apart unless NotifyToMixe starts them, so a master
// fed in real time with frames shorter than 5 ms backs up. Sources that send
// nothing for more than 10 seconds are dropped from the mix, and their intake
// state (a staged partial frame, the converter) is dropped when a new source
// appears.
//
// Threading:
//  - AddFrame, ClearTraceData, Open and Close must not overlap each other
//    (call them from one thread, or serialise them). NotifyToMixe, IsRun and
//    LastStatus may be called from any thread at any time. Builds with
//    CAROVEL_CHECK_CALLS defined (debug builds) abort with a message when
//    the serialised calls overlap.
//  - The callback runs on the output thread, at real-time priority where the
//    process is permitted to use it. It may call NotifyToMixe and Close, even
//    while a host thread is inside AddFrame (the host's calls then return
//    false). It may destroy the mixer when no host thread is inside a call on
//    it. Open from inside the callback returns false.
//  - Close returns within about 200 ms. When it returns the mixer may be
//    reopened or destroyed, and the output thread starts no further pass. A
//    callback that had already begun (or that the thread had committed to
//    just before Close) may still run if it takes longer than that; it ends on
//    its own, and the next Open and the destructor wait for it to return
//    before going on. A pass already taken from the queues when Close is
//    called is dropped.
class CAROVEL_API CMixer {
  public:
    CMixer();
    // Closes the mixer when it is open and waits for the output thread to end
    // (unless called from inside the callback, in which case the thread ends
    // on its own when the callback returns, touching nothing of the mixer).
    ~CMixer();
    CMixer(const CMixer&) = delete;
    CMixer& operator=(const CMixer&) = delete;

    // Opens the mixer with the mixing format and frame length and starts the
    // output thread. Returns false, changing nothing, when the mixer is
    // already open (kAlreadyOpen), pfn is null, channels or samplesPerSec is
    // 0, frameSize is 0 or not a whole number of sample blocks (channels *
    // bitsPerSample / 8 bytes) (kBadArgument), bitsPerSample is not 8, 16, 24
    // or 32 (kUnsupportedFormat), when called from inside the callback
    // (kInsideCallback), or when the thread cannot be started
    // (kThreadStartFailed, or kOutOfMemory).
    bool Open(unsigned short channels, unsigned short samplesPerSec, unsigned short bitsPerSample,
              unsigned short frameSize, MixOutCallback pfn, void* userData);
    // Stops the output thread, forgets the callback and drops every source's
    // staged bytes and converter (called from inside the callback, it leaves
    // those to the next Open or the destructor). Queued frames stay until the
    // next Open. Always returns true.
    bool Close();
    // True while the mixer is open and its output thread exists.
    bool IsRun() const;
    // Starts the next mixing pass at once instead of at the end of the period.
    void NotifyToMixe();
    // The output thread's body. Runs only on the thread Open starts; returns
    // at once elsewhere.
    void MixOutLoop();
    // Discards every source's staged partial frame and every queued frame.
    void ClearTraceData();

    // Feeds a block of source traceID. Returns true when the block was
    // accepted (len 0 is accepted and queues nothing). Returns false, keeping
    // everything accepted before, when the mixer is not open (kNotOpen), len
    // is negative or data is null with len above 0 (kBadArgument), the
    // block's format cannot be converted (kUnsupportedFormat), the converter
    // stops consuming input (kNoProgress), or memory runs out
    // (kOutOfMemory). When memory runs out while queuing frames, the block's
    // bytes already converted stay staged and go out with the source's next
    // block; do not feed the block again.
    bool AddFrame(long traceID, const char* data, int len, unsigned short channels,
                  unsigned short samplesPerSec, unsigned short bitsPerSample, void* tag);

    // Ends source traceID's stream, so that every byte it was fed is mixed:
    // converts what its converter still holds back (a resampler keeps a few
    // milliseconds), pads its last partial frame with silence to a whole
    // frame and queues it with tag. An incomplete sample block of a converted
    // format (less than one sample of every channel) is dropped. The source
    // may go on feeding: that starts a new stream. Returns true, also for a
    // source with nothing pending or unknown to the mixer; false when the
    // mixer is not open (kNotOpen) or memory runs out (kOutOfMemory).
    bool FlushSource(long traceID, void* tag);

    // How many exceptions escaped the callback since the mixer was made. The
    // callback should not throw; when it does, the output thread counts the
    // exception, drops it and goes on with the next pass.
    unsigned long CallbackExceptions() const;

    // Scales every whole sample of buf by factor, in place, truncating toward
    // zero and clamping to the sample range. bytesPerSample 1 is unsigned
    // 8-bit (scaled around 128), 3 is signed 24-bit, 4 is signed 32-bit,
    // every other value signed 16-bit. A NaN factor gives silence.
    static void ChangeVolume(char* buf, unsigned int len, int bytesPerSample, float factor);
    // Copies the chosen channel of every whole interleaved stereo pair of buf
    // over the other one. Sample widths as for ChangeVolume.
    static void CopyChannel(char* buf, unsigned int len, int bytesPerSample, enChannel channel);

    // The outcome of the last Open or AddFrame on this mixer: kOk when it
    // returned true, otherwise why it returned false (see those calls). Read
    // it from the thread that made the call.
    Status LastStatus() const;

  private:
    friend struct MixerTestAccess;  // lets the library's tests inspect the intake
    struct Impl;

    bool Fail(Status status);

    CWaveMix m_WaveMix;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_H
