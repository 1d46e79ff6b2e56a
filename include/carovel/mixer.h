// CMixer: converts, reblocks and queues audio from any number of sources and
// mixes one frame of every source per frame period on an output thread.
#ifndef CAROVEL_MIXER_H
#define CAROVEL_MIXER_H

#include <memory>

#include "carovel/export.h"
#include "carovel/format.h"
#include "carovel/stats.h"
#include "carovel/status.h"
#include "carovel/wave_convert.h"
#include "carovel/wave_mix.h"

// The channel CMixer::CopyChannel keeps. Values of 2 and above leave the
// buffer unchanged.
enum enChannel : int { CH_LEFT = 0, CH_RIGHT = 1 };

namespace _Carovel {

struct PcmFormat;

// Receives every mixing result on the mixer's output thread: the master
// frame (source 0's frame) and the mix of all sources, the context pointer
// given to Open and the tag that came with the master frame. Both buffers
// belong to the mixer and are valid only during the call.
typedef void (*MixOutCallback)(char* masterFrame, unsigned int masterLen, char* mixFrame,
                               unsigned int mixLen, void* userData, void* tag);

// Receives one mix-minus output: for source traceID, the mix of every other
// source of the pass (see CMixMinusFrames in carovel/wave_mix.h), with the
// context pointer given to Open. Called once per source per pass, right
// after the MixOutCallback of the same pass and on the same thread. The
// buffer belongs to the mixer and is valid only during the call.
typedef void (*MixMinusCallback)(long traceID, char* frame, unsigned int len, void* userData);

// Usage:
//   Open(AudioFormat{48000, 2, SampleType::kS16}, frameBytes, callback, ctx);
//   AddFrame(sourceId, block, len, itsFormat, tag)...
//   Close();
// (or, with integer formats, Open(channels, samplesPerSec, bitsPerSample,
// frameSize, callback, ctx) and AddFrame(sourceId, block, len, itsChannels,
// itsRate, itsBits, tag)).
//
// Blocks may have any length and any supported PCM format per call: 8-bit
// unsigned, 16-, 24- or 32-bit signed or 32-bit float (carovel/format.h), 1
// or more channels, 1..768000 samples per second (1..65535 through the calls
// taking a rate as unsigned short). Blocks not in the mixing format are
// converted (see CWaveConvert). Each source's bytes are cut into frames of
// frameSize bytes; a frame completed by bytes of several calls carries the
// tag of the call that completed it.
//
// A float mixing format (SampleType::kF32) mixes as CWaveMix does in float:
// the sum, gains and mix-minus outputs in float, nothing clamped, so sources
// above full scale keep their level; the limiter, when on, keeps the outputs
// at its ceiling. Integer sources come in scaled to +-1.0 and float sources
// unchanged (through the converter when their rate or channels differ). In
// an integer mixing format a float source is rounded and clamped at full
// scale, and every sample clamped so is counted in its statistics
// (SourceStats::clippedSamples).
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
//  - AddFrame, FlushSource, ClearTraceData, Open, OpenManual, MixPending,
//    SetMixMinusCallback, SetLimiter and Close must not overlap each other
//    (call them from one thread, or serialise them). NotifyToMixe, IsRun,
//    SetSourceGain and LastStatus may be called from any thread at any time. Builds with
//    CAROVEL_CHECK_CALLS defined (debug builds) abort with a message when
//    the serialised calls overlap.
//  - The callback runs on the output thread, at real-time priority where the
//    process is permitted to use it. It may call NotifyToMixe and Close, even
//    while a host thread is inside AddFrame (the host's calls then return
//    false). It may destroy the mixer when no host thread is inside a call on
//    it. Open from inside the callback returns false.
//  - In host-driven mode (OpenManual) there is no output thread: the host
//    runs the passes with MixPending, and the callbacks run inside it on the
//    host's thread. MixPending is one of the serialised calls above. From
//    inside a callback the host may call Close, SetSourceGain and
//    NotifyToMixe (which does nothing in this mode); the other calls there
//    refuse with kInsideCallback (MixPending returns 0, ClearTraceData does
//    nothing). The callback must not destroy the mixer.
//  - Close returns within about 200 ms. When it returns the mixer may be
//    reopened or destroyed, and the output thread starts no further pass. A
//    callback that had already begun (or that the thread had committed to
//    just before Close) may still run if it takes longer than that; it ends on
//    its own, and the next Open and the destructor wait for it to return
//    before going on. A pass already taken from the queues when Close is
//    called is dropped, unless its mix went to the callback already: then
//    its mix-minus outputs follow, so that a host receives passes whole
//    (a Close from inside the callback ends the pass there). To know that
//    the last of them has arrived, destroy the mixer or open it again:
//    both wait for the output thread.
//
// Conference outputs, each opt-in (without them the mixer works exactly as
// described above):
//  - SetMixMinusCallback: besides the mix, every source receives the mix of
//    all the others each pass (its N-1 mix), from one wide sum per pass.
//  - SetLimiter: the mix and each mix-minus output are limited instead of
//    clamped (see CWaveMix::SetLimiter).
//  - SetSourceGain: a gain per source, applied inside the wide sum with one
//    rounding at the end; 0 mutes the source.
//  - OpenManual and MixPending: passes driven by the host, without an output
//    thread, e.g. for offline jobs.
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
    // The same with the mixing format in one value: any format
    // IsValidFormat accepts (carovel/format.h), kF32 included. frameBytes
    // must be a whole number of sample blocks, at least one, and at most
    // 2^30 (kBadArgument). A rate of 0 or no channels is kBadArgument, a
    // rate above 768000 or a type outside the enumeration
    // kUnsupportedFormat; the other failures are those above.
    bool Open(const AudioFormat& mix, unsigned long frameBytes, MixOutCallback pfn, void* userData);
    // Opens the mixer for host-driven passes: like Open (same arguments, same
    // checks and failures except kThreadStartFailed), but no output thread
    // starts and no pass runs by itself; MixPending runs them. Sources,
    // conversion, gains, the limiter and mix-minus outputs work as with Open.
    bool OpenManual(unsigned short channels, unsigned short samplesPerSec,
                    unsigned short bitsPerSample, unsigned short frameSize, MixOutCallback pfn,
                    void* userData);
    // OpenManual with the mixing format in one value, as Open above.
    bool OpenManual(const AudioFormat& mix, unsigned long frameBytes, MixOutCallback pfn,
                    void* userData);
    // Runs mixing passes on the calling thread while source 0 has a frame
    // queued, at most maxPasses of them, calling the callbacks of each pass
    // before the next (the mix, then the mix-minus outputs). Stops early when
    // a callback closes the mixer. Returns the number of passes run, 0 when
    // maxPasses is below 1 or nothing was queued. Returns 0 with LastStatus
    // kNotOpen when the mixer is not open, kNotHostDriven when it was opened
    // with Open (its output thread runs the passes), kInsideCallback when
    // called from inside a callback.
    int MixPending(int maxPasses);

    // Sets the callback that receives every source's mix-minus output from
    // the next Open or OpenManual on; null turns the outputs off (the
    // default). With includeIdle, sources that are present (not yet dropped
    // as idle) but had no frame in a pass receive the full mix too. Returns
    // false, changing nothing, while the mixer is open (kAlreadyOpen).
    bool SetMixMinusCallback(MixMinusCallback fn, bool includeIdle = false);

    // Turns the limiter on the mix and on every mix-minus output on or off
    // (see CWaveMix::SetLimiter; the mixing format's channels and rate are
    // used). Takes effect at once when open and stays for later Opens.
    // Returns false, changing nothing, when thresholdDbfs is outside -60..0
    // or releaseMs outside 1..10000 (kBadArgument). One of the serialised
    // calls.
    bool SetLimiter(bool enabled, float thresholdDbfs = -1.0f, float releaseMs = 100.0f);

    // Sets the gain of source traceID in the mix and in the other sources'
    // mix-minus outputs: 0 (muted) to 16, 1 restores plain mixing (see
    // CWaveMix::SetTrackGain). The gain holds until the source is dropped as
    // idle or the mixer is closed. May be called from any thread, also from
    // inside the callbacks. Returns false, changing nothing, when the mixer
    // is not open (kNotOpen), the gain is outside 0..16 or NaN
    // (kBadArgument), or memory runs out (kOutOfMemory).
    bool SetSourceGain(long traceID, float gain);

    // Stops the output thread, forgets the callback and drops every source's
    // staged bytes and converter (called from inside the callback, it leaves
    // those to the next Open or the destructor). Queued frames stay until the
    // next Open. Always returns true.
    bool Close();
    // True while the mixer is open: opened by Open, with its output thread,
    // or by OpenManual.
    bool IsRun() const;
    // Starts the next mixing pass at once instead of at the end of the period.
    void NotifyToMixe();
    // The output thread's body. Runs only on the thread Open starts; returns
    // at once elsewhere.
    void MixOutLoop();
    // Discards every source's staged partial frame and every queued frame.
    // The sources go (see carovel/stats.h), except those with a gain set by
    // SetSourceGain: they keep it, so that a muted source stays muted.
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
    // The same with the block's format in one value (any format
    // IsValidFormat accepts, floats included; kUnsupportedFormat for
    // others).
    bool AddFrame(long traceID, const char* data, int len, const AudioFormat& format, void* tag);

    // Ends source traceID's stream, so that every byte it was fed is mixed:
    // converts what its converter still holds back (a few milliseconds with
    // the default resampler, 20 to 120 ms with Resampler::kFast; see
    // SetResampler), pads its last partial frame with silence to a whole
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

    // Live mode, for hosts that mix live sources (calls, capture devices) for
    // hours: every source is kept at about targetMs of backlog whatever its
    // clock, and no source holds more than maxMs. Off by default; in the
    // default mode every queued frame is mixed, one per pass, however deep the
    // queue gets, which suits hosts that queue whole prompts or files.
    //
    // In live mode:
    //  - A source starts at the target latency: its first block (and its
    //    first block after it ran dry) is preceded by silence so that its
    //    backlog after the next pass is targetMs.
    //  - Each source's backlog (queued frames and staged bytes) is measured
    //    after every pass; its rate against the mixer's clock is measured
    //    from its blocks' arrivals; its stream (in the mixing format, after
    //    any conversion) is trimmed by the drift plus a correction of at most
    //    80 ppm that brings the backlog back to the target, so the pitch
    //    moves by at most the drift plus 80 ppm. The trim goes through a
    //    resampler of live mode's own (a 16-tap interpolator: the fractional
    //    delay is within -90 dB of ideal up to an eighth of the mixing rate,
    //    about -85 dB for a 16-bit mixing format, whose taps are rounded to
    //    16 bits, and rolls off toward its top) from the source's first trim
    //    until its stream ends (FlushSource or running dry). No frame is
    //    dropped or repeated for this. The trim is at most +-12,000 ppm; a
    //    source drifting further runs dry or hits the ceiling.
    //  - A source whose backlog stays more than a frame above the target
    //    (three passes in a row), or more than half a frame (ten passes),
    //    after a burst of late blocks, a master that ran dry or a stall, is
    //    brought back to within a quarter frame: the excess is dropped in
    //    its quiet stretches (at least 5 ms below -50 dBFS, so nothing
    //    audible goes), and from 200 ms on what is left goes by a faster
    //    trim of up to 5 % on top of the drift (3000 ppm per millisecond of
    //    excess, reached over 200 ms, so the pitch glides; no click). A
    //    burst of 120 ms is back within a frame in under 3 s; a larger
    //    excess takes about 1 s more per 50 ms. A source that runs dry
    //    starts again at the target, as before; the master's excess goes by
    //    catching up (below), and a master found empty by a pass starts
    //    again at the target too.
    //  - The master keeps time too: it is trimmed against the output timer
    //    like any source, and when its backlog is more than a frame above the
    //    target (after a stalled or slow callback) passes run between the
    //    timer's, at least 5 ms apart, until it is within half a frame of
    //    the target. Then any other source left more than half a frame above
    //    the target (a ceiling cut it at a different moment) is cut back,
    //    oldest frames first.
    //  - A queue above maxMs of audio (in whole frames) is cut oldest-first
    //    as frames are queued, and the cut frames are counted: a source holds
    //    at most maxMs of audio (plus a partial frame) whatever the master
    //    does.
    //  - When the master has had no frame for masterTimeoutMs (0: maxMs),
    //    passes go on on the timer without it: the callback gets a master
    //    frame of length 0, a null tag and the mix of the other sources
    //    (passes that take no frame at all call nothing). Catch-up passes
    //    then follow the smallest backlog of the sources mixed. A master
    //    frame ends this at once.
    //
    // SetLiveMode(0, 0) turns live mode off. Otherwise targetMs must be at
    // least 1 and below maxMs, maxMs at most 60,000 and masterTimeoutMs at
    // most 3,600,000 (kBadArgument); Open then also requires frames of at
    // least 5 ms and maxMs at least targetMs plus two frames (kBadArgument).
    // Choose targetMs above half the host's block length plus one frame, so
    // that a source's backlog does not run out between its blocks.
    //
    // Call it while the mixer is closed (before Open, or after Close); the
    // setting applies from the next Open and stays until changed. Returns
    // false, changing nothing, with kAlreadyOpen when the mixer is open (or
    // kInsideCallback from inside the callback). Serialise it with Open,
    // Close and AddFrame.
    bool SetLiveMode(unsigned targetMs, unsigned maxMs, unsigned masterTimeoutMs = 0);

    // The resampler of every source converted to the mixing format's rate
    // (see Resampler in carovel/wave_convert.h). The default, kLowLatency,
    // holds back a few milliseconds of each such source, so a source's
    // frames reach the mix about as soon as it feeds them: the choice for
    // conferencing and other real-time use. kFast converts more cheaply (see
    // Resampler::kFast for how much) but holds back 20 to 120 ms of each
    // converted source (depending on the two rates) before it gives out a
    // steady output: a converted source's first frames are queued that much
    // later than its blocks arrive, and FlushSource releases the rest.
    // Choose it for offline mixing, where the sources are fed ahead of the
    // master (by at least that latency plus a frame, so that a converted
    // source's frame is queued when the pass of its instant runs), and for
    // hosts that can afford the latency. Live mode is made for the default:
    // with kFast the hold-back adds to every converted source's latency.
    //
    // Call it while the mixer is closed (before Open, or after Close); the
    // setting applies from the next Open or OpenManual and stays until
    // changed. Returns false, changing nothing, with kAlreadyOpen when the
    // mixer is open, kInsideCallback from inside the callback, or
    // kBadArgument for a value that is not one of Resampler's. Serialise it
    // with Open, Close and AddFrame.
    bool SetResampler(Resampler resampler);

    // Statistics, in both modes (see carovel/stats.h). Each call takes the
    // frame mixer's lock once, briefly, and allocates nothing, so the
    // callback may read them every pass. They do not change LastStatus and
    // may be called from any thread at any time.
    //
    // One source: returns false, leaving out unchanged, when the mixer has no
    // source traceID (it never queued a whole frame, or it was dropped).
    bool GetSourceStats(long traceID, SourceStats& out) const;
    // Every source, in the order they appeared, into out[0, capacity) (out
    // may be null when capacity is 0); returns how many sources there are,
    // which may exceed capacity. mixer, when not null, receives the mixer's
    // own figures.
    unsigned GetAllSourceStats(SourceStats* out, unsigned capacity,
                               MixerStats* mixer = nullptr) const;

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
    // Open and OpenManual, named call for the host-call guard.
    bool OpenSession(const char* call, const PcmFormat& mix, unsigned long frameBytes,
                     MixOutCallback pfn, void* userData, bool manual);
    bool FeedBlock(long traceID, const char* data, int len, const PcmFormat& format, void* tag);
    // Hands the limiter's settings and the mixing format to the frame mixer.
    void ApplyLimiter();

    std::unique_ptr<Impl> m_impl;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_H
